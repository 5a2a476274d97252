#include "server/http/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "net/socket.h"
#include "server/server_test_support.h"

namespace brindle::server {
namespace {

using brindle::test::ConnectLoopback;
using test::ClientRequest;
using test::Exchange;
using test::InProcessServer;
using test::ParseReply;
using test::Post;
using test::RegistrationBody;

TEST(HttpServer, RepliesArePlainWithContentLengthAndNoCarriageReturns) {
    InProcessServer server;
    auto reply = Post(server.port(), RegistrationBody("ann", "pw", "DSL,Cable", {{"a b.mp3", 7}}));
    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "OK\n");
    reply = Post(server.port(), "event=onSearch&qs=a+b&max=100&ext=*.mp3&userName=bob");
    EXPECT_EQ(reply.body, "1\na b.mp3\nann\nDSL,Cable\n7\n127.0.0.1\n");
    // The client asks for gzip and ignores every reply header: the body must
    // come as is, with its length, never compressed or chunked.
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(reply.body.size()));
    EXPECT_EQ(reply.Header("Content-Encoding"), "");
    EXPECT_EQ(reply.Header("Transfer-Encoding"), "");
    EXPECT_EQ(Post(server.port(), "event=onLookupUserIP&userName=ann").body, "127.0.0.1\n");
}

