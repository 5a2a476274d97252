#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <utility>

namespace brindle {

void Socket::Shutdown() const {
    if (valid()) {
        ::shutdown(fd(), SHUT_RDWR);
    }
}

namespace {

// Before each send or receive of an exchange with a deadline: false (ETIMEDOUT)
// once it has passed; otherwise the socket's time-out `option` (SO_SNDTIMEO or
// SO_RCVTIMEO) is cut to the time left when that is shorter.
bool WithinDeadline(int fd, int option, Deadline deadline) {
    if (deadline == kNoDeadline) {
        return true;
    }
    auto left =
        std::chrono::ceil<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        errno = ETIMEDOUT;
        return false;
    }
    timeval current{};
    socklen_t size = sizeof current;
    long long currentUs = ::getsockopt(fd, SOL_SOCKET, option, &current, &size) == 0
                              ? current.tv_sec * 1000000LL + current.tv_usec
                              : 0;
    if (currentUs == 0 || left.count() < currentUs) {
        timeval limit{};
        limit.tv_sec = static_cast<time_t>(left.count() / 1000000);
        limit.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        ::setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit);
    }
    return true;
}

// recv() retried after EINTR.
ssize_t RecvRetrying(int fd, void* into, size_t length, int flags) {
    for (;;) {
        ssize_t got = ::recv(fd, into, length, flags);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

}  // namespace

bool SendAll(int fd, const void* data, long long length, Deadline deadline) {
    if (length < 0) {
        return false;
    }
    const char* position = static_cast<const char*>(data);
    auto remaining = static_cast<unsigned long long>(length);
    while (remaining > 0) {
        size_t chunk = static_cast<size_t>(
            std::min<unsigned long long>(remaining, std::numeric_limits<ssize_t>::max()));
        if (!WithinDeadline(fd, SO_SNDTIMEO, deadline)) {
            return false;
        }
        ssize_t sent = ::send(fd, position, chunk, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (sent == 0) {
            // A stream socket never accepts nothing for a non-empty buffer;
            // treat it as failure instead of spinning.
            return false;
        }
        position += sent;
        remaining -= static_cast<unsigned long long>(sent);
    }
    return true;
}

bool SendAll(int fd, const std::string& data, Deadline deadline) {
    return SendAll(fd, data.data(), static_cast<long long>(data.size()), deadline);
}

namespace {

// Counts what the peer acknowledged since the last look: the bytes sent less
// those still in the socket's send queue.
void CountAcknowledged(int fd, SendStallGuard& guard) {
    int queued = 0;
    long long acknowledged = ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? guard.sent - queued : guard.sent;
    if (acknowledged > guard.acknowledged) {
        guard.taken += acknowledged - guard.acknowledged;
        guard.acknowledged = acknowledged;
    }
    if (guard.taken >= guard.minBytes) {
        guard.taken = 0;
        guard.waited = {};
    }
}

// How often a sender that waits for room looks at what was acknowledged.
constexpr std::chrono::milliseconds kAcknowledgedLook{250};

}  // namespace

bool SendAllGuarded(int fd, const void* data, long long length, SendStallGuard& guard) {
    if (length < 0) {
        return false;
    }
    const char* position = static_cast<const char*>(data);
    auto remaining = static_cast<unsigned long long>(length);
    while (remaining > 0) {
        size_t chunk = static_cast<size_t>(
            std::min<unsigned long long>(remaining, std::numeric_limits<ssize_t>::max()));
        ssize_t sent = ::send(fd, position, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            position += sent;
            remaining -= static_cast<unsigned long long>(sent);
            guard.sent += sent;
            continue;
        }
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        // The peer's buffers are full: wait for room, looking now and then at
        // what it acknowledged, for at most what is left of the window.
        CountAcknowledged(fd, guard);
        auto slice = kAcknowledgedLook;
        if (guard.window.count() > 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(guard.window - guard.waited);
            if (left.count() <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
            slice = std::min(slice, left);
        }
        pollfd ready{fd, POLLOUT, 0};
        const auto start = std::chrono::steady_clock::now();
        int polled = ::poll(&ready, 1, static_cast<int>(slice.count()));
        guard.waited += std::chrono::steady_clock::now() - start;
        if (polled < 0 && errno != EINTR) {
            return false;
        }
        if (polled > 0 && (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            errno = EPIPE;
            return false;
        }
        CountAcknowledged(fd, guard);
    }
    return true;
}

bool ReceiveLine(int fd, char* buffer, int limit, int* count, Deadline deadline) {
    // Peek at what is waiting, then take exactly the bytes up to and including
    // the line feed: bytes beyond it stay on the socket for the next reader.
    // The peek goes to scratch space so that the caller's buffer never holds
    // bytes after the line (a zero-filled buffer stays terminated).
    char scratch[2048];
    int got = 0;
    if (count) {
        *count = 0;
    }
    if (limit <= 0) {
        return false;
    }
    bool result = true;
    // Most lines are short: peek a little first and widen while no line feed shows.
    int window = 128;
    while (got < limit) {
        size_t want = static_cast<size_t>(std::min(limit - got, window));
        window = std::min<int>(window * 2, sizeof scratch);
        if (!WithinDeadline(fd, SO_RCVTIMEO, deadline)) {
            result = false;
            break;
        }
        // Blocks until bytes are waiting; the take below then never blocks.
        ssize_t peeked = RecvRetrying(fd, scratch, want, MSG_PEEK);
        if (peeked <= 0) {
            // An error fails the read; a close fails it only when nothing came.
            result = peeked == 0 && got > 0;
            break;
        }
        const void* feed = std::memchr(scratch, '\n', static_cast<size_t>(peeked));
        size_t take = feed ? static_cast<size_t>(static_cast<const char*>(feed) - scratch) + 1
                           : static_cast<size_t>(peeked);
        ssize_t taken = RecvRetrying(fd, buffer + got, take, 0);
        if (taken <= 0) {
            result = taken == 0 && got > 0;
            break;
        }
        got += static_cast<int>(taken);
        if (feed && static_cast<size_t>(taken) == take) {
            break;
        }
    }
    if (count) {
        *count = got;
    }
    return result;
}

bool ReceiveLine(int fd, std::string& line, Deadline deadline) {
    char buffer[kLineBufferSize] = {};
    int count = 0;
    bool ok = ReceiveLine(fd, buffer, kLineLimit, &count, deadline);
    line.assign(buffer, static_cast<size_t>(count));
    return ok;
}

Received ReceiveSome(const Socket& socket, void* into, std::size_t length, ReceiveFlags flags) {
    const int how = (flags.peek ? MSG_PEEK : 0) | (flags.dontWait ? MSG_DONTWAIT : 0);
    const ssize_t got = RecvRetrying(socket.fd(), into, length, how);
    if (got > 0) {
        return {Received::Kind::Bytes, static_cast<std::size_t>(got)};
    }
    if (got == 0) {
        return {Received::Kind::Closed, 0};
    }
    const bool nothing = errno == EAGAIN || errno == EWOULDBLOCK;
    return {nothing ? Received::Kind::NotYet : Received::Kind::Failed, 0};
}

Socket NewStreamSocket() {
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

Socket NewStreamSocket(const IpAddress& address) {
    return Socket(::socket(address.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

bool ParseDottedAddress(const std::string& text, std::uint32_t* networkOrder) {
    in_addr address{};
    if (text.empty() || ::inet_aton(text.c_str(), &address) == 0) {
        return false;
    }
    *networkOrder = address.s_addr;
    return true;
}

namespace {

// A dotted IPv4 or an IPv6 text; an IPv4-mapped IPv6 address reads as IPv4
// unless `keepMapped`, as a socket bound to exactly that address needs.
bool ReadNumericAddress(const std::string& text, bool keepMapped, IpAddress* address) {
    IpAddress parsed;
    std::uint32_t v4 = 0;
    in6_addr v6{};
    if (ParseDottedAddress(text, &v4)) {
        std::memcpy(parsed.bytes.data(), &v4, sizeof v4);
    } else if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        if (!keepMapped && IN6_IS_ADDR_V4MAPPED(&v6)) {
            std::memcpy(parsed.bytes.data(), &v6.s6_addr[12], 4);
        } else {
            parsed.ipv6 = true;
            std::memcpy(parsed.bytes.data(), &v6, sizeof v6);
        }
    } else {
        return false;
    }
    *address = parsed;
    return true;
}

}  // namespace

bool ParseNumericAddress(const std::string& text, IpAddress* address) {
    return ReadNumericAddress(text, false, address);
}

std::string AddressText(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(address.ipv6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text);
    return text;
}

namespace {

bool SetBlocking(int fd, bool blocking) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

// Waits until a connect in progress has finished, `deadline` has passed (false)
// or poll failed (false); kNoDeadline waits without limit.
bool AwaitConnect(int fd, Deadline deadline) {
    for (;;) {
        int wait = -1;
        if (deadline != kNoDeadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
        }
        pollfd p{fd, POLLOUT, 0};
        int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0;
    }
}

// The address of `host`: a numeric IPv4 or IPv6 address first, an IPv4 name
// lookup second.
bool ResolveHost(const std::string& host, IpAddress* address) {
    if (ParseNumericAddress(host, address)) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    bool resolved = false;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
        const in_addr v4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        *address = IpAddress{};
        std::memcpy(address->bytes.data(), &v4, sizeof v4);
        resolved = true;
    }
    if (found) {
        ::freeaddrinfo(found);
    }
    return resolved;
}

// `address` and `port` as a socket address; returns its length.
socklen_t SocketAddress(const IpAddress& address, int port, sockaddr_storage& out) {
    out = {};
    const auto networkPort = htons(static_cast<std::uint16_t>(port));
    if (address.ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = networkPort;
        std::memcpy(&in6->sin6_addr, address.bytes.data(), sizeof in6->sin6_addr);
        return sizeof *in6;
    }
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    in->sin_family = AF_INET;
    in->sin_port = networkPort;
    std::memcpy(&in->sin_addr, address.bytes.data(), sizeof in->sin_addr);
    return sizeof *in;
}

// Makes a non-blocking listening socket of the address's family (one of IPv6
// also taking IPv4 clients) and binds it; false with errno set when a step failed.
bool BindListener(const IpAddress& address, int port, Socket& out) {
    Socket opened(
        ::socket(address.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int on = 1;
    int off = 0;
    if (!opened || ::setsockopt(opened.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (address.ipv6 &&
         ::setsockopt(opened.fd(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0)) {
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = SocketAddress(address, port, bound);
    if (::bind(opened.fd(), reinterpret_cast<const sockaddr*>(&bound), length) != 0) {
        return false;
    }
    out = std::move(opened);
    return true;
}

// True when a listener failed with errno saying the machine has no IPv6.
bool NoIpv6Here() {
    return errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL || errno == EPROTONOSUPPORT;
}

}  // namespace

bool ConnectWithin(int fd, const IpAddress& to, int port, std::chrono::milliseconds timeout) {
    if (fd < 0 || port < 0 || port > 65535 || !SetBlocking(fd, false)) {
        return false;
    }
    sockaddr_storage address{};
    socklen_t addressLength = SocketAddress(to, port, address);
    const Deadline deadline =
        timeout.count() > 0 ? std::chrono::steady_clock::now() + timeout : kNoDeadline;
    bool connected = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) == 0) {
        connected = true;
    } else if ((errno == EINPROGRESS || errno == EINTR) && AwaitConnect(fd, deadline)) {
        int error = 0;
        socklen_t length = sizeof error;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        // A shut-down connect leaves no error but no peer either.
        connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0 &&
                    ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
    }
    return SetBlocking(fd, true) && connected;
}

Socket OpenServerConnection(const std::string& host, int port, const ConnectTimeouts& timeouts) {
    if (port < 0 || port > 65535) {
        return Socket();
    }
    IpAddress address;
    if (!ResolveHost(host, &address)) {
        return Socket();
    }
    Socket socket = NewStreamSocket(address);
    if (!socket || !ConnectWithin(socket.fd(), address, port, timeouts.connect)) {
        return Socket();
    }
    if (timeouts.idle.count() > 0) {
        SetIdleTimeout(socket.fd(), timeouts.idle);
    }
    return socket;
}

void SetIdleTimeout(int fd, std::chrono::milliseconds idle) {
    long long ms = std::max<long long>(idle.count(), 0);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(ms / 1000);
    limit.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void SetNoDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Socket ConnectToAddress(const std::string& text, int port, std::chrono::milliseconds timeout) {
    IpAddress address;
    if (!ParseNumericAddress(text, &address)) {
        return Socket();
    }
    Socket socket = NewStreamSocket(address);
    if (!socket || !ConnectWithin(socket.fd(), address, port, timeout)) {
        return Socket();
    }
    return socket;
}

ListenResult OpenListeningSocket(const std::string& address, int port, Socket& listener,
                                 int* boundPort) {
    IpAddress host;
    if (!ReadNumericAddress(address, true, &host)) {
        return ListenResult::BindFailed;
    }
    Socket opened;
    if (!BindListener(host, port, opened)) {
        // Every interface without IPv6 on the machine: every IPv4 interface.
        const bool unspecified = host.ipv6 && host == IpAddress{true, {}};
        if (!unspecified || !NoIpv6Here() || !BindListener(IpAddress{}, port, opened)) {
            return ListenResult::BindFailed;
        }
    }
    if (::listen(opened.fd(), INT_MAX) != 0) {
        return ListenResult::ListenFailed;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(opened.fd(), reinterpret_cast<sockaddr*>(&bound), &length);
    *boundPort = bound.ss_family == AF_INET6
                     ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                     : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    listener = std::move(opened);
    return ListenResult::Listening;
}

Socket AcceptConnection(int listenFd) {
    return Socket(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

}  // namespace brindle
