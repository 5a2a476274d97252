// A plain HTTP/1.1 client for tests of the web front: one request per
// connection, or an open connection read until a text arrives (event streams).
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "net/socket.h"

namespace brindle::test {

struct WebReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::vector<std::string> setCookies;
    std::string body;
    std::string raw;
};

struct WebCall {
    WebCall(std::string method_, std::string path_, std::string body_ = {})
        : method(std::move(method_)), path(std::move(path_)), body(std::move(body_)) {}
    std::string method = "GET";
    std::string path = "/";
    std::string body;
    std::string host = "127.0.0.1";
    std::string cookie;  // "name=value"; "" for none
    std::string token;   // X-Brindlenet-Token; "" for none
    std::string contentType = "application/json";
};

// Sends the request with "Connection: close" and reads the whole reply.
WebReply Call(int port, const WebCall& call);

// Opens a connection and sends the request, leaving the reply to be read.
Socket OpenWebStream(int port, const WebCall& call);
// Reads from `fd` into `seen` until it holds `needle` or the deadline passes.
bool ReadUntilSeen(int fd, std::string& seen, const std::string& needle,
                   std::chrono::milliseconds deadline = std::chrono::seconds(5));

// The "name=value" part of a Set-Cookie header.
std::string CookiePair(const std::string& setCookie);

}  // namespace brindle::test
