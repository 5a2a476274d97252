// Blocking IPv4 TCP stream sockets: an owning handle and the three stream
// operations every exchange is built from.
#pragma once

#include <chrono>
#include <string>

namespace brindle {

// Owns one socket descriptor and closes it when it goes.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release();
    void reset(int fd = -1);
    // Shuts both directions down without closing, so a thread blocked on the
    // socket returns at once.
    void Shutdown() const;

  private:
    int fd_ = -1;
};

// The moment by which a whole exchange on a socket has to be over. With one,
// every send and receive waits at most the time left (within the socket's own
// time-outs) and fails once it has passed; kNoDeadline never comes.
using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline kNoDeadline = Deadline::max();

// Sends every byte; retries after partial sends and EINTR. False on the first
// send error. A closed peer never raises SIGPIPE.
bool SendAll(int fd, const void* data, long long length, Deadline deadline = kNoDeadline);
bool SendAll(int fd, const std::string& data, Deadline deadline = kNoDeadline);

// Reads one line: up to and including the line feed, or `limit` bytes, whichever
// comes first. Never takes a byte beyond the line feed from the socket. The bytes
// are copied to `buffer` without a terminator; `*count` (if given) receives their
// number. Returns false on a receive error (bytes read before it are still
// copied out) and when the peer closed before any byte arrived; a close after
// some bytes gives true with the partial line.
bool ReceiveLine(int fd, char* buffer, int limit, int* count = nullptr,
                 Deadline deadline = kNoDeadline);

// The usual way to read a line: a zeroed 1024-byte buffer with a limit of 1023.
// `line` receives the bytes read (also on failure).
bool ReceiveLine(int fd, std::string& line, Deadline deadline = kNoDeadline);

inline constexpr int kLineBufferSize = 1024;
inline constexpr int kLineLimit = 1023;

// Time limits for a connection; zero means none.
struct ConnectTimeouts {
    std::chrono::milliseconds connect{0};  // for the connect itself
    std::chrono::milliseconds idle{0};  // a send or receive that moves no byte for this long fails
};

// Connects to host:port. The host is looked up as an IPv4 name first and read
// as a dotted address second. Returns an invalid Socket on failure.
Socket OpenServerConnection(const std::string& host, int port,
                            const ConnectTimeouts& timeouts = {});

// Applies the idle limit to a connected socket (send and receive time-outs).
void SetIdleTimeout(int fd, std::chrono::milliseconds idle);

}  // namespace brindle
