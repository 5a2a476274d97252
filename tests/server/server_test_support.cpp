#include "server/server_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace brindle::server::test {

std::string FormEncode(const std::string& value) {
    std::string out;
    for (unsigned char c : value) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '*' || c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

std::string RegistrationBody(const std::string& user, const std::string& password,
                             const std::string& connection, const std::vector<FileEntry>& files) {
    std::string body = "event=onRegisterUser&userName=" + FormEncode(user) +
                       "&connection=" + FormEncode(connection) +
                       "&password=" + FormEncode(password) +
                       "&count=" + std::to_string(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        body += "&file" + std::to_string(i) + "=" + FormEncode(files[i].name) + "&size" +
                std::to_string(i) + "=" + std::to_string(files[i].size);
    }
    return body;
}

std::string ClientRequest(const std::string& body, int port) {
    return brindle::test::ExpectedHeaders(port, body.size()) + body;
}

std::string HttpReply::Header(const std::string& name) const {
    std::size_t start = headers.find("\r\n");
    while (start != std::string::npos && start + 2 < headers.size()) {
        std::size_t end = headers.find("\r\n", start + 2);
        std::string line = headers.substr(start + 2, end - start - 2);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos &&
            strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0) {
            std::size_t value = line.find_first_not_of(' ', colon + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
        start = end;
    }
    return "";
}

HttpReply ParseReply(const std::string& raw) {
    HttpReply reply;
    std::size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) {
        return reply;
    }
    reply.complete = true;
    reply.headers = raw.substr(0, end + 2);
    reply.status = std::atoi(raw.c_str() + 9);
    reply.body = raw.substr(end + 4);
    return reply;
}

std::string Exchange(int port, const std::string& bytes, int deadlineMs) {
    Socket socket = brindle::test::ConnectLoopback(port);
    if (!socket) {
        return "";
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(socket.fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;  // the server may refuse before reading everything
        }
        sent += static_cast<std::size_t>(n);
    }
    return brindle::test::ReadUntilClosed(socket.fd(), std::chrono::milliseconds(deadlineMs));
}

HttpReply Post(int port, const std::string& body) {
    return ParseReply(Exchange(port, ClientRequest(body, port)));
}

Socket ConnectFrom(const std::string& source, int port) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (!socket || inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr) != 1 ||
        ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(socket.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        return Socket();
    }
    return socket;
}

SlowClients::SlowClients(std::vector<Socket> connections, const std::string& opening,
                         std::chrono::milliseconds interval)
    : connections_(std::move(connections)), interval_(interval) {
    for (auto& connection : connections_) {
        if (!connection || !SendAll(connection.fd(), opening)) {
            connection = Socket();
            ++closed_;
        }
    }
    thread_ = std::thread([this] { Run(); });
}

SlowClients::~SlowClients() {
    stop_ = true;
    thread_.join();
}

bool SlowClients::WaitAllClosed(std::chrono::milliseconds deadline) {
    return brindle::test::WaitFor([&] { return closed_ == connections_.size(); }, deadline);
}

void SlowClients::Run() {
    const auto pause = interval_.count() > 0 ? interval_ : std::chrono::milliseconds(50);
    while (!stop_ && closed_ < connections_.size()) {
        std::vector<pollfd> waiting;
        std::vector<std::size_t> which;
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            if (!connections_[i]) {
                continue;
            }
            if (interval_.count() > 0) {
                // A refused send means the server is gone; the poll below sees it.
                ::send(connections_[i].fd(), "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            waiting.push_back({connections_[i].fd(), POLLIN, 0});
            which.push_back(i);
        }
        // Waiting for the server's close is also what paces the bytes.
        if (::poll(waiting.data(), waiting.size(), static_cast<int>(pause.count())) <= 0) {
            continue;
        }
        for (std::size_t k = 0; k < waiting.size(); ++k) {
            if (waiting[k].revents == 0) {
                continue;
            }
            char buffer[4096];
            ssize_t n = ::recv(waiting[k].fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                connections_[which[k]] = Socket();
                ++closed_;
            }
        }
    }
}

HttpServerOptions InProcessServer::LoopbackOptions() {
    HttpServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    options.idleTimeoutSeconds = 10;
    return options;
}

InProcessServer::InProcessServer(HttpServerOptions options, DirectoryLimits limits) {
    std::string error;
    PasswordHasher::Initialize();
    store_ = SqliteStore::Open((dir_.path() / "directory.db").string(), error);
    if (!store_) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
    dispatcher_ = std::make_unique<EventDispatcher>(*store_, hasher_, limits);
    http_ = std::make_unique<DirectoryHttpServer>(*dispatcher_, options,
                                                  [this](const std::string& line) {
                                                      std::lock_guard<std::mutex> hold(logLock_);
                                                      log_.push_back(line);
                                                  });
    if (!http_->Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
}

InProcessServer::~InProcessServer() {
    http_->Stop();
}

std::string InProcessServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port()) + "/examples/servlet/brindlenet";
}

std::vector<std::string> InProcessServer::logLines() const {
    std::lock_guard<std::mutex> hold(logLock_);
    return log_;
}

}  // namespace brindle::server::test
