// A directory listening on "::" and two peers that reach it and each other
// over the IPv6 loopback ::1, through the client's own code: registration,
// lookup, search, a download and a message.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "directory/directory_client.h"
#include "directory/search.h"
#include "peer/download.h"
#include "peer/instant_message.h"
#include "peer/peer_listener.h"
#include "peer/thread_group.h"
#include "server/server_test_support.h"
#include "support/net_helpers.h"
#include "support/tls_scripted_server.h"

namespace brindle::server {
namespace {

using namespace std::chrono_literals;
using brindle::test::FakeMessageBox;
using brindle::test::FakeProgressFactory;
using brindle::test::RecordingDisplay;
using brindle::test::TempDir;
using brindle::test::WaitFor;
using test::InProcessServer;

PeerOptions DualStackOptions() {
    PeerOptions options;
    options.port = 0;
    options.listenAddress = "::";
    options.stallTimeout = 20s;
    options.requestTimeout = 5s;
    return options;
}

// One running copy: its settings, shared folder and listener.
struct Ipv6Peer {
    Ipv6Peer(const std::string& url, const std::string& user) {
        settings.serverUrl = url;
        settings.userName = user;
        settings.password = "pw-" + user;
        settings.connection = "DSL";
        settings.sharedDirectory = shared.str() + "/";
        files.Publish({settings.sharedDirectory, {}});
        listener = std::make_unique<PeerListener>(display, messages, files, DualStackOptions());
    }
    void Share(const std::string& name, const std::string& contents) {
        shared.WriteFile(name, contents);
        list.push_back({name, static_cast<long long>(contents.size())});
        files.Publish({settings.sharedDirectory, list});
    }
    DirectoryContext Context() { return {settings, messages, progress}; }
    // Options that reach `other`'s listener.
    PeerOptions Toward(const Ipv6Peer& other) const {
        PeerOptions options = DualStackOptions();
        options.port = other.listener->port();
        return options;
    }

    AppSettings settings;
    TempDir shared;
    SharedFileList list;
    SharedFilesHolder files;
    RecordingDisplay display;
    FakeMessageBox messages;
    FakeProgressFactory progress;
    RegistrationState state;
    SearchResultsTable table;
    std::unique_ptr<PeerListener> listener;
};

class Ipv6EndToEnd : public ::testing::TestWithParam<bool> {};

TEST_P(Ipv6EndToEnd, RegisterFindDownloadAndMessageOverIpv6) {
    if (!brindle::test::HasIpv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    const bool https = GetParam();
    HttpServerOptions options = InProcessServer::LoopbackOptions();
    options.bindAddress = "::";
    if (https) {
        std::string error;
        const brindle::test::TestCertificates* certificates =
            brindle::test::TrustedTestCertificates(error);
        ASSERT_NE(certificates, nullptr) << error;
        options.tlsCertificateFile = certificates->server.certificate.string();
        options.tlsKeyFile = certificates->server.key.string();
    }
    InProcessServer server(options);
    const std::string url = std::string(https ? "https" : "http") +
                            "://[::1]:" + std::to_string(server.port()) +
                            "/examples/servlet/brindlenet";
    Ipv6Peer ann(url, "ann");
    Ipv6Peer bob(url, "bob");
    ASSERT_TRUE(ann.listener->Start());
    ASSERT_TRUE(bob.listener->Start());
    std::string contents;
    for (int i = 0; i < 300000; ++i) {
        contents += static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    ann.Share("song.mp3", contents);
    ASSERT_TRUE(RegisterWithServer(ann.Context(), ann.list, ann.state));
    ASSERT_TRUE(RegisterWithServer(bob.Context(), bob.list, bob.state));

    // The directory recorded both registrations under the address they came from.
    EXPECT_EQ(LookupUserIp(bob.Context(), "ann"), brindle::test::LookupAddress("::1"));
    RunSearch(bob.Context(), SearchQuery{"song", "*.mp3", "10"}, bob.table);
    ASSERT_EQ(bob.table.rows(),
              (std::vector<SearchResult>{
                  {"song.mp3", "ann", "DSL", std::to_string(contents.size()), "::1"}}));

    const SearchResult& found = bob.table.rows()[0];
    TransferTable downloads;
    ThreadGroup threads;
    auto record = std::make_shared<DownloadRecord>(
        found.fileName, LocalNameFor(found.fileName), found.ip, found.userName, found.connection,
        static_cast<long long>(contents.size()), found.length, bob.settings.sharedDirectory,
        bob.Toward(ann));
    downloads.Append(record);
    ASSERT_TRUE(record->Start(threads));
    ASSERT_TRUE(WaitFor([&] { return record->IsFinished(); }, 20s));
    EXPECT_EQ(record->Cell(kColumnStatus), "File Complete...");
    EXPECT_EQ(brindle::test::ReadWholeFile(bob.shared.path() / "song.mp3"), contents);

    // A message from ann reaches bob's listener at the address the lookup gives.
    auto lookup = [&](const std::string& user) { return LookupUserIp(ann.Context(), user); };
    MessageContext context{ann.settings, ann.messages, ann.display, lookup, ann.Toward(bob), {}};
    EXPECT_EQ(SendMessageToPeer(context, "bob", "hello over six"), MessageResult::Sent);
    ASSERT_TRUE(WaitFor([&] { return !bob.display.lines().empty(); }));
    EXPECT_EQ(bob.display.lines(), std::vector<std::string>{"<ann> hello over six\n"});
    threads.Shutdown();
}

INSTANTIATE_TEST_SUITE_P(Schemes, Ipv6EndToEnd, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Https" : "Http"; });

// An address in brackets is checked against the certificate's IP addresses:
// one that names only other hosts is refused before anything is sent.
TEST(Ipv6Https, ACertificateWithoutTheAddressIsRefused) {
    if (!brindle::test::HasIpv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    std::string error;
    const brindle::test::TestCertificates* certificates =
        brindle::test::TrustedTestCertificates(error);
    ASSERT_NE(certificates, nullptr) << error;
    HttpServerOptions options = InProcessServer::LoopbackOptions();
    options.bindAddress = "::";
    options.tlsCertificateFile = certificates->wrongHost.certificate.string();
    options.tlsKeyFile = certificates->wrongHost.key.string();
    InProcessServer server(options);
    FormReply reply = PostForm("https://[::1]:" + std::to_string(server.port()) + "/x",
                               RequestTimeouts{}, "event=onLookupUserIP&userName=ann");
    EXPECT_EQ(reply.failure, PostFailure::Connect);
    EXPECT_EQ(reply.failureReason, "certificate is for another host");
}

}  // namespace
}  // namespace brindle::server
