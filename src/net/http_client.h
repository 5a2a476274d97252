// The HTTP form client of the directory server: URL parsing, form encoding,
// the request header block, reading past the reply's headers, and the one
// request path every directory event takes.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket.h"
#include "net/tls_channel.h"

namespace brindle {

struct ServerAddress {
    std::string host;  // an IPv6 address without its brackets
    int port = 0;
    std::string path;
    bool tls = false;  // "https://": the request goes inside a TLS session
};

// Splits "http://host[:port][/path]" (port 80 when none is given) and
// "https://host[:port][/path]" (port 443). An IPv6 host is written in brackets
// ("http://[fd00::1]:8080/x") and kept without them. False (and `out`
// unchanged) when the URL starts with neither, exactly, and when a host in
// brackets is no IPv6 address or is followed by anything but a port or the path.
[[nodiscard]] bool ParseServerUrl(const std::string& serverUrl, ServerAddress& out);

// Form-encodes one field value: space to '+', '+' and the 20 bytes
// !"#$%&'(),:;<=>?{\}~ to %XX, every other byte unchanged. ('+' must be escaped:
// a form decoder reads a bare '+' as a space.)
std::string UrlEncodeValue(std::string_view value);

// The request line and headers of a POST, up to and including the blank line.
// An empty path is sent as "/".
std::string BuildPostHeaders(const ServerAddress& server, long long bodyLength);

// Reads the next line of a reply into its argument; false when that failed.
using LineReader = std::function<bool(std::string& line)>;

// Reads the status line and headers of the final response, skipping interim
// (1xx) responses. False when a read failed, when the final status is not 2xx
// (its body is no reply of the server's events) and when the body comes in a
// transfer coding such as chunked (it could not be read as plain lines).
[[nodiscard]] bool SkipResponseHeaders(const LineReader& readLine);
// The same for a reply read from `fd` with ReceiveLine.
[[nodiscard]] bool SkipResponseHeaders(int fd, Deadline deadline = kNoDeadline);

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
[[nodiscard]] Socket OpenRequestConnection(const ServerAddress& server,
                                           const RequestTimeouts& timeouts,
                                           Deadline deadline = kNoDeadline);

// The step at which a form POST failed.
enum class PostFailure {
    None,
    BadUrl,       // the server URL is no "http://" or "https://" URL
    Connect,      // no connection within the limits, or a certificate that failed the check
    SendHeaders,  // the request line and headers did not go out
    SendBody,     // a piece of the body did not go out
    ReadHeaders,  // the reply's headers could not be read or were no success
};

// What one form POST does on its way, beside sending.
struct FormPost {
    // Gives the body's pieces once the connection is open and before any byte
    // is sent; the views must stay valid until the POST returns. Their lengths
    // add up to the Content-Length.
    std::function<std::vector<std::string_view>()> body;
    // Called after each piece has gone out (may stay empty).
    std::function<void(std::string_view piece)> pieceSent;
    // Called once the whole body is out, before the reply is read (may stay empty).
    std::function<void()> bodySent;
};

// The connection of a form POST with the reply's headers read, ready for the
// reply lines; or the step that failed (with the connection, if one was made,
// held until the reply goes).
struct FormReply {
    PostFailure failure = PostFailure::None;
    // Why the connection failed, when there is more to say than the step (a
    // refused certificate, for instance); empty otherwise.
    std::string failureReason;
    ServerAddress server;  // as read from the URL
    Socket socket;
    // The TLS session of an "https://" request; it reads ahead within the reply.
    // Declared after the socket so that it ends first.
    std::unique_ptr<TlsChannel> tls;
    Deadline deadline = kNoDeadline;

    explicit operator bool() const { return failure == PostFailure::None; }
    // The next reply line, within the request's deadline.
    [[nodiscard]] bool ReadLine(std::string& line) const {
        return tls ? tls->ReceiveLine(line, deadline) : ReceiveLine(socket.fd(), line, deadline);
    }
    // ReadLine as a LineReader; valid while the reply is.
    [[nodiscard]] LineReader Lines() const {
        return [this](std::string& line) { return ReadLine(line); };
    }
};

// One request to the directory server: reads the URL, connects, sends the
// headers and the body piece by piece, and reads past the reply's headers, all
// within the request time-outs (the whole-request deadline starts here).
[[nodiscard]] FormReply PostForm(const std::string& serverUrl, const RequestTimeouts& timeouts,
                                 const FormPost& post);

// The same with a body in one piece.
[[nodiscard]] FormReply PostForm(const std::string& serverUrl, const RequestTimeouts& timeouts,
                                 const std::string& body);

}  // namespace brindle
