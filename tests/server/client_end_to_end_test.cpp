// The directory server driven by the client's own code over loopback.
#include <gtest/gtest.h>

#include "directory/directory_client.h"
#include "directory/search.h"
#include "server/server_test_support.h"
#include "support/tcp_relay.h"
#include "support/tls_scripted_server.h"

namespace brindle::server {
namespace {

using brindle::test::FakeMessageBox;
using brindle::test::FakeProgressFactory;
using brindle::test::kLookupNotLoggedIn;
using brindle::test::kLookupNotRegistered;
using brindle::test::LookupAddress;
using test::InProcessServer;

// One client copy: its settings, its message boxes and its results list.
struct Client {
    Client(const InProcessServer& server, const std::string& user, const std::string& password,
           const std::string& connection = "DSL,Cable") {
        settings.serverUrl = server.url();
        settings.userName = user;
        settings.password = password;
        settings.connection = connection;
        settings.sharedDirectory = "/share/";
    }
    Client(const std::string& url, const std::string& user, const std::string& password)
        : Client(url, user, password, "DSL") {}
    Client(const std::string& url, const std::string& user, const std::string& password,
           const char* connection) {
        settings.serverUrl = url;
        settings.userName = user;
        settings.password = password;
        settings.connection = connection;
        settings.sharedDirectory = "/share/";
    }
    DirectoryContext Context() { return {settings, messages, progress}; }
    bool Register(const SharedFileList& files) {
        return RegisterWithServer(Context(), files, state);
    }
    std::vector<SearchResult> Search(const std::string& query, const std::string& type = "*.*",
                                     const std::string& max = "100") {
        RunSearch(Context(), SearchQuery{query, type, max}, table);
        return table.rows();
    }

    AppSettings settings;
    FakeMessageBox messages;
    FakeProgressFactory progress;
    RegistrationState state;
    SearchResultsTable table;
};

TEST(ClientEndToEnd, RegisterLookUpSearchAndUnregister) {
    InProcessServer server;
    Client ann(server, "ann lee", "pw 1");
    Client bob(server, "bob", "pw2", "28.8K Modem");
    SharedFileList annFiles{{"sub\\a b.mp3", 1234}, {"notes.txt", 10}, {"big.iso", 3LL << 30}};
    ASSERT_TRUE(ann.Register(annFiles));
    EXPECT_EQ(ann.messages.texts(), std::vector<std::string>{"Registred with server!"});
    ASSERT_TRUE(bob.Register({{"b.mp3", 5}}));

    EXPECT_EQ(LookupUserIp(bob.Context(), "ann lee"), LookupAddress("127.0.0.1"));
    EXPECT_EQ(LookupUserIp(bob.Context(), "nobody"), kLookupNotRegistered);

    EXPECT_EQ(
        bob.Search("A B", "*.mp3"),
        (std::vector<SearchResult>{{"sub\\a b.mp3", "ann lee", "DSL,Cable", "1234", "127.0.0.1"}}));
    EXPECT_EQ(bob.table.resultAddresses(), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(bob.Search("big")[0].length, "3221225472");
    EXPECT_EQ(bob.Search("", "*.*", "2").size(), 2u);
    // The asker's own files are left out.
    EXPECT_EQ(ann.Search("mp3").size(), 1u);
    EXPECT_EQ(ann.Search("mp3")[0].userName, "bob");
    EXPECT_EQ(bob.messages.texts(), std::vector<std::string>{"Registred with server!"});

    EXPECT_TRUE(UnregisterFromServer(ann.Context()));
    EXPECT_EQ(LookupUserIp(bob.Context(), "ann lee"), kLookupNotLoggedIn);
    EXPECT_TRUE(bob.Search("a b").empty());
}

// '+' travels as itself: a name holding it is published, found by a query
// holding it and looked up exactly as typed, never as spaces.
TEST(ClientEndToEnd, PlusSignsArriveAsTyped) {
    InProcessServer server;
    Client ann(server, "ann+lee", "pw+1", "ISDN+");
    ASSERT_TRUE(ann.Register({{"docs\\c++ notes.txt", 42}, {"c  notes.txt", 7}}));
    Client bob(server, "bob", "pw");
    EXPECT_EQ(bob.Search("c++"), (std::vector<SearchResult>{{"docs\\c++ notes.txt", "ann+lee",
                                                             "ISDN+", "42", "127.0.0.1"}}));
    EXPECT_EQ(LookupUserIp(bob.Context(), "ann+lee"), LookupAddress("127.0.0.1"));
    EXPECT_EQ(LookupUserIp(bob.Context(), "ann lee"), kLookupNotRegistered);
}

TEST(ClientEndToEnd, BadPasswordAndReRegistrationReplacingTheList) {
    InProcessServer server;
    Client ann(server, "ann", "right");
    ASSERT_TRUE(ann.Register({{"old.mp3", 1}, {"both.mp3", 2}}));
    Client impostor(server, "ann", "wrong");
    EXPECT_FALSE(impostor.Register({{"evil.mp3", 1}}));
    EXPECT_EQ(impostor.messages.texts(),
              std::vector<std::string>{"Bad password for that username!"});
    EXPECT_FALSE(UnregisterFromServer(impostor.Context()));

    ASSERT_TRUE(ann.Register({{"both.mp3", 2}, {"new.mp3", 3}}));
    Client bob(server, "bob", "pw");
    std::vector<std::string> names;
    for (const auto& row : bob.Search("mp3")) {
        names.push_back(row.fileName);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"both.mp3", "new.mp3"}));
}

TEST(ClientEndToEnd, LargeListIsPublishedAndResultsAreCapped) {
    InProcessServer server;
    Client ann(server, "ann", "pw");
    SharedFileList files;
    for (int i = 0; i < 5000; ++i) {
        files.push_back(
            {"music\\album " + std::to_string(i / 10) + "\\track " + std::to_string(i) + ".ogg",
             i});
    }
    ASSERT_TRUE(ann.Register(files));
    Client bob(server, "bob", "pw");
    EXPECT_EQ(bob.Search("", "*.ogg", "100000").size(), 1000u);
    auto rows = bob.Search("TRACK 4999", "*.OGG");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].fileName, "music\\album 499\\track 4999.ogg");
    EXPECT_EQ(rows[0].length, "4999");
}

