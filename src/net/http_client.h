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

// Form-encodes one field value: space to '+', '+' and the 20 bytes
// !"#$%&'(),:;<=>?{\}~ to %XX, every other byte unchanged. ('+' must be escaped:
// a form decoder reads a bare '+' as a space.)
std::string UrlEncodeValue(std::string_view value);

// The request line and headers of a POST, up to and including the blank line.
// An empty path is sent as "/".
std::string BuildPostHeaders(const ServerAddress& server, long long bodyLength);

// Reads the status line and headers of the final response, skipping interim
// (1xx) responses. False when a read failed, when the final status is not 2xx
// (its body is no reply of the server's events) and when the body comes in a
// transfer coding such as chunked (it could not be read as plain lines).
bool SkipResponseHeaders(int fd, Deadline deadline = kNoDeadline);

// Limits of every directory-server request: a stalled or trickling server never
// freezes the program. Zero means none.
struct RequestTimeouts {
    std::chrono::milliseconds connect{10000};  // the connect
    std::chrono::milliseconds idle{30000};     // each send or receive
    std::chrono::milliseconds total{120000};   // the whole request, connect to last byte
};

// The deadline of a request that starts now.
Deadline RequestDeadline(const RequestTimeouts& timeouts);

// Opens the connection of one request with the request time-outs applied; the
// connect also ends by `deadline`.
Socket OpenRequestConnection(const ServerAddress& server, const RequestTimeouts& timeouts,
                             Deadline deadline = kNoDeadline);

}  // namespace brindle
