// The HTTP form client of the directory server: URL parsing, form encoding,
// the request header block and reading past the reply's headers.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "net/socket.h"

namespace brindle {

struct ServerAddress {
    std::string host;
    int port = 0;
    std::string path;
};

// Splits "http://host[:port][/path]". False (and `out` unchanged) when the URL
// does not start with exactly "http://".
bool ParseServerUrl(const std::string& serverUrl, ServerAddress& out);

// Form-encodes one field value: space to '+', the 20 bytes !"#$%&'(),:;<=>?{\}~
// to %XX, every other byte unchanged.
std::string UrlEncodeValue(std::string_view value);

// The request line and headers of a POST, up to and including the blank line.
std::string BuildPostHeaders(const ServerAddress& server, long long bodyLength);

// Reads the status line and headers of the final response (skipping "100
// Continue" responses). False when a read failed.
bool SkipResponseHeaders(int fd);

// Limits of every directory-server request: a stalled server never freezes the
// program.
struct RequestTimeouts {
    std::chrono::milliseconds connect{10000};
    std::chrono::milliseconds idle{30000};
};

// Opens the connection of one request with the request time-outs applied.
Socket OpenRequestConnection(const ServerAddress& server, const RequestTimeouts& timeouts);

}  // namespace brindle
