// What the fault suites share: a stand-in directory server that breaks off at
// a chosen step of an exchange, a peer that serves scripted bytes, a stopwatch
// and counts of descriptors and threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

#include "net/socket.h"
#include "support/scripted_server.h"

namespace brindle::test {

// Where, in one request and reply, the stand-in server stops behaving.
enum class FaultPoint {
    OnAccept,      // before reading a byte of the request
    MidRequest,    // after the first 20 bytes of the request
    AfterRequest,  // after the whole request, before the status line
    MidStatus,     // after "HTTP/1.1 2"
    MidHeaders,    // after the status line and one header line
    AfterHeaders,  // after the blank line that ends the headers
    MidBody,       // after the first part of the reply body
};

// What it does there.
enum class Fault {
    Close,    // closes the connection
    Stall,    // sends nothing more and keeps the connection open until the client goes
    Garbage,  // sends bytes that are no HTTP at all, then closes
    Trickle,  // sends one byte (never a line end) every 30 ms for up to 6 s
};

const char* FaultPointName(FaultPoint point);
const char* FaultName(Fault fault);

// Bytes without a carriage return (so no header block can ever end in them)
// that start with a letter (so they never read as a number).
std::string GarbageBytes(std::size_t length, unsigned seed);

// A directory server that answers every request with `partialBody` after the
// headers, misbehaving at `point` as `fault` says.
class FaultyDirectoryServer {
  public:
    FaultyDirectoryServer(FaultPoint point, Fault fault, std::string partialBody);

    std::string url() const { return server_.url(); }
    int port() const { return server_.port(); }
    int accepted() const { return server_.accepted(); }

  private:
    void Serve(int fd);

    const FaultPoint point_;
    const Fault fault_;
    const std::string partialBody_;
    ScriptedServer server_;
};

class Stopwatch {
  public:
    std::chrono::milliseconds elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start_);
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The directory server program as a child process on a free port of
// 127.0.0.1, its standard error appended to `logPath`.
class DirectoryProcess {
  public:
    DirectoryProcess(std::string binary, std::filesystem::path database,
                     std::filesystem::path logPath);
    ~DirectoryProcess();
    DirectoryProcess(const DirectoryProcess&) = delete;
    DirectoryProcess& operator=(const DirectoryProcess&) = delete;

    // Starts the program and waits (at most 20 s) until it says where it listens.
    bool Start();
    // Sends `signal`, then reaps the child: its exit code, or minus the signal.
    int Kill(int signal);
    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string url() const;

  private:
    std::string binary_;
    std::filesystem::path database_;
    std::filesystem::path logPath_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// Descriptors and threads of this process, from /proc/self.
std::size_t OpenDescriptorCount();
std::size_t ThreadCount();

}  // namespace brindle::test
