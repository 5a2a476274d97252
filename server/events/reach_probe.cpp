#include "server/events/reach_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/file_handle.h"

namespace brindle::server {

bool TcpReachProbe::Connect(const std::string& address, int port, std::chrono::milliseconds limit) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof(sockaddr_in);
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
               inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof(sockaddr_in6);
    } else {
        return false;  // not a numeric address: nothing is looked up
    }
    FileHandle socket(::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket) {
        return false;
    }
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        if (errno != EINPROGRESS) {
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd waiting{socket.fd(), POLLOUT, 0};
            const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
            if (ready > 0) {
                break;
            }
            if (ready < 0 && errno != EINTR) {
                return false;
            }
        }
        int error = 0;
        socklen_t errorLength = sizeof error;
        if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 ||
            error != 0) {
            return false;
        }
    }
    static constexpr char kPing[] = "PING\n";
    static_cast<void>(::send(socket.fd(), kPing, sizeof kPing - 1, MSG_NOSIGNAL | MSG_DONTWAIT));
    return true;
}

ReachProbeLimiter::ReachProbeLimiter(IReachProbe& probe, ReachProbeOptions options)
    : probe_(probe), options_(std::move(options)) {}

std::chrono::steady_clock::time_point ReachProbeLimiter::Now() const {
    return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

ReachProbeLimiter::Result ReachProbeLimiter::Check(const std::string& address) {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        const auto now = Now();
        // Finished entries older than the interval go, so the table holds
        // only the addresses probed within the last interval.
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (it->second.reachable && now - it->second.started >= options_.interval) {
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
        auto found = entries_.find(address);
        if (found == entries_.end()) {
            break;
        }
        if (found->second.reachable) {
            return {*found->second.reachable, false};
        }
        finished_.wait(guard, [&] {
            auto again = entries_.find(address);
            return again == entries_.end() || again->second.reachable.has_value();
        });
    }
    entries_[address] = Entry{Now(), std::nullopt};
    guard.unlock();
    const bool reachable = probe_.Connect(address, options_.port, options_.limit);
    guard.lock();
    entries_[address].reachable = reachable;
    guard.unlock();
    finished_.notify_all();
    return {reachable, true};
}

}  // namespace brindle::server
