// The client's kept TLS sessions against the directory: resumed connections
// carry the same replies as full handshakes, and after a certificate reload
// the server refuses the old session, so the client checks the new
// certificate in a full handshake and refuses one that fails the check.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "net/http_client.h"
#include "server/server_test_support.h"
#include "support/directory_node.h"
#include "support/test_certificates.h"
#include "support/tls_scripted_server.h"

namespace brindle::server {
namespace {

namespace fs = std::filesystem;
using brindle::test::CertificatePair;
using brindle::test::DirectoryNode;
using brindle::test::ReadWholeFile;
using brindle::test::TempDir;
using brindle::test::TestCertificates;
using brindle::test::WaitFor;
using test::InProcessServer;
using test::RegistrationBody;

struct Answer {
    PostFailure failure = PostFailure::None;
    std::string reason;
    bool resumed = false;
    std::string body;  // every reply line
};

// One POST with the real client, its reply read to the end.
Answer Post(const std::string& url, const std::string& body) {
    FormReply reply = PostForm(url, RequestTimeouts{}, body);
    Answer answer{reply.failure, reply.failureReason, reply.tls && reply.tls->resumed(), ""};
    std::string line;
    while (reply && reply.ReadLine(line)) {
        answer.body += line;
    }
    return answer;
}

class TlsResumptionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        certificates_ = brindle::test::TrustedTestCertificates(error);
        ASSERT_NE(certificates_, nullptr) << error;
        Install(certificates_->server);
    }
    // Replaces the files the server reads, each whole.
    void Install(const CertificatePair& pair) {
        for (const auto& [from, to] :
             {std::pair{pair.certificate, live_.certificate}, std::pair{pair.key, live_.key}}) {
            fs::path next = to.string() + ".new";
            std::ofstream(next) << ReadWholeFile(from);
            fs::rename(next, to);
        }
    }
    static std::string UrlOf(int port) {
        return "https://localhost:" + std::to_string(port) + "/examples/servlet/brindlenet";
    }

    const TestCertificates* certificates_ = nullptr;
    TempDir dir_;
    CertificatePair live_{dir_.path() / "live.pem", dir_.path() / "live.key"};
};

// The first connection pays the full handshake; every later one resumes and
// reads the same many-line reply.
TEST_F(TlsResumptionTest, ResumedSessionsCarryTheSameReplies) {
    HttpServerOptions options = InProcessServer::LoopbackOptions();
    options.tlsCertificateFile = live_.certificate.string();
    options.tlsKeyFile = live_.key.string();
    InProcessServer server(options);
    const std::string url = UrlOf(server.port());
    std::vector<test::FileEntry> files;
    for (int i = 0; i < 300; ++i) {
        files.push_back({"resumed song " + std::to_string(i) + ".ogg", 1000 + i});
    }
    Answer registered = Post(url, RegistrationBody("ann", "Pw7Secret", "DSL", files));
    ASSERT_EQ(registered.body, "OK\n") << registered.reason;
    EXPECT_FALSE(registered.resumed);

    const std::string search = "event=onSearch&qs=resumed+song";
    Answer first = Post(url, search);
    ASSERT_GT(first.body.size(), 2000u) << first.reason;
    for (int i = 0; i < 3; ++i) {
        Answer again = Post(url, search);
        EXPECT_TRUE(again.resumed) << i;
        EXPECT_EQ(again.body, first.body) << i;
        Answer lookup = Post(url, "event=onLookupUserIP&userName=ann");
        EXPECT_TRUE(lookup.resumed) << i;
        EXPECT_EQ(lookup.body, "127.0.0.1\n") << i;
    }
}

// A changed trust file is read again, and a session checked against the old
// contents is not offered: the full handshake checks the certificate anew.
TEST_F(TlsResumptionTest, ASessionIsNotResumedPastAChangeOfTheTrustFile) {
    const fs::path trustFile = dir_.path() / "authority.pem";
    std::ofstream(trustFile) << ReadWholeFile(certificates_->authority);
    struct RestoreTrust {
        ~RestoreTrust() { ::setenv("SSL_CERT_FILE", authority.c_str(), 1); }
        std::string authority;
    } restore{certificates_->authority.string()};
    ::setenv("SSL_CERT_FILE", trustFile.c_str(), 1);

    HttpServerOptions options = InProcessServer::LoopbackOptions();
    options.tlsCertificateFile = live_.certificate.string();
    options.tlsKeyFile = live_.key.string();
    InProcessServer server(options);
    const std::string url = UrlOf(server.port());
    const std::string lookup = "event=onLookupUserIP&userName=ann";
    EXPECT_EQ(Post(url, lookup).body, "NOT-REGISTERED\n");
    ASSERT_TRUE(Post(url, lookup).resumed);

    std::ofstream(trustFile) << "no authority here any more\n";
    Answer after = Post(url, lookup);
    EXPECT_EQ(after.failure, PostFailure::Connect);
    EXPECT_EQ(after.reason, "certificate signed by an unknown authority (SSL_CERT_FILE " +
                                trustFile.string() + " holds no usable certificate)");
}

struct ReloadCase {
    const char* name;
    CertificatePair TestCertificates::*certificate;
    const char* refusal;  // "" when the new certificate passes the check
};

class ReloadedCertificateTest : public TlsResumptionTest,
                                public ::testing::WithParamInterface<ReloadCase> {};

// The real program reloads its certificate on SIGHUP: the client's kept
// session is refused and the full handshake checks the new certificate.
TEST_P(ReloadedCertificateTest, TheKeptSessionGivesWayToACheckedFullHandshake) {
    DirectoryNode node(BRINDLENET_DIRECTORY_BINARY,
                       {"--db", (dir_.path() / "directory.db").string(), "--tls-cert",
                        live_.certificate.string(), "--tls-key", live_.key.string()},
                       dir_.path() / "server.log");
    ASSERT_TRUE(node.started()) << node.logText();
    const std::string url = UrlOf(node.port());
    const std::string lookup = "event=onLookupUserIP&userName=ann";
    ASSERT_EQ(Post(url, RegistrationBody("ann", "Pw7Secret", "DSL", {})).body, "OK\n");
    ASSERT_TRUE(Post(url, lookup).resumed);

    Install(certificates_->*GetParam().certificate);
    ASSERT_EQ(::kill(node.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitFor([&] {
        return node.logText().find("reloaded certificate") != std::string::npos;
    })) << node.logText();

    const std::string refusal = GetParam().refusal;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Answer after = Post(url, lookup);
        if (refusal.empty()) {
            // The first resumes nothing; the second resumes the new session.
            EXPECT_EQ(after.resumed, attempt == 1) << attempt;
            EXPECT_EQ(after.body, "127.0.0.1\n") << after.reason;
        } else {
            EXPECT_EQ(after.failure, PostFailure::Connect) << attempt;
            EXPECT_EQ(after.reason, refusal) << attempt;
        }
    }
    EXPECT_EQ(node.process().Kill(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(Certificates, ReloadedCertificateTest,
                         ::testing::Values(ReloadCase{"Renewed", &TestCertificates::renewed, ""},
                                           ReloadCase{"UnknownAuthority",
                                                      &TestCertificates::unknownAuthority,
                                                      "certificate signed by an unknown authority"},
                                           ReloadCase{"WrongHost", &TestCertificates::wrongHost,
                                                      "certificate is for another host"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle::server
