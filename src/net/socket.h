// Blocking TCP stream sockets over IPv4 and IPv6: the owning socket handle,
// numeric addresses, connecting, listening and accepting, time-outs, and the
// stream operations every exchange is built from.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/file_handle.h"

namespace brindle {

// Owns one socket descriptor and closes it when it goes.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : handle_(fd) {}

    [[nodiscard]] int fd() const { return handle_.fd(); }
    [[nodiscard]] bool valid() const { return handle_.valid(); }
    explicit operator bool() const { return valid(); }
    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() { return handle_.release(); }
    void reset(int fd = -1) { handle_.reset(fd); }
    // Closes the descriptor now. False when close reported an error; the
    // descriptor is gone either way.
    bool Close() { return handle_.Close(); }
    // Shuts both directions down without closing, so a thread blocked on the
    // socket returns at once.
    void Shutdown() const;

  private:
    FileHandle handle_;
};

// The moment by which a whole exchange on a socket has to be over. With one,
// every send and receive waits at most the time left (within the socket's own
// time-outs) and fails once it has passed; kNoDeadline never comes.
using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline kNoDeadline = Deadline::max();

// Sends every byte; retries after partial sends and EINTR. False on the first
// send error. A closed peer never raises SIGPIPE.
[[nodiscard]] bool SendAll(int fd, const void* data, long long length,
                           Deadline deadline = kNoDeadline);
[[nodiscard]] bool SendAll(int fd, const std::string& data, Deadline deadline = kNoDeadline);

// Counts how long a sender waits for its peer to take bytes. A reader that
// takes a trickle now and then would hold a connection for ever if only a
// send that moves nothing failed; here, once `window` of waiting has passed
// before the peer acknowledged `minBytes`, sending fails. Both counts start
// again each time `minBytes` have been acknowledged. Time the sender spends
// elsewhere (reading a file, waiting for a rate limit) never counts.
struct SendStallGuard {
    std::chrono::milliseconds window{0};  // zero or less: no limit
    long long minBytes = 0;
    long long taken = 0;                 // bytes acknowledged since the counts started
    std::chrono::nanoseconds waited{0};  // time waited since the counts started
    long long sent = 0;                  // every byte handed to the socket
    long long acknowledged = 0;          // of those, the ones the peer acknowledged
};

// Sends every byte like SendAll, held to `guard`; false (ETIMEDOUT) once the
// peer has taken too little for too long, or on the first send error.
[[nodiscard]] bool SendAllGuarded(int fd, const void* data, long long length,
                                  SendStallGuard& guard);

// Reads one line: up to and including the line feed, or `limit` bytes, whichever
// comes first. Never takes a byte beyond the line feed from the socket. The bytes
// are copied to `buffer` without a terminator; `*count` (if given) receives their
// number. Returns false on a receive error (bytes read before it are still
// copied out) and when the peer closed before any byte arrived; a close after
// some bytes gives true with the partial line.
[[nodiscard]] bool ReceiveLine(int fd, char* buffer, int limit, int* count = nullptr,
                               Deadline deadline = kNoDeadline);

// The usual way to read a line: a zeroed 1024-byte buffer with a limit of 1023.
// `line` receives the bytes read (also on failure).
[[nodiscard]] bool ReceiveLine(int fd, std::string& line, Deadline deadline = kNoDeadline);

inline constexpr int kLineBufferSize = 1024;
inline constexpr int kLineLimit = 1023;

// What one ReceiveSome gave.
struct Received {
    enum class Kind {
        Bytes,   // `count` bytes arrived
        Closed,  // the peer closed its end
        NotYet,  // nothing came: none waiting without a wait, or the idle time-out passed
        Failed,  // the receive failed
    };
    Kind kind = Kind::Failed;
    std::size_t count = 0;

    explicit operator bool() const { return kind == Kind::Bytes; }
};

// How ReceiveSome takes bytes.
struct ReceiveFlags {
    bool peek = false;      // the bytes are only looked at and stay for the next receive
    bool dontWait = false;  // returns at once when nothing is waiting
};

