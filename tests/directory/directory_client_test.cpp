#include "directory/directory_client.h"

#include <gtest/gtest.h>

#include "directory_fixture.h"

namespace brindle {
namespace {

using test::DirectoryFixture;
using test::ExpectedHeaders;
using test::HttpReply;
using test::HttpScriptedServer;
using test::kLookupFailed;
using test::kLookupNotLoggedIn;
using test::kLookupNotRegistered;
using test::LookupAddress;
using test::RefusingPort;
using Shown = test::FakeMessageBox::Shown;

class RegistrationTest : public ::testing::Test, public DirectoryFixture {
  protected:
    RegistrationTest() {
        settings.userName = "john doe";
        settings.connection = "DSL,Cable";
        settings.password = "p&w";
    }
    RegistrationState state;
};

TEST_F(RegistrationTest, SendsPrefixAndPiecesWithTheirExactLength) {
    HttpScriptedServer server(HttpReply("OK\n"));
    settings.serverUrl = server.url();
    SharedFileList files{{"sub\\a b.mp3", 1234}, {"top.txt", 0}};

    EXPECT_TRUE(RegisterWithServer(Context(), files, state));

    const std::string prefix =
        "event=onRegisterUser&userName=john+doe&connection=DSL%2CCable&password=p%26w&";
    const std::vector<std::string> pieces{"count=2", "&file0=sub%5Ca+b.mp3&size0=1234",
                                          "&file1=top.txt&size1=0"};
    std::string body = prefix + pieces[0] + pieces[1] + pieces[2];
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], ExpectedHeaders(server.port(), body.size()) + body);
    EXPECT_EQ(state.fileListPieces, pieces);
    EXPECT_TRUE(state.registered);
    EXPECT_TRUE(state.registrationAttempted);

    // The bar runs over the body only: the prefix in one step, then each piece.
    EXPECT_EQ(
        progress.log(),
        (std::vector<std::string>{
            "open", "status:Registering with server...", "range:" + std::to_string(body.size()),
            "step:" + std::to_string(prefix.size()), "stepit", "step:7", "stepit", "step:31",
            "stepit", "step:22", "stepit", "hide", "close"}));
    EXPECT_EQ(progress.position(), static_cast<long long>(body.size()));
    EXPECT_EQ(messages.shown(),
              (std::vector<Shown>{{"Registred with server!", MessageIcon::None}}));
}

TEST_F(RegistrationTest, EmptyListEndsWithCountZero) {
    HttpScriptedServer server(HttpReply("OK\n"));
    settings.serverUrl = server.url();
    EXPECT_TRUE(RegisterWithServer(Context(), {}, state));
    std::string body = server.LastBody();
    EXPECT_EQ(body,
              "event=onRegisterUser&userName=john+doe&connection=DSL%2CCable&password=p%26w"
              "&count=0");
    EXPECT_EQ(server.requests()[0], ExpectedHeaders(server.port(), body.size()) + body);
}

TEST(FileListPieces, SizesAreWrittenWhole) {
    std::vector<std::string> pieces{"stale"};
    SharedFileList files{
        {"small", 2147483647LL}, {"three.iso", 3LL << 30}, {"five.iso", 5LL << 30}};
    long long total = BuildFileListPieces(files, pieces);
    EXPECT_EQ(pieces, (std::vector<std::string>{"count=3", "&file0=small&size0=2147483647",
                                                "&file1=three.iso&size1=3221225472",
                                                "&file2=five.iso&size2=5368709120"}));
    EXPECT_EQ(total, 7 + 29 + 33 + 32);
}

