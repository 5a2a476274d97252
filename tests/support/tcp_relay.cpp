#include "support/tcp_relay.h"

#include <poll.h>
#include <sys/socket.h>

#include "support/net_helpers.h"

namespace brindle::test {

TcpRelay::TcpRelay(int targetPort) : targetPort_(targetPort) {
    if (OpenListeningSocket("127.0.0.1", 0, listener_, &port_) == ListenResult::Listening) {
        acceptor_ = std::thread([this] { Accept(); });
    } else {
        port_ = 0;
    }
}

TcpRelay::~TcpRelay() {
    stopping_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    for (auto& pump : pumps_) {
        pump.join();
    }
}

std::string TcpRelay::seen() const {
    std::lock_guard<std::mutex> hold(lock_);
    return seen_;
}

void TcpRelay::Accept() {
    while (!stopping_) {
        pollfd ready{listener_.fd(), POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) {
            continue;
        }
        Socket client = AcceptConnection(listener_.fd());
        if (client) {
            pumps_.emplace_back([this, c = std::move(client)]() mutable { Pump(std::move(c)); });
        }
    }
}

void TcpRelay::Pump(Socket client) {
    Socket target = ConnectLoopback(targetPort_);
    if (!target) {
        return;
    }
    pollfd ends[2] = {{client.fd(), POLLIN, 0}, {target.fd(), POLLIN, 0}};
    char buffer[16384];
    while (!stopping_) {
        if (::poll(ends, 2, 50) <= 0) {
            continue;
        }
        for (int side = 0; side < 2; ++side) {
            if ((ends[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            ssize_t n = ::recv(ends[side].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;  // either end closed: both close with the sockets
            }
            {
                std::lock_guard<std::mutex> hold(lock_);
                seen_.append(buffer, static_cast<std::size_t>(n));
            }
            if (!WriteAll(ends[1 - side].fd, buffer, static_cast<std::size_t>(n))) {
                return;
            }
        }
    }
}

}  // namespace brindle::test