// The whole exchange through a relay that keeps every byte on the wire: over
// "https://" nothing of it can be read there, over "http://" all of it.
class ClientOverTheWire : public ::testing::TestWithParam<bool> {};

TEST_P(ClientOverTheWire, EveryEventWorksAndHttpsHidesThePassword) {
    bool https = GetParam();
    HttpServerOptions options = InProcessServer::LoopbackOptions();
    if (https) {
        std::string error;
        const brindle::test::TestCertificates* certificates =
            brindle::test::TrustedTestCertificates(error);
        ASSERT_NE(certificates, nullptr) << error;
        options.tlsCertificateFile = certificates->server.certificate.string();
        options.tlsKeyFile = certificates->server.key.string();
    }
    InProcessServer server(options);
    brindle::test::TcpRelay relay(server.port());
    ASSERT_NE(relay.port(), 0);
    std::string url = std::string(https ? "https" : "http") +
                      "://127.0.0.1:" + std::to_string(relay.port()) +
                      "/examples/servlet/brindlenet";
    const std::string password = "Zq7SecretPassword";
    Client ann(url, "ann", password);
    Client bob(url, "bob", "Other7Password");
    ASSERT_TRUE(ann.Register({{"wire-secret-song.mp3", 42}}));
    ASSERT_TRUE(bob.Register({}));
    EXPECT_EQ(
        bob.Search("secret-song"),
        (std::vector<SearchResult>{{"wire-secret-song.mp3", "ann", "DSL", "42", "127.0.0.1"}}));
    EXPECT_EQ(LookupUserIp(bob.Context(), "ann"), LookupAddress("127.0.0.1"));
    EXPECT_TRUE(UnregisterFromServer(ann.Context()));
    EXPECT_EQ(LookupUserIp(bob.Context(), "ann"), kLookupNotLoggedIn);

    std::string wire = relay.seen();
    ASSERT_GT(wire.size(), 1000u);
    for (const std::string& secret :
         {password, std::string("onRegisterUser"), std::string("wire-secret-song")}) {
        EXPECT_EQ(wire.find(secret) != std::string::npos, !https) << secret;
    }
}

INSTANTIATE_TEST_SUITE_P(Schemes, ClientOverTheWire, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Https" : "Http"; });

}  // namespace
}  // namespace brindle::server