TEST_F(RegistrationTest, RepliesOtherThanOkFail) {
    struct Case {
        std::string reply;
        std::vector<Shown> messages;
    };
    const std::vector<Case> cases{
        {HttpReply("BAD-PASSWORD\n"), {{"Bad password for that username!", MessageIcon::Error}}},
        {HttpReply("OK\r\n"), {}},
        {HttpReply("OK"), {}},
        {HttpReply("ok\n"), {}},
        {HttpReply(""), {}},                                      // ends after the headers
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n", {}},  // ends inside them
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        test::FakeMessageBox box;
        test::FakeProgressFactory bars;
        HttpScriptedServer server(c.reply);
        settings.serverUrl = server.url();
        RegistrationState fresh;
        EXPECT_FALSE(
            RegisterWithServer({settings, box, bars, test::kShortTimeouts}, {{"a", 1}}, fresh));
        EXPECT_FALSE(fresh.registered);
        EXPECT_TRUE(fresh.registrationAttempted);
        EXPECT_EQ(box.shown(), c.messages);
        // A message box only ever comes up once the progress window is hidden.
        auto log = bars.log();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log.back(), "close");
        EXPECT_EQ(log[log.size() - 2] == "hide", !c.messages.empty());
        EXPECT_EQ(bars.opened(), 1);
    }
}

TEST_F(RegistrationTest, LaterFailureKeepsRegistered) {
    HttpScriptedServer server(
        std::vector<std::string>{HttpReply("OK\n"), HttpReply("BAD-PASSWORD\n")});
    settings.serverUrl = server.url();
    EXPECT_TRUE(RegisterWithServer(Context(), {}, state));
    EXPECT_FALSE(RegisterWithServer(Context(), {}, state));
    EXPECT_TRUE(state.registered);
}

TEST_F(RegistrationTest, NoServerFailsSilentlyWithoutProgress) {
    RefusingPort refusing;
    for (std::string url :
         {std::string("HTTP://127.0.0.1/x"), std::string(" http://127.0.0.1/x"), refusing.url()}) {
        SCOPED_TRACE(url);
        settings.serverUrl = url;
        RegistrationState fresh;
        EXPECT_FALSE(RegisterWithServer(Context(), {{"a", 1}}, fresh));
        EXPECT_TRUE(fresh.registrationAttempted);
        EXPECT_FALSE(fresh.registered);
    }
    EXPECT_EQ(progress.opened(), 0);
    EXPECT_TRUE(messages.shown().empty());
}

TEST(Unregistration, SendsNameAndPasswordAndAcceptsOnlyOk) {
    DirectoryFixture f;
    f.settings.userName = "ann lee";
    f.settings.password = "s>cret";
    HttpScriptedServer server(
        std::vector<std::string>{HttpReply("OK\n"), HttpReply("OK\r\n"), HttpReply("")});
    f.settings.serverUrl = server.url();

    EXPECT_TRUE(UnregisterFromServer(f.Context()));
    std::string body = "event=onUnregisterUser&userName=ann+lee&password=s%3Ecret";
    EXPECT_EQ(server.requests()[0], ExpectedHeaders(server.port(), body.size()) + body);
    EXPECT_FALSE(UnregisterFromServer(f.Context()));
    EXPECT_FALSE(UnregisterFromServer(f.Context()));

    RefusingPort refusing;
    f.settings.serverUrl = refusing.url();
    EXPECT_FALSE(UnregisterFromServer(f.Context()));
    f.settings.serverUrl = "ftp://127.0.0.1/";
    EXPECT_FALSE(UnregisterFromServer(f.Context()));
    EXPECT_TRUE(f.messages.shown().empty());
    EXPECT_EQ(f.progress.opened(), 0);
}