TEST(HttpServer, AnyPathTakesPostsOtherMethodsAreRefused) {
    InProcessServer server;
    std::string body = "event=onLookupUserIP&userName=ann";
    auto other = ParseReply(Exchange(
        server.port(), "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body));
    EXPECT_EQ(other.body, "NOT-REGISTERED\n");
    auto get = ParseReply(
        Exchange(server.port(), "GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(get.status, 405);
    EXPECT_EQ(get.body, "POST-ONLY\n");
    auto unknown = Post(server.port(), "event=onDance");
    EXPECT_EQ(unknown.status, 400);
    EXPECT_EQ(unknown.body, "UNKNOWN-EVENT\n");
}

TEST(HttpServer, OversizedBodiesAreRefused) {
    auto options = InProcessServer::LoopbackOptions();
    options.maxBodyBytes = 1 << 20;
    InProcessServer server(options);
    // Announced too large: refused before any of the body is read.
    auto announced = ParseReply(Exchange(
        server.port(), "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 104857600\r\n\r\nevent="));
    EXPECT_EQ(announced.status, 413);
    EXPECT_EQ(announced.body, "TOO-LARGE\n");
    // Chunked, with no length announced: the connection is closed once past the limit.
    std::string chunked = "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string chunk(64 * 1024, 'a');
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    for (int i = 0; i < 20; ++i) {
        chunked += size + chunk + "\r\n";
    }
    chunked += "0\r\n\r\n";
    EXPECT_EQ(Exchange(server.port(), chunked), "");
    // Just under the limit is served.
    std::string big = "event=onSearch&qs=zzz&pad=" + std::string((1 << 20) - 40, 'p');
    EXPECT_EQ(Post(server.port(), big).body, "0\n");
    EXPECT_EQ(Post(server.port(), "event=onLookupUserIP&userName=x").body, "NOT-REGISTERED\n");
}

TEST(HttpServer, HostileBodiesNeverBreakTheServer) {
    InProcessServer server;
    ASSERT_EQ(Post(server.port(), RegistrationBody("ann", "pw", "", {{"keep.mp3", 1}})).body,
              "OK\n");
    std::mt19937 random(42);
    std::vector<std::string> bodies{
        "event=onRegisterUser&userName=eve&password=x&count=99999999999999999999",
        "event=onRegisterUser&userName=eve&password=x&count=2&file0=a&size0=1&file1=b&size1="
        "99999999999999999999",
        "event=onRegisterUser&userName=eve&password=x&count=1&file0=a&size0=&file0=b",
        "event=onSearch&qs=%25%25%25&max=-99999999999999999999&ext=%2A%3F%2A%3F",
        "event=onSearch&qs=" + std::string(5000, 'q') + "&ext=*",
        "event=onSearch&ext=" + std::string(64, '*') + "&qs=a",
        std::string("event=onSearch&qs=\0\0\0&ext=*", 27),
        "event=onRegisterUser&userName=eve&password=pw&count=1&file0=x&size0=1&event=onFoo",
        "=&=&=&&&&==",
        "%",
    };
    for (int i = 0; i < 40; ++i) {
        std::string noise(static_cast<std::size_t>(random() % 3000), '\0');
        for (char& c : noise) {
            c = static_cast<char>(random());
        }
        bodies.push_back(i % 2 ? noise : "event=onRegisterUser&" + noise);
    }
    for (const auto& body : bodies) {
        auto reply = Post(server.port(), body);
        ASSERT_TRUE(reply.complete) << body.substr(0, 60);
        EXPECT_TRUE(reply.status == 200 || reply.status == 400) << reply.status;
        EXPECT_EQ(std::count(reply.body.begin(), reply.body.end(), '\n') >= 1, true);
    }
    auto search = Post(server.port(), "event=onSearch&qs=keep&max=5&ext=*.*&userName=zed");
    EXPECT_EQ(search.body, "1\nkeep.mp3\nann\n\n1\n127.0.0.1\n");
    EXPECT_EQ(server.store().CheckIntegrity(), "ok");
}

TEST(HttpServer, SilentConnectionsDoNotHoldUpOthers) {
    InProcessServer server;
    std::vector<Socket> silent;
    for (int i = 0; i < 16; ++i) {
        silent.push_back(ConnectLoopback(server.port()));
        ASSERT_TRUE(silent.back());
        if (i % 2) {
            ASSERT_TRUE(SendAll(silent.back().fd(), std::string("POST / HTTP/1.1\r\nHost: h\r\n")));
        }
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Post(server.port(), "event=onLookupUserIP&userName=x").body, "NOT-REGISTERED\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(HttpServer, IdleConnectionsAreClosedAfterTheTimeout) {
    auto options = InProcessServer::LoopbackOptions();
    options.idleTimeoutSeconds = 1;
    InProcessServer server(options);
    Socket idle = ConnectLoopback(server.port());
    ASSERT_TRUE(SendAll(
        idle.fd(), std::string("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 50\r\n\r\nevent=")));
    pollfd p{idle.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);  // the server closed it
    char byte;
    EXPECT_LE(::recv(idle.fd(), &byte, 1, 0), 0);
}

TEST(HttpServer, LogsOneLinePerRequestWithoutPasswords) {
    InProcessServer server;
    Post(server.port(), RegistrationBody("ann", "s3cr3t-pw", "", {}));
    Post(server.port(), RegistrationBody("ann", "wrong-s3cr3t", "", {}));
    Post(server.port(), "event=onUnregisterUser&userName=ann&password=s3cr3t-pw");
    Post(server.port(), "event=onSearch&qs=x&max=1&ext=*.*&userName=ann");
    ASSERT_TRUE(brindle::test::WaitFor([&] { return server.logLines().size() == 4; }));
    auto lines = server.logLines();
    EXPECT_NE(lines[0].find(" 127.0.0.1 onRegisterUser 200 OK"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" 127.0.0.1 onRegisterUser 200 BAD-PASSWORD"), std::string::npos);
    EXPECT_NE(lines[2].find(" onUnregisterUser 200 OK"), std::string::npos);
    EXPECT_NE(lines[3].find(" onSearch 200 0 results"), std::string::npos);
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("s3cr3t"), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(line.back(), 's');  // ends with the milliseconds
    }
}

TEST(HttpServer, LogLineFormat) {
    auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
    EXPECT_EQ(FormatRequestLogLine(when, "10.0.0.5", "onSearch", 200, "3 results", 0.84),
              "2023-11-14T22:13:20.123Z 10.0.0.5 onSearch 200 3 results 0.8ms");
}

TEST(HttpServer, DualStackRecordsMappedAddressesAsIpv4AndIpv6AsItsText) {
    auto options = InProcessServer::LoopbackOptions();
    options.bindAddress = "::";
    InProcessServer server(options);
    auto reply = Post(server.port(), RegistrationBody("ann", "pw", "", {}));
    ASSERT_EQ(reply.body, "OK\n");
    EXPECT_EQ(Post(server.port(), "event=onLookupUserIP&userName=ann").body, "127.0.0.1\n");

    Socket v6(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(static_cast<uint16_t>(server.port()));
    addr.sin6_addr = in6addr_loopback;
    if (::connect(v6.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    std::string body = RegistrationBody("bob", "pw", "", {{"x.mp3", 1}});
    ASSERT_TRUE(SendAll(v6.fd(), ClientRequest(body, server.port())));
    std::string raw;
    std::string line;
    while (ReceiveLine(v6.fd(), line)) {
        raw += line;
    }
    auto registered = ParseReply(raw);
    EXPECT_EQ(registered.status, 200);
    EXPECT_EQ(registered.body, "OK\n");
    EXPECT_EQ(Post(server.port(), "event=onLookupUserIP&userName=bob").body, "::1\n");
    EXPECT_EQ(Post(server.port(), "event=onSearch&qs=x&max=10&ext=*.*&userName=ann").body,
              "1\nx.mp3\nbob\n\n1\n::1\n");
    EXPECT_EQ(Post(server.port(), "event=onLookupUserIP&userName=ann").body, "127.0.0.1\n");
}

}  // namespace
}  // namespace brindle::server
