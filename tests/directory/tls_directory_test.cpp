// The directory events over "https://": the same bytes inside TLS as over
// "http://", the same results, and refused certificates as failed connects.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "directory/search.h"
#include "directory_fixture.h"
#include "support/tls_scripted_server.h"

namespace brindle {
namespace {

using test::DirectoryFixture;
using test::ExpectedHeaders;
using test::HttpReply;
using test::HttpScriptedServer;
using test::TlsScriptedServer;

// One event run through the real client code; `run` gives a text of what it returned.
struct Event {
    const char* name;
    std::string replyBody;
    std::string requestBody;
    std::function<std::string(const DirectoryContext&)> run;
};

std::vector<Event> Events() {
    return {
        {"registration", "OK\n",
         "event=onRegisterUser&userName=john+doe&connection=DSL%2CCable&password=p%26w&count=1"
         "&file0=a+b.mp3&size0=12",
         [](const DirectoryContext& c) {
             RegistrationState state;
             return std::string(RegisterWithServer(c, {{"a b.mp3", 12}}, state) ? "true" : "false");
         }},
        {"unregistration", "OK\n", "event=onUnregisterUser&userName=john+doe&password=p%26w",
         [](const DirectoryContext& c) {
             return std::string(UnregisterFromServer(c) ? "true" : "false");
         }},
        {"lookup", "10.0.0.7\n", "event=onLookupUserIP&userName=ann+lee",
         [](const DirectoryContext& c) {
             const LookupResult found = LookupUserIp(c, "ann lee");
             return found.kind == LookupResult::Kind::Address ? found.address : std::string();
         }},
        {"search", "2\nsong.mp3\nann\nT1\n3000\n10.0.0.7\nintro.mp3\nbob\nDSL\n12\n10.0.0.8\n",
         "event=onSearch&qs=song&max=5&ext=*.mp3&userName=john+doe",
         [](const DirectoryContext& c) {
             SearchResultsTable table;
             RunSearch(c, SearchQuery{"song", "*.mp3", "5"}, table);
             std::string rows;
             for (const SearchResult& r : table.rows()) {
                 rows += r.fileName + "," + r.userName + "," + r.connection + "," + r.length + "," +
                         r.ip + ";";
             }
             return rows;
         }},
    };
}

// Runs the event with `settings` on fresh fakes: its result, then each message
// shown. Connect failures with a reason go to `reasons` as "host: reason".
std::string Outcome(const Event& event, const AppSettings& settings,
                    std::vector<std::string>& reasons) {
    DirectoryFixture f;
    f.settings = settings;
    DirectoryContext context = f.Context();
    context.connectFailed = [&reasons](const ServerAddress& server, const std::string& reason) {
        reasons.push_back(server.host + ": " + reason);
    };
    std::string text = event.run(context);
    for (const auto& shown : f.messages.shown()) {
        text += "|" + shown.text;
    }
    return text;
}

class TlsDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        certificates = test::TrustedTestCertificates(error);
        ASSERT_NE(certificates, nullptr) << error;
        settings.userName = "john doe";
        settings.connection = "DSL,Cable";
        settings.password = "p&w";
    }
    AppSettings settings;
    const test::TestCertificates* certificates = nullptr;
    std::vector<std::string> reasons;
};

struct Transport {
    const char* name;
    std::string host;
    TlsScriptedServer::Mode mode;
};

// Test names carry the case name; the value itself is not printed.
void PrintTo(const Transport& value, std::ostream* out) {
    *out << value.name;
}

class EventTransportTest : public TlsDirectoryTest,
                           public ::testing::WithParamInterface<Transport> {};