// A status word, with or without its line feed, or any other line as the
// address; an error reply or none at all is a failure.
TEST(UserLookup, ReturnsStatusWordsOrTheLineAsTheAddress) {
    const std::vector<std::pair<std::string, LookupResult>> cases{
        {HttpReply("10.0.0.7\n"), LookupAddress("10.0.0.7")},
        {HttpReply("10.0.0.7\r\n\t"), LookupAddress("10.0.0.7")},
        {HttpReply("10.0.0."), LookupAddress("10.0.0.")},  // cut short: still the address
        {HttpReply("\n"), LookupAddress("")},
        {HttpReply("NOT-REGISTERED\n"), kLookupNotRegistered},
        {HttpReply("NOT-LOGGED-IN\n"), kLookupNotLoggedIn},
        {HttpReply("NOT-REGISTERED"), kLookupNotRegistered},
        {HttpReply("NOT-LOGGED-IN"), kLookupNotLoggedIn},
        {HttpReply("NOT-REGISTERED\r\n"), LookupAddress("NOT-REGISTERED")},
        {HttpReply("not-registered\n"), LookupAddress("not-registered")},
        {HttpReply(""), kLookupFailed},
        // An error page is no address.
        {"HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>gone</html>\n",
         kLookupFailed},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n10.0.0.9\n",
         LookupAddress("10.0.0.9")},
    };
    for (const auto& [reply, expected] : cases) {
        SCOPED_TRACE(reply);
        DirectoryFixture f;
        HttpScriptedServer server(reply);
        f.settings.serverUrl = server.url();
        f.settings.userName = "me";  // never sent: only the name looked up is
        EXPECT_EQ(LookupUserIp(f.Context(), "ann lee"), expected);
        std::string body = "event=onLookupUserIP&userName=ann+lee";
        EXPECT_EQ(server.requests().at(0), ExpectedHeaders(server.port(), body.size()) + body);
    }
}

TEST(UserLookup, EmptyNameIsSentAndFailuresAreFailed) {
    DirectoryFixture f;
    HttpScriptedServer server(HttpReply("10.0.0.7\n"));
    f.settings.serverUrl = server.url();
    EXPECT_EQ(LookupUserIp(f.Context(), ""), LookupAddress("10.0.0.7"));
    EXPECT_EQ(server.LastBody(), "event=onLookupUserIP&userName=");

    f.settings.serverUrl = "HTTP://127.0.0.1:" + std::to_string(server.port()) + "/x";
    EXPECT_EQ(LookupUserIp(f.Context(), "ann"), kLookupFailed);
    EXPECT_EQ(server.requests().size(), 1u);

    RefusingPort refusing;
    f.settings.serverUrl = refusing.url();
    EXPECT_EQ(LookupUserIp(f.Context(), "ann"), kLookupFailed);
    EXPECT_TRUE(f.messages.shown().empty());
}

// The probe sends the user's name and password; the four answers it knows
// count with their line feed only, and anything else (a directory without
// the event, an error page, no server) is unknown, never an error shown.
TEST(ReachabilityProbe, ReadsTheFourAnswersAndCallsTheRestUnknown) {
    const std::vector<std::pair<std::string, ReachAnswer>> cases{
        {HttpReply("REACHABLE\n"), ReachAnswer::Reachable},
        {HttpReply("UNREACHABLE\n"), ReachAnswer::Unreachable},
        {HttpReply("BAD-PASSWORD\n"), ReachAnswer::BadPassword},
        {HttpReply("NOT-LOGGED-IN\n"), ReachAnswer::NotLoggedIn},
        {HttpReply("NOT-REGISTERED\n"), ReachAnswer::NotLoggedIn},
        {HttpReply("REACHABLE"), ReachAnswer::Unknown},
        {HttpReply("REACHABLE\r\n"), ReachAnswer::Unknown},
        {HttpReply("UNKNOWN-EVENT\n"), ReachAnswer::Unknown},
        {"HTTP/1.1 400 Bad Request\r\n\r\nUNKNOWN-EVENT\n", ReachAnswer::Unknown},
        {HttpReply(""), ReachAnswer::Unknown},
    };
    for (const auto& [reply, expected] : cases) {
        SCOPED_TRACE(reply);
        DirectoryFixture f;
        HttpScriptedServer server(reply);
        f.settings.serverUrl = server.url();
        f.settings.userName = "ann lee";
        f.settings.password = "s&cret";
        EXPECT_EQ(CheckReachable(f.Context()), expected);
        EXPECT_EQ(server.LastBody(), "event=onCheckReachable&userName=ann+lee&password=s%26cret");
        EXPECT_TRUE(f.messages.shown().empty());
    }
    DirectoryFixture f;
    RefusingPort refusing;
    f.settings.serverUrl = refusing.url();
    EXPECT_EQ(CheckReachable(f.Context()), ReachAnswer::Unknown);
    EXPECT_TRUE(f.messages.shown().empty());
}

}  // namespace
}  // namespace brindle
