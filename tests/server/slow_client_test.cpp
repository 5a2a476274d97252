// Clients that open requests and never finish them: announced bodies that do
// not come and header blocks that trickle in from many addresses, over HTTP
// and HTTPS. They are closed at their deadline and never lock others out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/server_test_support.h"
#include "support/test_certificates.h"
#include "support/tls_test_client.h"

namespace brindle::server {
namespace {

using namespace std::chrono_literals;
using brindle::test::TempDir;
using brindle::test::TlsClientOptions;
using brindle::test::TlsTestClient;
using brindle::test::WaitFor;
using test::ClientRequest;
using test::ConnectFrom;
using test::InProcessServer;
using test::ParseReply;
using test::Post;
using test::RegistrationBody;
using test::SlowClients;

const std::string kLookup = "event=onLookupUserIP&userName=nobody";

bool Logged(const InProcessServer& server, const std::string& text) {
    for (const auto& line : server.logLines()) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Deadlines far below the idle limit, so only they can end an attack; long
// enough for a loaded machine to open every attacking connection before.
HttpServerOptions ShortDeadlines() {
    auto options = InProcessServer::LoopbackOptions();
    options.idleTimeoutSeconds = 60;
    options.headerTimeout = 3s;
    options.bodyTimeout = 3s;
    return options;
}

// Eight requests from one address announce the largest body allowed, which
// together is the whole memory budget, then send nothing or a byte now and then.
class AnnouncedBodies : public ::testing::TestWithParam<std::chrono::milliseconds> {};

TEST_P(AnnouncedBodies, HoldNothingAndAreClosedAtTheirDeadline) {
    auto options = ShortDeadlines();
    options.maxBufferedBytes = 8 * options.maxBodyBytes;
    InProcessServer server(options);
    std::vector<Socket> connections;
    for (int i = 0; i < 8; ++i) {
        connections.push_back(ConnectFrom("127.0.0.1", server.port()));
    }
    SlowClients slow(std::move(connections),
                     "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: " +
                         std::to_string(options.maxBodyBytes) + "\r\n\r\nevent=",
                     GetParam());
    ASSERT_TRUE(WaitFor([&] { return server.http().connectionCounts().awaitingBody == 8; }));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Post(server.port(), RegistrationBody("ann", "pw", "", {{"a.mp3", 1}})).body, "OK\n");
    EXPECT_EQ(Post(server.port(), "event=onSearch&qs=a&max=5&ext=*.*&userName=bob").body,
              "1\na.mp3\nann\n\n1\n127.0.0.1\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    EXPECT_TRUE(slow.WaitAllClosed(10s));
    EXPECT_TRUE(WaitFor([&] { return Logged(server, "no reply (body not complete in time"); }));
}

INSTANTIATE_TEST_SUITE_P(SilentOrTrickling, AnnouncedBodies, ::testing::Values(0ms, 200ms),
                         [](const auto& info) {
                             return std::string(info.param.count() ? "Trickling" : "Silent");
                         });

// Connections from sixteen addresses fill every slot of the server, each
// below the per-address cap, and trickle their header blocks (over HTTPS the
// opening of a handshake record) a byte at a time, quicker than the idle limit.
class SlowHeaders : public ::testing::TestWithParam<bool> {
  protected:
    static void SetUpTestSuite() {
        folder_ = new TempDir;
        std::string error;
        made_ = brindle::test::MakeTestCertificates(folder_->path(), certificates_, error);
        if (!made_) {
            std::fprintf(stderr, "%s\n", error.c_str());
        }
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }

    static inline TempDir* folder_ = nullptr;
    static inline brindle::test::TestCertificates certificates_;
    static inline bool made_ = false;
};

TEST_P(SlowHeaders, FromManyAddressesAreClosedAndOthersServed) {
    const bool https = GetParam();
    constexpr int kAddresses = 16;
    constexpr int kPerAddress = 8;
    auto options = ShortDeadlines();
    options.maxConnections = kAddresses * kPerAddress;
    options.maxConnectionsPerAddress = kPerAddress;
    if (https) {
        ASSERT_TRUE(made_);
        options.tlsCertificateFile = certificates_.server.certificate.string();
        options.tlsKeyFile = certificates_.server.key.string();
    }
    InProcessServer server(options);
    std::vector<Socket> connections;
    for (int a = 0; a < kAddresses; ++a) {
        for (int i = 0; i < kPerAddress; ++i) {
            connections.push_back(ConnectFrom("127.0.0." + std::to_string(a + 2), server.port()));
            ASSERT_TRUE(connections.back());
        }
    }
    // A TLS record header announcing 16 KiB of handshake, then its bytes.
    const std::string opening = https ? std::string("\x16\x03\x01\x40\x00", 5)
                                      : "POST / HTTP/1.1\r\nHost: h\r\nX-Padding: ";
    SlowClients slow(std::move(connections), opening, 200ms);
    ASSERT_TRUE(
        WaitFor([&] { return server.http().connectionCounts().awaitingHeaders == slow.size(); }));

    TlsClientOptions tls;
    tls.authority = certificates_.authority;
    tls.deadline = 5s;
    TlsTestClient client(tls);
    auto served = [&] {
        std::string reply =
            https ? client.Exchange(server.port(), ClientRequest(kLookup, server.port())).reply
                  : test::Exchange(server.port(), ClientRequest(kLookup, server.port()), 5000);
        return ParseReply(reply).body == "NOT-REGISTERED\n";
    };
    EXPECT_TRUE(WaitFor(served, 10s));
    EXPECT_TRUE(slow.WaitAllClosed(10s));
    EXPECT_TRUE(Logged(server, "no reply (header block not complete in time"));
}

INSTANTIATE_TEST_SUITE_P(HttpAndHttps, SlowHeaders, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Https" : "Http");
});

}  // namespace
}  // namespace brindle::server
