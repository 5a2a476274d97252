#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace brindle::test {

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 64) != 0) {
        abort();
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Loop(); });
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    thread_.join();
    ::close(listenFd_);
}

std::string ScriptedServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void ScriptedServer::Loop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            continue;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++accepted_;
        handler_(fd);
        ::close(fd);
    }
}

std::string ReadHttpRequest(int fd) {
    std::string data;
    char chunk[4096];
    size_t bodyStart = std::string::npos;
    size_t wanted = 0;
    for (;;) {
        if (bodyStart == std::string::npos) {
            size_t end = data.find("\r\n\r\n");
            if (end != std::string::npos) {
                bodyStart = end + 4;
                size_t at = data.find("Content-Length: ");
                if (at != std::string::npos && at < end) {
                    wanted = std::strtoull(data.c_str() + at + 16, nullptr, 10);
                }
            }
        }
        if (bodyStart != std::string::npos && data.size() >= bodyStart + wanted) {
            return data;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) {
            return data;
        }
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return data;
        }
        data.append(chunk, static_cast<size_t>(n));
    }
}

Socket ListenOnLoopback(int backlog, int& port) {
    Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!listener ||
        ::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.fd(), backlog) != 0) {
        abort();
    }
    socklen_t size = sizeof address;
    ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return listener;
}

UnansweredPort::UnansweredPort() : listener(ListenOnLoopback(0, port)) {}

bool UnansweredPort::Fill() {
    for (int attempt = 0; attempt < 8; ++attempt) {
        Socket socket = OpenServerConnection(
            "127.0.0.1", port, {std::chrono::milliseconds(200), std::chrono::milliseconds(0)});
        if (!socket) {
            return true;
        }
        queued.push_back(std::move(socket));
    }
    return false;
}

std::string ReadLines(int fd, int count) {
    std::string lines;
    char byte;
    while (count > 0 && ::recv(fd, &byte, 1, 0) == 1) {
        lines += byte;
        count -= byte == '\n' ? 1 : 0;
    }
    return lines;
}

std::string HttpReply(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body;
}

HttpScriptedServer::HttpScriptedServer(std::vector<std::string> replies)
    : replies_(std::move(replies)), server_([this](int fd) { Serve(fd); }) {}

void HttpScriptedServer::Serve(int fd) {
    std::string request = ReadHttpRequest(fd);
    std::string reply;
    {
        std::lock_guard<std::mutex> hold(lock_);
        size_t index = requests_.size();
        requests_.push_back(request);
        if (!replies_.empty()) {
            reply = replies_[index < replies_.size() ? index : replies_.size() - 1];
        }
    }
    size_t sent = 0;
    while (sent < reply.size()) {
        ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
}

std::vector<std::string> HttpScriptedServer::requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

std::string HttpScriptedServer::LastBody() const {
    std::lock_guard<std::mutex> hold(lock_);
    if (requests_.empty()) {
        return {};
    }
    const std::string& last = requests_.back();
    size_t end = last.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : last.substr(end + 4);
}

}  // namespace brindle::test
