// Loopback helpers shared by the suites that talk to a server or a peer over
// real sockets: connect, read to the end, and the request header block the
// directory client writes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"

namespace brindle::test {

// A connected socket to 127.0.0.1:`port`, invalid when the connect failed. A
// `receiveBuffer` above zero is set before connecting, so the window offered
// to the sender stays that small.
Socket ConnectLoopback(int port, int receiveBuffer = 0);

// The same from the loopback address `source` (such as "127.0.0.2"), so one
// machine can act as several peers.
Socket ConnectLoopbackFrom(const std::string& source, int port, int receiveBuffer = 0);

// "QUEUE\n<name>\nann\nT1\n<offset>\n"
std::string QueueRequestText(const std::string& name, long long offset = 0);

// The answer lines of a queued request, read until "START\n", a close, a
// failure or `deadline`: everything received, line by line.
std::vector<std::string> ReadQueueLines(int fd, std::chrono::milliseconds deadline);

// True when this machine can listen and connect on the IPv6 loopback ::1;
// tests of IPv6 skip themselves without it.
bool HasIpv6Loopback();

// Reads until the peer closes or `deadline` passes; `closed` (when given) says
// which of the two ended it.
std::string ReadUntilClosed(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(10),
                            bool* closed = nullptr);

// The header block the directory client sends before a form body of `length`
// bytes to `host`:`port`.
std::string ExpectedHeaders(int port, std::size_t length, const std::string& host = "127.0.0.1");

// A loopback client that sends `request` to `port` and then reads nothing. Its
// small receive buffer makes a sender block after a few kilobytes. Invalid when
// the connect or the send failed.
Socket OpenStalledReader(int port, const std::string& request);

// A reader that takes `bytes` every `interval` from a connection until the
// sender closes it or the reader goes: a slow or hostile peer.
class TricklingReader {
  public:
    TricklingReader(Socket socket, std::size_t bytes, std::chrono::milliseconds interval);
    ~TricklingReader();
    TricklingReader(const TricklingReader&) = delete;
    TricklingReader& operator=(const TricklingReader&) = delete;
    bool closed() const { return closed_.load(); }

  private:
    Socket socket_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::thread thread_;
};

// What the peer of a connection has done, looked at without reading.
enum class PeerReply { Nothing, Data, Closed };
// Waits until `fd` has a byte or the peer's close to read, at most `deadline`.
PeerReply WaitForReply(int fd, std::chrono::milliseconds deadline);

}  // namespace brindle::test
