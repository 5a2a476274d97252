#include "server/server_test_support.h"

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

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
