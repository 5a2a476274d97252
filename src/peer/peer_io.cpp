#include "peer/peer_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace brindle {

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

bool SetBlocking(int fd, bool blocking) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool UniqueFd::Close() {
    if (fd_ < 0) {
        return true;
    }
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
}

Socket NewStreamSocket() {
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

bool ParseDottedAddress(const std::string& text, std::uint32_t* networkOrder) {
    in_addr address{};
    if (text.empty() || ::inet_aton(text.c_str(), &address) == 0) {
        return false;
    }
    *networkOrder = address.s_addr;
    return true;
}

bool ConnectWithin(int fd, std::uint32_t networkOrder, int port,
                   std::chrono::milliseconds timeout) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = networkOrder;
    if (fd < 0 || !SetBlocking(fd, false)) {
        return false;
    }
    bool connected = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        connected = true;
    } else if (errno == EINPROGRESS) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            pollfd p{fd, POLLOUT, 0};
            int ready = ::poll(&p, 1, RemainingMs(deadline));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                break;
            }
            int error = 0;
            socklen_t length = sizeof error;
            sockaddr_in peer{};
            socklen_t peerLength = sizeof peer;
            // A shut-down connect leaves no error but no peer either.
            connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                        error == 0 &&
                        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
            break;
        }
    }
    return SetBlocking(fd, true) && connected;
}

void SetStallTimeout(int fd, std::chrono::milliseconds idle) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(idle.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((idle.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace brindle