// One receive of up to `length` (at least 1) bytes into `into`, retried after
// EINTR.
[[nodiscard]] Received ReceiveSome(const Socket& socket, void* into, std::size_t length,
                                   ReceiveFlags flags = {});

// A numeric IPv4 or IPv6 address.
struct IpAddress {
    bool ipv6 = false;
    std::array<std::uint8_t, 16> bytes{};  // network order; an IPv4 address in the first 4

    bool operator==(const IpAddress&) const = default;
};

// A new blocking IPv4 stream socket (invalid on failure).
[[nodiscard]] Socket NewStreamSocket();
// A new blocking stream socket of the family of `address`.
[[nodiscard]] Socket NewStreamSocket(const IpAddress& address);

// Reads a dotted-decimal IPv4 address (inet_aton forms); false when the text
// is not one. No name is looked up.
[[nodiscard]] bool ParseDottedAddress(const std::string& text, std::uint32_t* networkOrder);

// Reads a numeric address: a dotted IPv4 address (inet_aton forms) or an IPv6
// text. An IPv4-mapped IPv6 address (::ffff:a.b.c.d) reads as the IPv4
// address, so it is reached over IPv4. False when the text is neither; no
// name is looked up.
[[nodiscard]] bool ParseNumericAddress(const std::string& text, IpAddress* address);

// The address as text: dotted decimal for IPv4, the short form of RFC 5952
// for IPv6 ("fd00::2").
[[nodiscard]] std::string AddressText(const IpAddress& address);

// Connects `fd` (a socket of the address's family) to the address and port. A
// positive `timeout` ends the wait after that long; zero or less waits as long
// as the system does. Either way a Shutdown of the socket from another thread
// ends the wait as a failure. The socket is blocking again afterwards.
[[nodiscard]] bool ConnectWithin(int fd, const IpAddress& address, int port,
                                 std::chrono::milliseconds timeout);

// A new socket connected to the numeric address `text` (IPv4 or IPv6, see
// ParseNumericAddress) and port within `timeout`, as ConnectWithin; invalid
// when the text is no numeric address or the connect failed.
[[nodiscard]] Socket ConnectToAddress(const std::string& text, int port,
                                      std::chrono::milliseconds timeout);

// Time limits for a connection; zero means none.
struct ConnectTimeouts {
    std::chrono::milliseconds connect{0};  // for the connect itself
    std::chrono::milliseconds idle{0};  // a send or receive that moves no byte for this long fails
};

// Connects to host:port. The host is read as a numeric IPv4 or IPv6 address
// first and looked up as an IPv4 name second. Returns an invalid Socket on
// failure.
[[nodiscard]] Socket OpenServerConnection(const std::string& host, int port,
                                          const ConnectTimeouts& timeouts = {});

// Send and receive calls on `fd` that move no byte for `idle` fail (EAGAIN);
// zero or less takes the limit away.
void SetIdleTimeout(int fd, std::chrono::milliseconds idle);

// Sends small writes at once instead of holding them back for an earlier
// write's acknowledgement.
void SetNoDelay(int fd);

// Why a listening socket could not be opened.
enum class ListenResult { Listening, BindFailed, ListenFailed };

// A non-blocking listening socket on `address` and `port` (0 picks a free
// port), with the longest queue the system allows. The address is dotted IPv4
// or IPv6; an IPv6 socket also takes IPv4 clients (as IPv4-mapped addresses),
// so "::" listens on every interface for both. Where the machine has no IPv6,
// "::" listens on every IPv4 interface instead. BindFailed covers an address
// that is neither, a socket that could not be made and a refused bind;
// `*boundPort` receives the port it listens on.
[[nodiscard]] ListenResult OpenListeningSocket(const std::string& address, int port,
                                               Socket& listener, int* boundPort);

// Takes one waiting connection off a listening socket (blocking, close on
// exec). Invalid when there was none or the accept failed; errno tells which.
[[nodiscard]] Socket AcceptConnection(int listenFd);

}  // namespace brindle
