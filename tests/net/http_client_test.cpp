#include "net/http_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/net_helpers.h"
#include "support/scripted_server.h"

namespace brindle {
namespace {

struct UrlCase {
    std::string url;
    std::string host;
    int port;
    std::string path;
    bool tls = false;
};

TEST(ParseServerUrl, SplitsHostPortAndPath) {
    const std::vector<UrlCase> cases = {
        {"http://10.0.0.5:8080/examples/servlet/brindlenet", "10.0.0.5", 8080,
         "/examples/servlet/brindlenet"},
        {"http://10.0.0.5/x", "10.0.0.5", 80, "/x"},
        {"http://10.0.0.5:8080", "10.0.0.5", 8080, ""},
        {"http://10.0.0.5", "10.0.0.5", 80, ""},
        {"http://10.0.0.5:x/p", "10.0.0.5", 0, "/p"},
        {"http://localhost:8080/examples/servlet/brindlenet", "localhost", 8080,
         "/examples/servlet/brindlenet"},
        {"http://h:81abc/p", "h", 81, "/p"},
        {"http://h:99999999999/p", "h", 2147483647, "/p"},
        {"http://", "", 80, ""},
        // A ':' inside the path does not make the host end early.
        {"http://10.0.0.5/a:b", "10.0.0.5", 80, "/a:b"},
        {"http://10.0.0.5:9/a:b", "10.0.0.5", 9, "/a:b"},
        // "https://" is read the same way, with 443 as the port when none is given.
        {"https://dir.example/examples/servlet/brindlenet", "dir.example", 443,
         "/examples/servlet/brindlenet", true},
        {"https://10.0.0.5", "10.0.0.5", 443, "", true},
        {"https://10.0.0.5:8443/a:b", "10.0.0.5", 8443, "/a:b", true},
        {"https://", "", 443, "", true},
        // An IPv6 host in brackets, kept without them.
        {"http://[fd00::1]:8080/examples/servlet/brindlenet", "fd00::1", 8080,
         "/examples/servlet/brindlenet"},
        {"http://[fd00::1]/x", "fd00::1", 80, "/x"},
        {"http://[::1]", "::1", 80, ""},
        {"http://[fd00::1]:9/a:b]", "fd00::1", 9, "/a:b]"},
        {"https://[fd00::1]/examples/servlet/brindlenet", "fd00::1", 443,
         "/examples/servlet/brindlenet", true},
        {"https://[fd00::1]:8443", "fd00::1", 8443, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        ServerAddress parsed;
        ASSERT_TRUE(ParseServerUrl(c.url, parsed));
        EXPECT_EQ(parsed.host, c.host);
        EXPECT_EQ(parsed.port, c.port);
        EXPECT_EQ(parsed.path, c.path);
        EXPECT_EQ(parsed.tls, c.tls);
    }
}

TEST(ParseServerUrl, RejectsOtherSchemesAndLeavesTheAddressAlone) {
    for (const char* url :
         {"HTTP://10.0.0.5/x", " http://10.0.0.5/x", "HTTPS://10.0.0.5/x", "https:/10.0.0.5",
          "httpss://10.0.0.5/x", "ftp://10.0.0.5/x", "http:/10.0.0.5", "",
          // Brackets that hold no IPv6 address, or are not closed before the path.
          "http://[fd00::1/x", "http://[fd00::1", "http://[fd00::1/x]", "http://[]/x",
          "http://[fd00::1]x/p", "http://[fd00::1]8080/x", "https://[10.0.0.5]/x",
          "https://[dir.example]:443/x", "http://[fd00::1%25eth0]/x", "http://[fd00::1::2]/"}) {
        SCOPED_TRACE(url);
        ServerAddress kept{"old", 1, "/old"};
        EXPECT_FALSE(ParseServerUrl(url, kept));
        EXPECT_EQ(kept.host, "old");
        EXPECT_EQ(kept.port, 1);
        EXPECT_EQ(kept.path, "/old");
    }
}

TEST(UrlEncodeValue, EncodesTheGivenExamples) {
    EXPECT_EQ(UrlEncodeValue("28.8K Modem"), "28.8K+Modem");
    EXPECT_EQ(UrlEncodeValue("DSL,Cable"), "DSL%2CCable");
    EXPECT_EQ(UrlEncodeValue("music\\a b.mp3"), "music%5Ca+b.mp3");
    // A bare '+' would come back as a space from every form decoder.
    EXPECT_EQ(UrlEncodeValue("a+b/c"), "a%2Bb/c");
    EXPECT_EQ(UrlEncodeValue("c++ notes.txt"), "c%2B%2B+notes.txt");
    EXPECT_EQ(UrlEncodeValue("50%"), "50%25");
    EXPECT_EQ(UrlEncodeValue(""), "");
    std::string longValue(5000, '~');
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        expected += "%7E";
    }
    EXPECT_EQ(UrlEncodeValue(longValue), expected);
}

TEST(UrlEncodeValue, EscapesExactlyThePlusAndTheTwentyPunctuationBytes) {
    auto escaped = [](int b) {
        return (b >= 0x21 && b <= 0x29) || b == 0x2B || b == 0x2C || (b >= 0x3A && b <= 0x3F) ||
               b == 0x5C || b == 0x7B || b == 0x7D || b == 0x7E;
    };
    int escapedCount = 0;
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        std::string in(1, static_cast<char>(b));
        std::string out = UrlEncodeValue(in);
        if (b == ' ') {
            EXPECT_EQ(out, "+");
        } else if (escaped(b)) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", b);
            EXPECT_EQ(out, hex);
            ++escapedCount;
        } else {
            EXPECT_EQ(out, in);
        }
    }
    EXPECT_EQ(escapedCount, 21);
}

