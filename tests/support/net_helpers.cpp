#include "support/net_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace brindle::test {

Socket ConnectLoopback(int port, int receiveBuffer) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket && receiveBuffer > 0) {
        ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!socket ||
        ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Socket();
    }
    return socket;
}

Socket ConnectLoopbackFrom(const std::string& source, int port, int receiveBuffer) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket && receiveBuffer > 0) {
        ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!socket || ::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        ::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Socket();
    }
    return socket;
}

std::string QueueRequestText(const std::string& name, long long offset) {
    return "QUEUE\n" + name + "\nann\nT1\n" + std::to_string(offset) + "\n";
}

std::vector<std::string> ReadQueueLines(int fd, std::chrono::milliseconds deadline) {
    std::vector<std::string> lines;
    const Deadline until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        std::string line;
        if (!ReceiveLine(fd, line, until) || line.empty()) {
            return lines;
        }
        lines.push_back(line);
        if (line == "START\n" || line.back() != '\n') {
            return lines;
        }
    }
}

bool HasIpv6Loopback() {
    Socket listener;
    int port = 0;
    if (OpenListeningSocket("::1", 0, listener, &port) != ListenResult::Listening) {
        return false;
    }
    return ConnectToAddress("::1", port, std::chrono::seconds(5)).valid();
}

std::string ReadUntilClosed(int fd, std::chrono::milliseconds deadline, bool* closed) {
    std::string data;
    auto end = std::chrono::steady_clock::now() + deadline;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            if (closed != nullptr) {
                *closed = false;
            }
            return data;
        }
        ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got <= 0) {
            if (closed != nullptr) {
                *closed = true;
            }
            return data;
        }
        data.append(chunk.data(), static_cast<std::size_t>(got));
    }
}

std::string ExpectedHeaders(int port, std::size_t length, const std::string& host) {
    return "POST /examples/servlet/brindlenet HTTP/1.1\r\n"
           "Accept: text/plain\r\n"
           "Referer: about:blank\r\n"
           "Accept-Language: en-us\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\n"
           "Accept-Encoding: gzip, deflate\r\n"
           "User-Agent: Brindlenet V1.0\r\n"
           "Host: " +
           host + ":" + std::to_string(port) + "\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: close\r\n\r\n";
}

Socket OpenStalledReader(int port, const std::string& request) {
    Socket socket = ConnectLoopback(port, 4096);
    if (!socket || ::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL) !=
                       static_cast<ssize_t>(request.size())) {
        return Socket();
    }
    return socket;
}

TricklingReader::TricklingReader(Socket socket, std::size_t bytes,
                                 std::chrono::milliseconds interval)
    : socket_(std::move(socket)), thread_([this, bytes, interval] {
          std::vector<char> buffer(bytes);
          while (!stop_.load()) {
              // The pause is the reader's pace, not a wait for anything.
              std::this_thread::sleep_for(interval);
              ssize_t got = ::recv(socket_.fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
              if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                  closed_ = true;
                  return;
              }
          }
      }) {}

TricklingReader::~TricklingReader() {
    stop_ = true;
    thread_.join();
}

PeerReply WaitForReply(int fd, std::chrono::milliseconds deadline) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, static_cast<int>(std::max<long long>(deadline.count(), 0))) <= 0) {
        return PeerReply::Nothing;
    }
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0 ? PeerReply::Data : PeerReply::Closed;
}

}  // namespace brindle::test
