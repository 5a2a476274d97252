#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>

#include "headless/headless_cli.h"
#include "headless/web_server.h"
#include "support/test_certificates.h"
#include "support/test_support.h"
#include "support/tls_test_client.h"

namespace brindle {
namespace {

WebHandler Hello() {
    return [](const WebRequest& request) {
        WebResponse response;
        response.contentType = "text/plain";
        response.body = "hello " + request.path;
        return response;
    };
}

TEST(WebServerTlsTest, ServesHttpsAndTakesARenewedCertificateOnReload) {
    test::TempDir folder;
    test::TestCertificates certificates;
    std::string error;
    if (!test::MakeTestCertificates(folder.path() / "certs", certificates, error)) {
        GTEST_SKIP() << "no test certificates: " << error;
    }
    const auto certificate = folder.path() / "web.pem";
    const auto key = folder.path() / "web.key";
    namespace fs = std::filesystem;
    fs::copy_file(certificates.server.certificate, certificate);
    fs::copy_file(certificates.server.key, key);
    WebServer server(WebServerOptions{"127.0.0.1", 0, certificate.string(), key.string(), 8, 1024},
                     Hello());
    ASSERT_TRUE(server.Start(error)) << error;
    test::TlsClientOptions options;
    options.authority = certificates.authority;
    options.hostName = "127.0.0.1";
    test::TlsTestClient client(options);
    const std::string request = "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

    test::TlsExchangeResult first = client.Exchange(server.port(), request);
    ASSERT_TRUE(first.handshake) << first.error;
    EXPECT_EQ(first.serial, test::CertificateSerial(certificates.server.certificate));
    EXPECT_NE(first.reply.find("hello /x"), std::string::npos);

    fs::copy_file(certificates.renewed.certificate, certificate,
                  fs::copy_options::overwrite_existing);
    fs::copy_file(certificates.renewed.key, key, fs::copy_options::overwrite_existing);
    ASSERT_TRUE(server.ReloadCertificate(error)) << error;
    test::TlsExchangeResult renewed = client.Exchange(server.port(), request);
    ASSERT_TRUE(renewed.handshake) << renewed.error;
    EXPECT_EQ(renewed.serial, test::CertificateSerial(certificates.renewed.certificate));

    // Unusable files leave the certificate in use.
    folder.WriteFile("web.pem", "not a certificate\n");
    EXPECT_FALSE(server.ReloadCertificate(error));
    EXPECT_FALSE(error.empty());
    test::TlsExchangeResult kept = client.Exchange(server.port(), request);
    ASSERT_TRUE(kept.handshake) << kept.error;
    EXPECT_EQ(kept.serial, renewed.serial);
}

TEST(WebServerTest, ARequestBodyOverTheLimitIsRefused) {
    WebServer server(WebServerOptions{"127.0.0.1", 0, "", "", 8, 16}, Hello());
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    Socket socket = ConnectToAddress("127.0.0.1", server.port(), std::chrono::seconds(5));
    ASSERT_TRUE(socket.valid());
    const std::string request =
        "POST / HTTP/1.1\r\nHost: a\r\nConnection: close\r\nContent-Length: 40\r\n\r\n" +
        std::string(40, 'x');
    ASSERT_EQ(::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    char reply[64] = {};
    ASSERT_GT(::recv(socket.fd(), reply, sizeof reply - 1, 0), 12);
    EXPECT_EQ(std::string(reply).substr(0, 12), "HTTP/1.1 413");
}

struct WebOptionCase {
    std::vector<std::string> arguments;
    const char* error;  // "" when the line is sound
};

class ServeWebOptionsTest : public ::testing::TestWithParam<WebOptionCase> {};

TEST_P(ServeWebOptionsTest, AreCheckedAtParse) {
    HeadlessCommand command;
    std::string error;
    const bool parsed = ParseHeadlessArguments(GetParam().arguments, command, error);
    EXPECT_EQ(parsed, std::string(GetParam().error).empty()) << error;
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ServeWebOptionsTest,
    ::testing::Values(
        WebOptionCase{{"serve", "--web", "127.0.0.1:8081"}, ""},
        WebOptionCase{{"serve", "--web", "[::1]:8081", "--web-host", "a", "--web-host", "b"}, ""},
        WebOptionCase{{"serve", "--web", "localhost:8081"}, "--web needs ADDR:PORT"},
        WebOptionCase{{"serve", "--web", "127.0.0.1"}, "--web needs ADDR:PORT"},
        WebOptionCase{{"serve", "--web", "127.0.0.1:70000"}, "--web needs ADDR:PORT"},
        WebOptionCase{{"serve", "--web", "::1:8081"}, "--web needs ADDR:PORT"},
        WebOptionCase{{"serve", "--web-host", "a"}, "need --web"},
        WebOptionCase{{"serve", "--web", "127.0.0.1:1", "--web-tls-cert", "c"}, "go together"},
        WebOptionCase{{"web-password", "extra"}, "takes no arguments"}));

TEST(ServeWebOptionsTest, HostsAreKeptInOrder) {
    HeadlessCommand command;
    std::string error;
    ASSERT_TRUE(ParseHeadlessArguments({"serve", "--web", "127.0.0.1:8081", "--web-host",
                                        "nas.home", "--web-host", "peer.example"},
                                       command, error));
    EXPECT_EQ(command.webAddress, "127.0.0.1:8081");
    EXPECT_EQ(command.webHosts, (std::vector<std::string>{"nas.home", "peer.example"}));
}

}  // namespace
}  // namespace brindle
