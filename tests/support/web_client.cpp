#include "support/web_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

#include "support/net_helpers.h"

namespace brindle::test {

namespace {

std::string Request(const WebCall& call, bool close) {
    std::string text = call.method + " " + call.path + " HTTP/1.1\r\n";
    if (!call.host.empty()) {
        text += "Host: " + call.host + "\r\n";
    }
    if (!call.cookie.empty()) {
        text += "Cookie: " + call.cookie + "\r\n";
    }
    if (!call.token.empty()) {
        text += "X-Brindlenet-Token: " + call.token + "\r\n";
    }
    if (!call.body.empty()) {
        text += "Content-Type: " + call.contentType + "\r\n";
    }
    text += "Content-Length: " + std::to_string(call.body.size()) + "\r\n";
    if (close) {
        text += "Connection: close\r\n";
    }
    return text + "\r\n" + call.body;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

WebReply Call(int port, const WebCall& call) {
    WebReply reply;
    Socket socket = ConnectLoopback(port);
    if (!socket.valid() || !SendAll(socket.fd(), Request(call, true))) {
        return reply;
    }
    reply.raw = ReadUntilClosed(socket.fd());
    const std::size_t end = reply.raw.find("\r\n\r\n");
    if (reply.raw.size() < 12 || end == std::string::npos) {
        return reply;
    }
    reply.status = std::stoi(reply.raw.substr(9, 3));
    std::size_t line = reply.raw.find("\r\n") + 2;
    while (line < end) {
        const std::size_t next = reply.raw.find("\r\n", line);
        const std::string header = reply.raw.substr(line, next - line);
        const std::size_t colon = header.find(':');
        if (colon != std::string::npos) {
            std::string name = header.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            std::string value = header.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (name == "set-cookie") {
                reply.setCookies.push_back(value);
            }
            reply.headers[name] = value;
        }
        line = next + 2;
    }
    reply.body = reply.raw.substr(end + 4);
    return reply;
}

Socket OpenWebStream(int port, const WebCall& call) {
    Socket socket = ConnectLoopback(port);
    if (socket.valid() && !SendAll(socket.fd(), Request(call, false))) {
        return Socket();
    }
    return socket;
}

bool ReadUntilSeen(int fd, std::string& seen, const std::string& needle,
                   std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    char chunk[4096];
    while (seen.find(needle) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return seen.find(needle) != std::string::npos;
        }
        seen.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

std::string CookiePair(const std::string& setCookie) {
    return setCookie.substr(0, setCookie.find(';'));
}

}  // namespace brindle::test