TEST_P(EventTransportTest, SendsTheSameBytesAndReadsTheSameResultsAsPlainHttp) {
    const Transport& transport = GetParam();
    for (const Event& event : Events()) {
        SCOPED_TRACE(event.name);
        // The reference: the event over plain HTTP, as it always went.
        HttpScriptedServer plain(HttpReply(event.replyBody));
        settings.serverUrl = plain.url();
        const std::string expected = Outcome(event, settings, reasons);
        EXPECT_EQ(plain.requests(),
                  std::vector<std::string>{ExpectedHeaders(plain.port(), event.requestBody.size()) +
                                           event.requestBody});

        TlsScriptedServer server(certificates->server, HttpReply(event.replyBody), transport.mode);
        settings.serverUrl = server.url(transport.host);
        EXPECT_EQ(Outcome(event, settings, reasons), expected);
        EXPECT_EQ(server.requests(),
                  std::vector<std::string>{
                      ExpectedHeaders(server.port(), event.requestBody.size(), transport.host) +
                      event.requestBody});
        EXPECT_TRUE(reasons.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transports, EventTransportTest,
    ::testing::Values(Transport{"https_by_name", "localhost", TlsScriptedServer::Mode::Answer},
                      Transport{"https_by_address", "127.0.0.1", TlsScriptedServer::Mode::Answer},
                      Transport{"https_one_byte_records", "localhost",
                                TlsScriptedServer::Mode::OneByteRecords}),
    [](const auto& info) { return std::string(info.param.name); });

struct Refusal {
    const char* name;
    test::CertificatePair test::TestCertificates::*certificate;
    std::string host;
    std::string reason;
};

// Test names carry the case name; the value itself is not printed.
void PrintTo(const Refusal& value, std::ostream* out) {
    *out << value.name;
}

class RefusedCertificateTest : public TlsDirectoryTest,
                               public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedCertificateTest, IsAFailedConnectWithItsReasonAndNothingSent) {
    const Refusal& refusal = GetParam();
    TlsScriptedServer server(certificates->*refusal.certificate, HttpReply("OK\n"));
    settings.serverUrl = server.url(refusal.host);
    // Each event shows what it shows for a server it cannot reach.
    const std::vector<std::string> expected = {"false", "false", "",
                                               "|Unabel to connect to " + refusal.host};
    const std::vector<Event> events = Events();
    for (std::size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(events[i].name);
        reasons.clear();
        EXPECT_EQ(Outcome(events[i], settings, reasons), expected[i]);
        EXPECT_EQ(reasons, std::vector<std::string>{refusal.host + ": " + refusal.reason});
    }
    EXPECT_TRUE(test::WaitFor([&] { return server.failedHandshakes() == 4; }));
    EXPECT_TRUE(server.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, RefusedCertificateTest,
    ::testing::Values(Refusal{"wrong_host_by_name", &test::TestCertificates::wrongHost, "localhost",
                              "certificate is for another host"},
                      Refusal{"wrong_host_by_address", &test::TestCertificates::wrongHost,
                              "127.0.0.1", "certificate is for another host"},
                      Refusal{"unknown_authority", &test::TestCertificates::unknownAuthority,
                              "localhost", "certificate signed by an unknown authority"},
                      Refusal{"expired", &test::TestCertificates::expired, "127.0.0.1",
                              "certificate has expired"}),
    [](const auto& info) { return std::string(info.param.name); });

// An SSL_CERT_FILE that cannot be read is named in the reason, since the
// refusal would otherwise point only at the server.
TEST_F(TlsDirectoryTest, AnUnreadableTrustFileIsNamedInTheRefusal) {
    const std::string trusted = std::getenv("SSL_CERT_FILE");
    const std::string missing = trusted + ".missing";
    ::setenv("SSL_CERT_FILE", missing.c_str(), 1);
    TlsScriptedServer server(certificates->server, HttpReply("OK\n"));
    settings.serverUrl = server.url("localhost");
    EXPECT_EQ(Outcome(Events()[0], settings, reasons), "false");
    ::setenv("SSL_CERT_FILE", trusted.c_str(), 1);
    EXPECT_EQ(reasons, std::vector<std::string>{"localhost: certificate signed by an unknown "
                                                "authority (SSL_CERT_FILE " +
                                                missing + " holds no usable certificate)"});
}

}  // namespace
}  // namespace brindle
