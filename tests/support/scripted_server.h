// A scripted TCP server on loopback: each accepted connection is handed to a
// handler on the server's own thread; the bytes received are recorded.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"

namespace brindle::test {

class ScriptedServer {
  public:
    using Handler = std::function<void(int fd)>;
    explicit ScriptedServer(Handler handler);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    std::string url(const std::string& path = "/examples/servlet/brindlenet") const;

  private:
    void Loop();

    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// An HTTP stand-in: reads each request (headers and Content-Length body),
// records it, then sends the reply bytes as given and closes.
class HttpScriptedServer {
  public:
    // `replies[i]` answers the i-th request; the last one answers the rest.
    explicit HttpScriptedServer(std::vector<std::string> replies);
    explicit HttpScriptedServer(std::string reply)
        : HttpScriptedServer(std::vector<std::string>{std::move(reply)}) {}

    int port() const { return server_.port(); }
    std::string url(const std::string& path = "/examples/servlet/brindlenet") const {
        return server_.url(path);
    }
    std::vector<std::string> requests() const;  // whole request bytes, headers and body
    std::string LastBody() const;               // the body of the last request

  private:
    void Serve(int fd);

    mutable std::mutex lock_;
    std::vector<std::string> replies_;
    std::vector<std::string> requests_;
    ScriptedServer server_;
};

// "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body
std::string HttpReply(const std::string& body);

// A listening socket on 127.0.0.1 with an ephemeral port (stored in `port`) that
// never accepts. With a backlog of 0 its queue fills at once, so later connects
// get no answer at all.
Socket ListenOnLoopback(int backlog, int& port);

// A loopback port whose listener never accepts, with its queue filled until a
// connect gets no answer at all; every further connect then hangs.
struct UnansweredPort {
    UnansweredPort();
    // False when the queue never filled.
    bool Fill();

    int port = 0;
    Socket listener;
    std::vector<Socket> queued;
};

// Reads `count` lines byte by byte, taking nothing beyond the last line feed
// (fewer lines when the peer goes first).
std::string ReadLines(int fd, int count);

// Reads an HTTP request from fd: headers up to the blank line, then Content-Length bytes.
std::string ReadHttpRequest(int fd);

}  // namespace brindle::test
