#include "net/http_client.h"

#include <climits>

namespace brindle {

namespace {

constexpr std::string_view kScheme = "http://";

// The leading number of `text` the way atoi reads it (blanks, a sign, digits;
// no digits gives 0), saturated instead of overflowing.
int LeadingNumber(std::string_view text) {
    size_t at = 0;
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (at < text.size() && blank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > INT_MAX) {
            return negative ? INT_MIN : INT_MAX;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// True when the status line names an interim "Continue" response: the text
// after its last space, without trailing line-end and blank bytes.
bool IsContinueStatus(const std::string& statusLine) {
    size_t space = statusLine.rfind(' ');
    if (space == std::string::npos || space + 1 >= statusLine.size()) {
        return false;
    }
    std::string_view reason(statusLine);
    reason.remove_prefix(space + 1);
    size_t end = reason.find_last_not_of("\r\n\t\v\b");
    reason = end == std::string_view::npos ? std::string_view() : reason.substr(0, end + 1);
    return EqualsIgnoringCase(reason, "Continue");
}

}  // namespace

bool ParseServerUrl(const std::string& serverUrl, ServerAddress& out) {
    if (serverUrl.compare(0, kScheme.size(), kScheme) != 0) {
        return false;
    }
    const size_t start = kScheme.size();
    size_t slash = serverUrl.find('/', start);
    if (slash == std::string::npos) {
        slash = serverUrl.size();
    }
    // A ':' past the first '/' belongs to the path, not to the authority.
    size_t colon = serverUrl.find(':', start);
    if (colon != std::string::npos && colon > slash) {
        colon = std::string::npos;
    }
    ServerAddress parsed;
    if (colon == std::string::npos) {
        parsed.port = 80;
        parsed.host = serverUrl.substr(start, slash - start);
    } else {
        parsed.port =
            LeadingNumber(std::string_view(serverUrl).substr(colon + 1, slash - colon - 1));
        parsed.host = serverUrl.substr(start, colon - start);
    }
    parsed.path = serverUrl.substr(slash);
    out = std::move(parsed);
    return true;
}

std::string UrlEncodeValue(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    static constexpr std::string_view kEscaped = "!\"#$%&'(),:;<=>?{\\}~";
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
    headers += "POST " + server.path + " HTTP/1.1\r\n";
    headers += "Accept: text/plain\r\n";
    headers += "Referer: about:blank\r\n";
    headers += "Accept-Language: en-us\r\n";
    headers += "Content-Type: application/x-www-form-urlencoded\r\n";
    headers += "Accept-Encoding: gzip, deflate\r\n";
    headers += "User-Agent: Brindlenet V1.0\r\n";
    headers += "Host: " + server.host + ":" + std::to_string(server.port) + "\r\n";
    headers += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
    headers += "Connection: close\r\n\r\n";
    return headers;
}

bool SkipResponseHeaders(int fd) {
    for (;;) {
        std::string line;
        if (!ReceiveLine(fd, line)) {
            return false;
        }
        bool interim = IsContinueStatus(line);
        // Only a line of exactly CR LF ends the block; a bare LF does not.
        while (line != "\r\n") {
            if (!ReceiveLine(fd, line)) {
                return false;
            }
        }
        if (!interim) {
            return true;
        }
    }
}

Socket OpenRequestConnection(const ServerAddress& server, const RequestTimeouts& timeouts) {
    return OpenServerConnection(server.host, server.port,
                                ConnectTimeouts{timeouts.connect, timeouts.idle});
}

}  // namespace brindle
