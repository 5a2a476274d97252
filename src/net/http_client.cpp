#include "net/http_client.h"

#include "base/strings.h"

#include <algorithm>
#include <climits>

namespace brindle {

namespace {

constexpr std::string_view kScheme = "http://";
constexpr std::string_view kTlsScheme = "https://";

// The status code of a status line "HTTP/x.y NNN reason"; -1 when the line is
// no status line.
int StatusCode(std::string_view line) {
    size_t space = line.find(' ');
    if (line.substr(0, 5) != "HTTP/" || space == std::string_view::npos ||
        line.size() < space + 4) {
        return -1;
    }
    int code = 0;
    for (char c : line.substr(space + 1, 3)) {
        if (c < '0' || c > '9') {
            return -1;
        }
        code = code * 10 + (c - '0');
    }
    std::string_view rest = line.substr(space + 4, 1);
    return rest.empty() || rest == " " || rest == "\r" || rest == "\n" ? code : -1;
}

// True for a "Transfer-Encoding" header with a coding other than identity: the
// body is then no sequence of plain lines.
bool HasTransferCoding(std::string_view line) {
    constexpr std::string_view kName = "Transfer-Encoding:";
    if (line.size() < kName.size() || !EqualsIgnoringCase(line.substr(0, kName.size()), kName)) {
        return false;
    }
    std::string_view value = line.substr(kName.size());
    size_t first = value.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return false;
    }
    value = value.substr(first, value.find_last_not_of(" \t\r\n") + 1 - first);
    return !EqualsIgnoringCase(value, "identity");
}

}  // namespace

bool ParseServerUrl(const std::string& serverUrl, ServerAddress& out) {
    const bool tls = serverUrl.compare(0, kTlsScheme.size(), kTlsScheme) == 0;
    if (!tls && serverUrl.compare(0, kScheme.size(), kScheme) != 0) {
        return false;
    }
    const size_t start = tls ? kTlsScheme.size() : kScheme.size();
    size_t slash = serverUrl.find('/', start);
    if (slash == std::string::npos) {
        slash = serverUrl.size();
    }
    ServerAddress parsed;
    parsed.tls = tls;
    // The host ends at the first ':' before the first '/' (a ':' in the path
    // belongs to the path); an IPv6 host is written in brackets and ends at
    // its ']', which must be followed by the port or by the path.
    size_t colon = std::string::npos;
    if (start < slash && serverUrl[start] == '[') {
        const size_t close = serverUrl.find(']', start);
        if (close == std::string::npos || close > slash ||
            (close + 1 != slash && serverUrl[close + 1] != ':')) {
            return false;
        }
        parsed.host = serverUrl.substr(start + 1, close - start - 1);
        IpAddress literal;
        if (!ParseNumericAddress(parsed.host, &literal) ||
            parsed.host.find(':') == std::string::npos) {
            return false;
        }
        colon = close + 1 != slash ? close + 1 : std::string::npos;
    } else {
        colon = serverUrl.find(':', start);
        if (colon != std::string::npos && colon > slash) {
            colon = std::string::npos;
        }
        parsed.host = serverUrl.substr(start, (colon == std::string::npos ? slash : colon) - start);
    }
    if (colon == std::string::npos) {
        parsed.port = tls ? 443 : 80;
    } else {
        // atoi reading, saturated at the int range instead of overflowing.
        const long long port =
            ParseLongLikeAtol(std::string_view(serverUrl).substr(colon + 1, slash - colon - 1));
        parsed.port = static_cast<int>(std::clamp<long long>(port, INT_MIN, INT_MAX));
    }
    parsed.path = serverUrl.substr(slash);
    out = std::move(parsed);
    return true;
}

std::string UrlEncodeValue(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    static constexpr std::string_view kEscaped = "!\"#$%&'()+,:;<=>?{\\}~";
    std::string encoded;
    encoded.reserve(value.size() + 10);
    for (char c : value) {
        if (c == ' ') {
            encoded += '+';
        } else if (kEscaped.find(c) != std::string_view::npos) {
            auto byte = static_cast<unsigned char>(c);
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        } else {
            encoded += c;
        }
    }
    return encoded;
}

