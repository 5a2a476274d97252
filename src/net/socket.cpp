#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace brindle {

Socket::~Socket() {
    reset();
}

Socket::Socket(Socket&& other) noexcept : fd_(other.release()) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int Socket::release() {
    return std::exchange(fd_, -1);
}

void Socket::reset(int fd) {
    int old = std::exchange(fd_, fd);
    if (old >= 0) {
        ::close(old);
    }
}

void Socket::Shutdown() const {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
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

namespace {

// The IPv4 address of `host`: a name lookup first, a dotted address second.
bool ResolveHost(const std::string& host, in_addr& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
        return true;
    }
    if (found) {
        ::freeaddrinfo(found);
    }
    in_addr_t dotted = ::inet_addr(host.c_str());
    if (dotted == INADDR_NONE) {
        return false;
    }
    address.s_addr = dotted;
    return true;
}

// Waits for a connect in progress to finish; `timeoutMs` < 0 waits without limit.
bool FinishConnect(int fd, long long timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            wait = static_cast<int>(std::min<long long>(left.count(), 1000 * 1000));
        }
        pollfd p{fd, POLLOUT, 0};
        int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0) {
            break;
        }
    }
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

bool Connect(int fd, const sockaddr_in& address, std::chrono::milliseconds timeout) {
    const auto* target = reinterpret_cast<const sockaddr*>(&address);
    if (timeout.count() <= 0) {
        if (::connect(fd, target, sizeof address) == 0) {
            return true;
        }
        // An interrupted connect goes on in the background.
        return errno == EINTR && FinishConnect(fd, -1);
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    bool connected =
        ::connect(fd, target, sizeof address) == 0 ||
        ((errno == EINPROGRESS || errno == EINTR) && FinishConnect(fd, timeout.count()));
    return connected && ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

Socket OpenServerConnection(const std::string& host, int port, const ConnectTimeouts& timeouts) {
    if (port < 0 || port > 65535) {
        return Socket();
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!ResolveHost(host, address.sin_addr)) {
        return Socket();
    }
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket || !Connect(socket.fd(), address, timeouts.connect)) {
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

}  // namespace brindle