TEST(BuildPostHeaders, WritesTheExactHeaderBlock) {
    ServerAddress server{"10.0.0.5", 8080, "/examples/servlet/brindlenet"};
    EXPECT_EQ(BuildPostHeaders(server, 42), test::ExpectedHeaders(8080, 42, "10.0.0.5"));

    ServerAddress plain;
    ASSERT_TRUE(ParseServerUrl("http://10.0.0.5", plain));
    std::string headers = BuildPostHeaders(plain, 0);
    // A URL without a path asks for the root, never for "POST  HTTP/1.1".
    EXPECT_EQ(headers.rfind("POST / HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(headers.find("\r\nHost: 10.0.0.5:80\r\nContent-Length: 0\r\n"), std::string::npos);

    // An IPv6 host is named in brackets, the port after them.
    ServerAddress v6;
    ASSERT_TRUE(ParseServerUrl("https://[fd00::1]/x", v6));
    EXPECT_NE(BuildPostHeaders(v6, 0).find("\r\nHost: [fd00::1]:443\r\n"), std::string::npos);
}

struct ReplyCase {
    const char* name;
    std::string reply;
    bool skipped;
    std::string firstBodyLine;
};

TEST(SkipResponseHeaders, ReadsThroughTheFinalResponsesHeaders) {
    const std::vector<ReplyCase> cases = {
        {"plain", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nOK\n", true, "OK\n"},
        {"continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nServer: x\r\n\r\nOK\r\n",
         true, "OK\r\n"},
        {"lower-case continue",
         "HTTP/1.1 100 continue\r\nX: y\r\n\r\nHTTP/1.1 200 OK\r\n\r\nBAD-PASSWORD\n", true,
         "BAD-PASSWORD\n"},
        {"no reason phrase", "HTTP/1.0 204\r\n\r\nOK\n", true, "OK\n"},
        {"other interim response", "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\n\r\nOK\n",
         true, "OK\n"},
        {"identity coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\n\r\nOK\n", true,
         "OK\n"},
        // An error page, or a body in chunks, is no reply of the server's events.
        {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 6\r\n\r\n<html>\n", false, ""},
        {"server error", "HTTP/1.1 500 Internal Server Error\r\n\r\nOK\n", false, ""},
        {"redirect", "HTTP/1.1 302 Found\r\nLocation: /\r\n\r\nOK\n", false, ""},
        {"error after continue", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\n\r\nOK\n",
         false, ""},
        {"chunked", "HTTP/1.1 200 OK\r\ntransfer-encoding:  Chunked\r\n\r\n3\r\nOK\n\r\n0\r\n\r\n",
         false, ""},
        {"no status line", "OK\r\n\r\nOK\n", false, ""},
        {"four-digit status", "HTTP/1.1 2000 OK\r\n\r\nOK\n", false, ""},
        {"bare line feed is a header line", "HTTP/1.1 200 OK\r\nA: b\r\n\n\r\nOK\n", true, "OK\n"},
        {"no body", "HTTP/1.1 200 OK\r\n\r\n", true, ""},
        {"ends mid-headers", "HTTP/1.1 200 OK\r\nContent-Type: te", false, ""},
        {"ends after a header line", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n", false, ""},
        {"ends after the interim response", "HTTP/1.1 100 Continue\r\n\r\n", false, ""},
        {"empty", "", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        Socket server(fds[0]);
        Socket client(fds[1]);
        ASSERT_TRUE(SendAll(server.fd(), c.reply));
        ::shutdown(server.fd(), SHUT_WR);
        EXPECT_EQ(SkipResponseHeaders(client.fd()), c.skipped);
        if (c.skipped) {
            std::string line;
            EXPECT_EQ(ReceiveLine(client.fd(), line), !c.firstBodyLine.empty());
            EXPECT_EQ(line, c.firstBodyLine);
        }
    }
}

TEST(OpenRequestConnection, CarriesARequestWithTheRequestTimeouts) {
    test::HttpScriptedServer server(test::HttpReply("OK\n"));
    ServerAddress address;
    ASSERT_TRUE(ParseServerUrl(server.url(), address));
    Socket socket = OpenRequestConnection(address, RequestTimeouts{});
    ASSERT_TRUE(socket.valid());

    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        timeval limit{};
        socklen_t size = sizeof limit;
        ASSERT_EQ(::getsockopt(socket.fd(), SOL_SOCKET, option, &limit, &size), 0);
        EXPECT_EQ(limit.tv_sec, 30);
    }

    std::string body = "event=onLookupUserIP&userName=" + UrlEncodeValue("a b");
    std::string headers = BuildPostHeaders(address, static_cast<long long>(body.size()));
    ASSERT_TRUE(SendAll(socket.fd(), headers));
    ASSERT_TRUE(SendAll(socket.fd(), body));
    ASSERT_TRUE(SkipResponseHeaders(socket.fd()));
    std::string line;
    ASSERT_TRUE(ReceiveLine(socket.fd(), line));
    EXPECT_EQ(line, "OK\n");
    socket.reset();
    EXPECT_EQ(server.requests(), std::vector<std::string>{headers + body});
    EXPECT_EQ(server.LastBody(), "event=onLookupUserIP&userName=a+b");

    ServerAddress unreachable{"127.0.0.1", 0, "/"};
    EXPECT_FALSE(OpenRequestConnection(unreachable, RequestTimeouts{}).valid());
}

TEST(PostForm, SendsTheHeadersAndEachPieceThenReadsPastTheReplysHeaders) {
    test::HttpScriptedServer server(test::HttpReply("OK\nnext\n"));
    std::vector<std::string> events;
    FormPost post;
    post.body = [&] {
        events.push_back("body");
        return std::vector<std::string_view>{"count=1", "&file0=a+b", ""};
    };
    post.pieceSent = [&](std::string_view piece) {
        events.push_back("sent " + std::string(piece));
    };
    post.bodySent = [&] { events.push_back("done"); };
    FormReply reply = PostForm(server.url(), RequestTimeouts{}, post);
    ASSERT_TRUE(reply);
    std::string line;
    ASSERT_TRUE(reply.ReadLine(line));
    EXPECT_EQ(line, "OK\n");
    ASSERT_TRUE(reply.ReadLine(line));
    EXPECT_EQ(line, "next\n");
    reply.socket.reset();

    EXPECT_EQ(events, (std::vector<std::string>{"body", "sent count=1", "sent &file0=a+b", "sent ",
                                                "done"}));
    ServerAddress address;
    ASSERT_TRUE(ParseServerUrl(server.url(), address));
    EXPECT_EQ(server.requests(),
              std::vector<std::string>{BuildPostHeaders(address, 17) + "count=1&file0=a+b"});
}

TEST(PostForm, NamesTheStepThatFailed) {
    test::HttpScriptedServer refusing("HTTP/1.1 500 Internal Server Error\r\n\r\nOK\n");
    struct Case {
        std::string url;
        PostFailure failure;
        bool bodyAsked;
    };
    for (const Case& c : {Case{"ftp://127.0.0.1/x", PostFailure::BadUrl, false},
                          Case{"http://127.0.0.1:0/x", PostFailure::Connect, false},
                          Case{refusing.url(), PostFailure::ReadHeaders, true}}) {
        SCOPED_TRACE(c.url);
        bool bodyAsked = false;
        bool bodySent = false;
        FormPost post;
        post.body = [&] {
            bodyAsked = true;
            return std::vector<std::string_view>{"event=onSearch"};
        };
        post.bodySent = [&] { bodySent = true; };
        FormReply reply = PostForm(c.url, RequestTimeouts{}, post);
        EXPECT_FALSE(reply);
        EXPECT_EQ(reply.failure, c.failure);
        EXPECT_EQ(bodyAsked, c.bodyAsked);
        EXPECT_EQ(bodySent, c.bodyAsked);
    }
    EXPECT_EQ(refusing.LastBody(), "event=onSearch");
}

// A connect limit longer than the whole request's, or none at all, does not
// let a server that never answers the connect hold the request past its limit.
TEST(PostForm, AConnectEndsWithTheWholeRequestsLimit) {
    using namespace std::chrono_literals;
    test::UnansweredPort target;
    ASSERT_TRUE(target.Fill());
    const std::string url = "http://127.0.0.1:" + std::to_string(target.port) + "/x";
    for (auto connect : {5000ms, 0ms}) {
        SCOPED_TRACE(connect.count());
        const auto start = std::chrono::steady_clock::now();
        FormReply reply = PostForm(url, RequestTimeouts{connect, 5000ms, 300ms}, "event=onSearch");
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(reply.failure, PostFailure::Connect);
        EXPECT_GE(took, 250ms);
        EXPECT_LT(took, 1s);
    }
}

}  // namespace
}  // namespace brindle