std::string BuildPostHeaders(const ServerAddress& server, long long bodyLength) {
    std::string headers;
    headers.reserve(320 + server.path.size() + server.host.size());
    headers += "POST " + (server.path.empty() ? std::string("/") : server.path) + " HTTP/1.1\r\n";
    headers += "Accept: text/plain\r\n";
    headers += "Referer: about:blank\r\n";
    headers += "Accept-Language: en-us\r\n";
    headers += "Content-Type: application/x-www-form-urlencoded\r\n";
    headers += "Accept-Encoding: gzip, deflate\r\n";
    headers += "User-Agent: Brindlenet V1.0\r\n";
    // An IPv6 host goes in brackets, as in the URL.
    const bool ipv6 = server.host.find(':') != std::string::npos;
    headers += "Host: " + (ipv6 ? "[" + server.host + "]" : server.host) + ":" +
               std::to_string(server.port) + "\r\n";
    headers += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
    headers += "Connection: close\r\n\r\n";
    return headers;
}

bool SkipResponseHeaders(int fd, Deadline deadline) {
    return SkipResponseHeaders(
        [fd, deadline](std::string& line) { return ReceiveLine(fd, line, deadline); });
}

bool SkipResponseHeaders(const LineReader& readLine) {
    for (;;) {
        std::string line;
        if (!readLine(line)) {
            return false;
        }
        const int status = StatusCode(line);
        const bool interim = status >= 100 && status <= 199;
        if (!interim && (status < 200 || status > 299)) {
            return false;
        }
        // Only a line of exactly CR LF ends the block; a bare LF does not.
        while (line != "\r\n") {
            if (!readLine(line) || (!interim && HasTransferCoding(line))) {
                return false;
            }
        }
        if (!interim) {
            return true;
        }
    }
}

Deadline RequestDeadline(const RequestTimeouts& timeouts) {
    return timeouts.total.count() > 0 ? std::chrono::steady_clock::now() + timeouts.total
                                      : kNoDeadline;
}

Socket OpenRequestConnection(const ServerAddress& server, const RequestTimeouts& timeouts,
                             Deadline deadline) {
    std::chrono::milliseconds connect = timeouts.connect;
    if (deadline != kNoDeadline) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return Socket();
        }
        connect = connect.count() > 0 ? std::min(connect, left) : left;
    }
    return OpenServerConnection(server.host, server.port, ConnectTimeouts{connect, timeouts.idle});
}

FormReply PostForm(const std::string& serverUrl, const RequestTimeouts& timeouts,
                   const FormPost& post) {
    FormReply reply;
    reply.deadline = RequestDeadline(timeouts);
    // A failed request keeps its connection until the caller lets the reply go,
    // so the server sees the close only after the caller has acted on the failure.
    auto failed = [&reply](PostFailure step) {
        reply.failure = step;
        return std::move(reply);
    };
    if (!ParseServerUrl(serverUrl, reply.server)) {
        return failed(PostFailure::BadUrl);
    }
    const auto connectStart = std::chrono::steady_clock::now();
    reply.socket = OpenRequestConnection(reply.server, timeouts, reply.deadline);
    if (!reply.socket) {
        return failed(PostFailure::Connect);
    }
    if (reply.server.tls) {
        // The handshake belongs to the connect: it ends within the connect
        // limit, counted from the start of the connect, and the whole request's.
        TlsChannel::Limits limits{timeouts.idle, reply.deadline};
        if (timeouts.connect.count() > 0) {
            limits.handshake = std::min(limits.handshake, connectStart + timeouts.connect);
        }
        reply.tls = TlsChannel::Connect(reply.socket.fd(), reply.server.host, reply.server.port,
                                        limits, reply.failureReason);
        if (!reply.tls) {
            return failed(PostFailure::Connect);
        }
    }
    const std::vector<std::string_view> pieces = post.body();
    long long length = 0;
    for (std::string_view piece : pieces) {
        length += static_cast<long long>(piece.size());
    }
    const int fd = reply.socket.fd();
    TlsChannel* tls = reply.tls.get();
    auto send = [fd, tls, &reply](std::string_view bytes) {
        return tls ? tls->SendAll(bytes, reply.deadline)
                   : SendAll(fd, bytes.data(), static_cast<long long>(bytes.size()),
                             reply.deadline);
    };
    if (!send(BuildPostHeaders(reply.server, length))) {
        return failed(PostFailure::SendHeaders);
    }
    for (std::string_view piece : pieces) {
        if (!send(piece)) {
            return failed(PostFailure::SendBody);
        }
        if (post.pieceSent) {
            post.pieceSent(piece);
        }
    }
    if (post.bodySent) {
        post.bodySent();
    }
    if (!SkipResponseHeaders(reply.Lines())) {
        return failed(PostFailure::ReadHeaders);
    }
    return reply;
}

FormReply PostForm(const std::string& serverUrl, const RequestTimeouts& timeouts,
                   const std::string& body) {
    FormPost post;
    post.body = [&body] { return std::vector<std::string_view>{body}; };
    return PostForm(serverUrl, timeouts, post);
}

}  // namespace brindle
