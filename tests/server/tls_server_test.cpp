// HTTPS: the directory's events, admin pages and limits over TLS, clients the
// server turns away, unusable certificates, and certificate reloads through
// the API and by SIGHUP to the real program under load.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "server/server_test_support.h"
#include "support/directory_node.h"
#include "support/test_certificates.h"
#include "support/tls_test_client.h"

namespace brindle::server {
namespace {

namespace fs = std::filesystem;
using brindle::test::CertificatePair;
using brindle::test::CertificateSerial;
using brindle::test::DirectoryNode;
using brindle::test::ReadWholeFile;
using brindle::test::TempDir;
using brindle::test::TestCertificates;
using brindle::test::TlsClientOptions;
using brindle::test::TlsTestClient;
using brindle::test::WaitFor;
using test::ClientRequest;
using test::HttpReply;
using test::InProcessServer;
using test::ParseReply;
using test::RegistrationBody;

const std::string kLookupAnn = "event=onLookupUserIP&userName=ann";

HttpReply HttpsPost(TlsTestClient& client, int port, const std::string& body,
                    const std::string& extraHeader = "") {
    std::string request = ClientRequest(body, port);
    request.insert(request.find("\r\n\r\n") + 2, extraHeader);
    auto result = client.Exchange(port, request);
    EXPECT_EQ(result.error, "");
    return ParseReply(result.reply);
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// The certificates are made once for every test here: certtool takes a while.
class TlsServerTest : public ::testing::Test {
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
    void SetUp() override { ASSERT_TRUE(made_); }

    static const TestCertificates& certificates() { return certificates_; }
    static std::string SerialOf(const CertificatePair& pair) {
        return CertificateSerial(pair.certificate);
    }

    // Writes the files the server reads, each replaced whole; "" removes one.
    void Install(const std::string& certificate, const std::string& key) {
        Replace(live_.certificate, certificate);
        Replace(live_.key, key);
    }
    void Install(const CertificatePair& pair) {
        Install(ReadWholeFile(pair.certificate), ReadWholeFile(pair.key));
    }

    HttpServerOptions TlsOptions() const {
        auto options = InProcessServer::LoopbackOptions();
        options.tlsCertificateFile = live_.certificate.string();
        options.tlsKeyFile = live_.key.string();
        return options;
    }
    std::vector<std::string> ProgramTlsOptions() const {
        return {"--db",       (dir_.path() / "directory.db").string(),
                "--tls-cert", live_.certificate.string(),
                "--tls-key",  live_.key.string()};
    }
    // Runs the program to its end; its exit code. Its output is in output().
    int RunProgram(std::vector<std::string> options) {
        options.insert(options.begin(),
                       {BRINDLENET_DIRECTORY_BINARY, "--bind", "127.0.0.1", "--port", "0"});
        brindle::test::ChildProcess::Options output;
        output.output = dir_.path() / "program.out";
        return brindle::test::RunToEnd(options, output, std::chrono::seconds(20));
    }
    std::string output() const { return ReadWholeFile(dir_.path() / "program.out"); }

    static TlsClientOptions Verifying() {
        TlsClientOptions options;
        options.authority = certificates_.authority;
        return options;
    }

    TempDir dir_;
    CertificatePair live_{dir_.path() / "live.pem", dir_.path() / "live.key"};

  private:
    static void Replace(const fs::path& path, const std::string& text) {
        std::error_code ignored;
        if (text.empty()) {
            fs::remove(path, ignored);
            return;
        }
        fs::path next = path.string() + ".new";
        std::ofstream(next) << text;
        fs::rename(next, path);
    }

    static inline TempDir* folder_ = nullptr;
    static inline TestCertificates certificates_;
    static inline bool made_ = false;
};

TEST_F(TlsServerTest, EventsAdminPagesAndLimitsBehaveAsOverPlainHttp) {
    Install(certificates().server);
    auto options = TlsOptions();
    options.trustedProxies = {*AddressRange::Parse("127.0.0.2/32")};
    options.maxBodyBytes = 4096;
    InProcessServer server(options);
    int port = server.port();
    TlsTestClient client(Verifying());

    EXPECT_EQ(
        HttpsPost(client, port, RegistrationBody("ann", "pw", "DSL,Cable", {{"a b.mp3", 7}})).body,
        "OK\n");
    EXPECT_EQ(HttpsPost(client, port, "event=onSearch&qs=a+b&max=100&ext=*.mp3&userName=bob").body,
              "1\na b.mp3\nann\nDSL,Cable\n7\n127.0.0.1\n");
    EXPECT_EQ(HttpsPost(client, port, kLookupAnn).body, "127.0.0.1\n");
    EXPECT_EQ(HttpsPost(client, port, "event=onUnregisterUser&userName=ann&password=pw").body,
              "OK\n");
    EXPECT_EQ(HttpsPost(client, port, kLookupAnn).body, "NOT-LOGGED-IN\n");

    // A trusted proxy names the user it relays for.
    TlsClientOptions proxied = Verifying();
    proxied.source = "127.0.0.2";
    TlsTestClient proxy(proxied);
    EXPECT_EQ(HttpsPost(proxy, port, RegistrationBody("bob", "pw", "", {}),
                        "X-Forwarded-For: 10.1.2.3\r\n")
                  .body,
              "OK\n");
    EXPECT_EQ(HttpsPost(client, port, "event=onLookupUserIP&userName=bob").body, "10.1.2.3\n");

    auto get = [&](const std::string& path) {
        auto result = client.Exchange(
            port, "GET " + path + " HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(result.serial, SerialOf(certificates().server));
        return ParseReply(result.reply);
    };
    EXPECT_EQ(get("/healthz").body, "ok\n");
    EXPECT_NE(get("/metrics").body.find("brindlenet_requests_total"), std::string::npos);
    auto tooLarge = ParseReply(
        client
            .Exchange(port, "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 104857600\r\n\r\nevent=")
            .reply);
    EXPECT_EQ(tooLarge.status, 413);
    EXPECT_EQ(tooLarge.body, "TOO-LARGE\n");

    // A returning client resumes its session with a ticket.
    TlsClientOptions resuming = Verifying();
    resuming.resume = true;
    TlsTestClient returning(resuming);
    auto first = returning.Exchange(port, ClientRequest(kLookupAnn, port));
    auto second = returning.Exchange(port, ClientRequest(kLookupAnn, port));
    EXPECT_FALSE(first.resumed);
    EXPECT_TRUE(second.resumed) << second.error;
    EXPECT_EQ(ParseReply(second.reply).body, "NOT-LOGGED-IN\n");

    auto log = server.logLines();
    EXPECT_TRUE(Contains(log, " 127.0.0.1 onRegisterUser 200 OK ")) << log.size();
    EXPECT_TRUE(Contains(log, " 10.1.2.3 via 127.0.0.2 onRegisterUser 200 OK "));
}

struct ClientCase {
    const char* name;
    const char* priorities;  // what the client offers
    bool served;
};

class TlsClientVersionTest : public TlsServerTest,
                             public ::testing::WithParamInterface<ClientCase> {};

TEST_P(TlsClientVersionTest, OnlyTls12AndLaterAreServed) {
    Install(certificates().server);
    InProcessServer server(TlsOptions());
    TlsClientOptions options = Verifying();
    options.priorities = GetParam().priorities;
    TlsTestClient client(options);
    auto result = client.Exchange(server.port(), ClientRequest(kLookupAnn, server.port()));
    EXPECT_EQ(result.handshake, GetParam().served) << result.error;
    EXPECT_EQ(ParseReply(result.reply).body, GetParam().served ? "NOT-REGISTERED\n" : "");
    if (!GetParam().served) {
        // Refused by the server, not given up by the client before asking.
        EXPECT_TRUE(WaitFor([&] { return Contains(server.logLines(), "libmicrohttpd: "); }));
    }
    TlsTestClient modern(Verifying());
    EXPECT_EQ(HttpsPost(modern, server.port(), kLookupAnn).body, "NOT-REGISTERED\n");
}

INSTANTIATE_TEST_SUITE_P(
    Versions, TlsClientVersionTest,
    ::testing::Values(ClientCase{"Tls10", "NORMAL:-VERS-ALL:+VERS-TLS1.0", false},
                      ClientCase{"Tls11", "NORMAL:-VERS-ALL:+VERS-TLS1.1", false},
                      ClientCase{"Tls12", "NORMAL:-VERS-ALL:+VERS-TLS1.2", true},
                      ClientCase{"Tls13", "NORMAL:-VERS-ALL:+VERS-TLS1.3", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TlsServerTest, PlainHttpToTheHttpsPortIsClosedAtOnce) {
    Install(certificates().server);
    InProcessServer server(TlsOptions());
    auto start = std::chrono::steady_clock::now();
    std::string reply =
        test::Exchange(server.port(), ClientRequest(kLookupAnn, server.port()), 5000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_FALSE(ParseReply(reply).complete) << reply;
    TlsTestClient client(Verifying());
    EXPECT_EQ(HttpsPost(client, server.port(), kLookupAnn).body, "NOT-REGISTERED\n");
}

// A connection that has done its handshake keeps its certificate through a
// reload; handshakes after it get the new one.
TEST_F(TlsServerTest, ReloadGivesNewHandshakesTheNewCertificate) {
    Install(certificates().server);
    InProcessServer server(TlsOptions());
    TlsClientOptions options = Verifying();
    bool reloaded = false;
    std::string error;
    options.afterHandshake = [&] {
        Install(certificates().renewed);
        reloaded = server.http().ReloadCertificate(error);
    };
    TlsTestClient held(options);
    auto during = held.Exchange(server.port(), ClientRequest(kLookupAnn, server.port()));
    EXPECT_TRUE(reloaded) << error;
    EXPECT_EQ(during.serial, SerialOf(certificates().server));
    EXPECT_EQ(ParseReply(during.reply).body, "NOT-REGISTERED\n");
    TlsTestClient fresh(Verifying());
    auto after = fresh.Exchange(server.port(), ClientRequest(kLookupAnn, server.port()));
    EXPECT_EQ(after.serial, SerialOf(certificates().renewed));
    EXPECT_TRUE(Contains(server.logLines(), "reloaded certificate " + live_.certificate.string()));
}

struct BadFilesCase {
    const char* name;
    // The contents of the certificate and key files; "" leaves a file out.
    std::function<std::pair<std::string, std::string>(const TestCertificates&)> files;
    const char* message;
};

class BadFilesTest : public TlsServerTest, public ::testing::WithParamInterface<BadFilesCase> {
  protected:
    void InstallBadFiles() {
        auto [certificate, key] = GetParam().files(certificates());
        Install(certificate, key);
    }
};

TEST_P(BadFilesTest, RefusedAtStart) {
    InstallBadFiles();
    EXPECT_EQ(RunProgram(ProgramTlsOptions()), 1);
    EXPECT_NE(output().find(GetParam().message), std::string::npos) << output();
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "directory.db"));  // refused before it
}

TEST_P(BadFilesTest, OnReloadTheCertificateInUseStays) {
    Install(certificates().server);
    InProcessServer server(TlsOptions());
    InstallBadFiles();
    std::string error;
    EXPECT_FALSE(server.http().ReloadCertificate(error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
    EXPECT_TRUE(Contains(server.logLines(), "certificate not reloaded"));
    TlsTestClient client(Verifying());
    auto result = client.Exchange(server.port(), ClientRequest(kLookupAnn, server.port()));
    EXPECT_EQ(result.serial, SerialOf(certificates().server));
    EXPECT_EQ(ParseReply(result.reply).body, "NOT-REGISTERED\n");
}

std::string Text(const fs::path& path) {
    return ReadWholeFile(path);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFilesTest,
    ::testing::Values(
        BadFilesCase{"MissingCertificate",
                     [](const TestCertificates& c) {
                         return std::pair{std::string(), Text(c.server.key)};
                     },
                     "cannot read certificate file"},
        BadFilesCase{"NotPem",
                     [](const TestCertificates& c) {
                         return std::pair{std::string("not a certificate\n"), Text(c.server.key)};
                     },
                     "no usable certificate"},
        BadFilesCase{"KeyFileHoldsACertificate",
                     [](const TestCertificates& c) {
                         return std::pair{Text(c.server.certificate), Text(c.server.certificate)};
                     },
                     "no usable private key"},
        BadFilesCase{"KeyOfAnotherCertificate",
                     [](const TestCertificates& c) {
                         return std::pair{Text(c.server.certificate), Text(c.renewed.key)};
                     },
                     "does not belong to the certificate"},
        BadFilesCase{"Expired",
                     [](const TestCertificates& c) {
                         return std::pair{Text(c.expired.certificate), Text(c.expired.key)};
                     },
                     "expired on 2021-01-01"}),
    [](const auto& info) { return std::string(info.param.name); });

// Certificate paths no file can safely be read from whole: an endless device,
// a FIFO nobody writes to, a file far larger than any certificate.
enum class Unreadable { DevZero, Fifo, Huge };

class UnreadableFileTest : public TlsServerTest, public ::testing::WithParamInterface<Unreadable> {
  protected:
    void InstallUnreadable() {
        std::error_code ignored;
        fs::remove(live_.certificate, ignored);
        switch (GetParam()) {
            case Unreadable::DevZero:
                fs::create_symlink("/dev/zero", live_.certificate);
                break;
            case Unreadable::Fifo:
                ASSERT_EQ(::mkfifo(live_.certificate.c_str(), 0600), 0);
                break;
            case Unreadable::Huge:
                std::ofstream(live_.certificate) << std::string(2 << 20, 'A');
                break;
        }
    }
    const char* Reason() const {
        return GetParam() == Unreadable::Huge ? "larger than 1 MiB" : "not a regular file";
    }
};

TEST_P(UnreadableFileTest, RefusedAtStart) {
    Install(certificates().server);
    InstallUnreadable();
    EXPECT_EQ(RunProgram(ProgramTlsOptions()), 1);
    EXPECT_NE(output().find("cannot read certificate file"), std::string::npos) << output();
    EXPECT_NE(output().find(Reason()), std::string::npos) << output();
}

// The signal loop neither dies nor blocks on the file: the old certificate is
// served, and a good file on the next SIGHUP is taken up.
TEST_P(UnreadableFileTest, SighupKeepsTheCertificateInUse) {
    Install(certificates().server);
    DirectoryNode node(BRINDLENET_DIRECTORY_BINARY, ProgramTlsOptions(),
                       dir_.path() / "server.log");
    ASSERT_TRUE(node.started()) << node.logText();
    InstallUnreadable();
    ASSERT_EQ(::kill(node.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitFor([&] {
        return node.logText().find("certificate not reloaded") != std::string::npos;
    })) << node.logText();
    EXPECT_NE(node.logText().find(Reason()), std::string::npos) << node.logText();
    TlsTestClient client(Verifying());
    auto result = client.Exchange(node.port(), ClientRequest(kLookupAnn, node.port()));
    EXPECT_EQ(result.serial, SerialOf(certificates().server)) << result.error;

    Install(certificates().renewed);
    ASSERT_EQ(::kill(node.process().pid(), SIGHUP), 0);
    ASSERT_TRUE(WaitFor([&] {
        return node.logText().find("reloaded certificate") != std::string::npos;
    })) << node.logText();
    result = client.Exchange(node.port(), ClientRequest(kLookupAnn, node.port()));
    EXPECT_EQ(result.serial, SerialOf(certificates().renewed)) << result.error;
    EXPECT_EQ(node.process().Kill(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, UnreadableFileTest,
                         ::testing::Values(Unreadable::DevZero, Unreadable::Fifo, Unreadable::Huge),
                         [](const auto& info) {
                             return std::string(info.param == Unreadable::DevZero ? "DevZero"
                                                : info.param == Unreadable::Fifo  ? "Fifo"
                                                                                  : "Huge");
                         });

TEST_F(TlsServerTest, CertificateAndKeyComeTogether) {
    Install(certificates().server);
    EXPECT_EQ(RunProgram({"--tls-cert", live_.certificate.string()}), 2);
    EXPECT_NE(output().find("--tls-cert needs --tls-key"), std::string::npos) << output();
    EXPECT_EQ(RunProgram({"--tls-key", live_.key.string()}), 2);
    EXPECT_NE(output().find("--tls-key needs --tls-cert"), std::string::npos) << output();
}

// Clients keep making requests over new connections while the certificate
// files are replaced and SIGHUP sent, several times, then once with a bad file.
TEST_F(TlsServerTest, SighupReloadsUnderLoadWithoutFailingARequest) {
    Install(certificates().server);
    DirectoryNode node(BRINDLENET_DIRECTORY_BINARY, ProgramTlsOptions(),
                       dir_.path() / "server.log");
    ASSERT_TRUE(node.started()) << node.logText();
    int port = node.port();
    TlsTestClient fresh(Verifying());
    ASSERT_EQ(HttpsPost(fresh, port, RegistrationBody("ann", "pw", "", {})).body, "OK\n");

    std::atomic<bool> stop{false};
    std::atomic<long> done{0};
    std::mutex lock;
    std::vector<std::string> failures;
    std::vector<std::thread> clients;
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back([&] {
            TlsTestClient client(Verifying());
            while (!stop) {
                auto result = client.Exchange(port, ClientRequest(kLookupAnn, port));
                std::string body = ParseReply(result.reply).body;
                if (!result.error.empty() || body != "127.0.0.1\n") {
                    std::lock_guard<std::mutex> hold(lock);
                    failures.push_back(result.error + " / " + body);
                }
                ++done;
            }
        });
    }
    auto reloads = [&] { return Occurrences(node.logText(), "reloaded certificate"); };
    auto servedSerial = [&] {
        return fresh.Exchange(port, ClientRequest(kLookupAnn, port)).serial;
    };
    const CertificatePair* sequence[] = {&certificates().renewed, &certificates().server,
                                         &certificates().renewed, &certificates().server,
                                         &certificates().renewed};
    for (std::size_t i = 0; i < std::size(sequence); ++i) {
        long before = done;
        Install(*sequence[i]);
        ASSERT_EQ(::kill(node.process().pid(), SIGHUP), 0);
        ASSERT_TRUE(WaitFor([&] { return reloads() == i + 1; })) << node.logText();
        EXPECT_EQ(servedSerial(), SerialOf(*sequence[i])) << i;
        EXPECT_TRUE(WaitFor([&] { return done > before + 10; }));
    }
    Install("not a certificate\n", ReadWholeFile(certificates().server.key));
    ASSERT_EQ(::kill(node.process().pid(), SIGHUP), 0);
    EXPECT_TRUE(WaitFor(
        [&] { return node.logText().find("certificate not reloaded") != std::string::npos; }));
    EXPECT_EQ(servedSerial(), SerialOf(certificates().renewed));

    stop = true;
    for (auto& thread : clients) {
        thread.join();
    }
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures[0];
    EXPECT_EQ(node.process().Kill(SIGTERM), 0);
}

}  // namespace
}  // namespace brindle::server
