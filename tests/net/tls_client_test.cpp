// Form POSTs over TLS: reply lines read across record boundaries the way they
// are read from a plain socket, and a stalled or trickling server held to the
// request's time limits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ostream>

#include "net/http_client.h"
#include "support/scripted_server.h"
#include "support/test_support.h"
#include "support/tls_scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::TlsScriptedServer;
using Mode = TlsScriptedServer::Mode;

class TlsClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        certificates = test::TrustedTestCertificates(error);
        ASSERT_NE(certificates, nullptr) << error;
    }
    const test::TestCertificates* certificates = nullptr;
};

// Every line ReadLine gives until it fails, then "<false>" and the bytes of the failed read.
std::string ReadAllLines(const FormReply& reply) {
    std::string text;
    std::string line;
    for (int i = 0; i < 10 && reply.ReadLine(line); ++i) {
        text += "[" + line + "]";
    }
    return text + "<false>" + line;
}

TEST_F(TlsClientTest, ReplyLinesReadTheSameOverPlainHttpAndInAnyRecords) {
    const std::string longLine(1500, 'x');
    const std::vector<std::string> replies = {
        test::HttpReply("OK\n" + longLine + "\nlast"),
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nServer: x\r\n\r\n10.0.0.9\n",
        "HTTP/1.1 404 Not Found\r\n\r\nOK\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nOK\n\r\n0\r\n\r\n",
    };
    for (const std::string& reply : replies) {
        SCOPED_TRACE(reply);
        test::HttpScriptedServer plain(reply);
        FormReply reference = PostForm(plain.url(), RequestTimeouts{}, "event=onSearch");
        const std::string expected = ReadAllLines(reference);
        for (Mode mode : {Mode::Answer, Mode::OneByteRecords}) {
            TlsScriptedServer server(certificates->server, reply, mode);
            FormReply got = PostForm(server.url("localhost"), RequestTimeouts{}, "event=onSearch");
            EXPECT_EQ(got.failure, reference.failure);
            if (got) {
                EXPECT_EQ(ReadAllLines(got), expected);
            }
        }
    }
}

TEST_F(TlsClientTest, AReplyCutOffWithoutTheClosingAlertEndsInAFailedRead) {
    // Complete lines still arrive; a last line without its line feed cannot be
    // told from a cut-off one, so it is no line.
    TlsScriptedServer server(certificates->server, test::HttpReply("OK\npartial"),
                             Mode::NoCloseNotify);
    FormReply reply = PostForm(server.url(), RequestTimeouts{}, "event=onSearch");
    ASSERT_TRUE(reply);
    EXPECT_EQ(ReadAllLines(reply), "[OK\n]<false>partial");
}

struct Stall {
    const char* name;
    Mode mode;
    RequestTimeouts timeouts;
    PostFailure failure;
    std::chrono::milliseconds limit;  // the time limit that must end the request
    std::string reason;
};

// Test names carry the case name; the value itself is not printed.
void PrintTo(const Stall& value, std::ostream* out) {
    *out << value.name;
}

class TlsStallTest : public TlsClientTest, public ::testing::WithParamInterface<Stall> {};

TEST_P(TlsStallTest, TheRequestEndsAtItsTimeLimit) {
    const Stall& stall = GetParam();
    TlsScriptedServer server(certificates->server, test::HttpReply("OK\n"), stall.mode);
    const auto start = std::chrono::steady_clock::now();
    FormReply reply = PostForm(server.url("localhost"), stall.timeouts, "event=onSearch");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply.failure, stall.failure);
    EXPECT_EQ(reply.failureReason, stall.reason);
    EXPECT_GE(took, stall.limit - 50ms);
    EXPECT_LT(took, stall.limit + 1500ms);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, TlsStallTest,
    ::testing::Values(
        // The handshake belongs to the connect and its limit.
        Stall{"handshake_within_connect_limit", Mode::StallHandshake,
              RequestTimeouts{400ms, 5000ms, 10000ms}, PostFailure::Connect, 400ms,
              "the TLS handshake timed out"},
        Stall{"handshake_within_total_limit", Mode::StallHandshake,
              RequestTimeouts{0ms, 0ms, 500ms}, PostFailure::Connect, 500ms,
              "the TLS handshake timed out"},
        Stall{"silent_reply_within_idle_limit", Mode::StallReply,
              RequestTimeouts{5000ms, 400ms, 10000ms}, PostFailure::ReadHeaders, 400ms, ""},
        // Bytes keep coming, so only the whole-request limit can end it.
        Stall{"trickle_within_total_limit", Mode::Trickle, RequestTimeouts{5000ms, 400ms, 900ms},
              PostFailure::ReadHeaders, 900ms, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A readable SSL_CERT_FILE that holds no certificate (an empty file, or some
// other text) is named in the refusal, as an unreadable one is.
TEST_F(TlsClientTest, ATrustFileWithoutACertificateIsNamedInTheRefusal) {
    const std::string trusted = std::getenv("SSL_CERT_FILE");
    test::TempDir dir;
    TlsScriptedServer server(certificates->server, test::HttpReply("OK\n"));
    for (const char* text : {"", "no certificate here\n"}) {
        const std::string file = dir.WriteFile("trust.pem", text).string();
        ::setenv("SSL_CERT_FILE", file.c_str(), 1);
        FormReply reply = PostForm(server.url("localhost"), RequestTimeouts{}, "event=onSearch");
        ::setenv("SSL_CERT_FILE", trusted.c_str(), 1);
        EXPECT_EQ(reply.failure, PostFailure::Connect);
        EXPECT_EQ(reply.failureReason,
                  "certificate signed by an unknown authority (SSL_CERT_FILE " + file +
                      " holds no usable certificate)");
    }
}

}  // namespace
}  // namespace brindle
