// The waiting line's requests against a scripted directory: what is sent and
// how each reply is read.
#include "directory/push_requests.h"

#include <gtest/gtest.h>

#include "directory_fixture.h"

namespace brindle {
namespace {

using test::DirectoryFixture;
using test::HttpReply;
using test::HttpScriptedServer;

class PushRequests : public ::testing::Test, public DirectoryFixture {
  protected:
    void SetUp() override {
        settings.userName = "john doe";
        settings.password = "p&w";
    }
};

TEST_F(PushRequests, WaitSendsTheCredentialsAndReadsEachKindOfReply) {
    struct Case {
        std::string reply;
        WaitReply::Kind kind;
        std::string line;
    };
    for (const Case& c : std::vector<Case>{
             {"NONE\n", WaitReply::Kind::None, "NONE"},
             {"PUSH 10.0.0.1 00112233445566778899aabbccddeeff a b\n", WaitReply::Kind::Push,
              "PUSH 10.0.0.1 00112233445566778899aabbccddeeff a b"},
             {"MESSAGE ann hi\n", WaitReply::Kind::Message, "MESSAGE ann hi"},
             {"BAD-PASSWORD\n", WaitReply::Kind::Refused, "BAD-PASSWORD"},
             {"", WaitReply::Kind::Failed, ""}}) {
        HttpScriptedServer server(HttpReply(c.reply));
        settings.serverUrl = server.url();
        WaitReply reply = WaitForPush(Context());
        EXPECT_EQ(reply.kind, c.kind) << c.reply;
        EXPECT_EQ(reply.line, c.line);
        EXPECT_EQ(server.LastBody(), "event=onWaitForPush&userName=john+doe&password=p%26w");
    }
}

TEST_F(PushRequests, PushAndMessageRequestsNameTheTargetAndReadTheOutcome) {
    HttpScriptedServer server(
        {HttpReply("OK\n"), HttpReply("NOT-WAITING\n"), HttpReply("RATE-LIMITED\n")});
    settings.serverUrl = server.url();
    const std::string token = "00112233445566778899aabbccddeeff";
    EXPECT_EQ(RequestPush(Context(), "bob", "music\\a&b.mp3", token), RelayResult::Sent);
    EXPECT_EQ(server.LastBody(),
              "event=onRequestPush&userName=john+doe&password=p%26w"
              "&target=bob&file=music%5Ca%26b.mp3&token=" +
                  token);
    EXPECT_EQ(SendRelayedMessage(Context(), "bob", "hi there"), RelayResult::NotWaiting);
    EXPECT_EQ(server.LastBody(),
              "event=onSendMessage&userName=john+doe&password=p%26w&target=bob&text=hi+there");
    EXPECT_EQ(RequestPush(Context(), "bob", "x", token), RelayResult::Refused);
}

TEST(RelayedMessage, UnescapesTheSenderAndKeepsTheTextWhole) {
    std::string from, text;
    ASSERT_TRUE(ParseRelayedMessage("MESSAGE c%20d%25 hi  there\n", from, text));
    EXPECT_EQ(from, "c d%");
    EXPECT_EQ(text, "hi  there");
    for (const std::string bad :
         {"MESSAGE nobody", "MESSAGE  x", "PUSH a b c", "MESSAGE a%2 x", "MESSAGE a%zz x"}) {
        EXPECT_FALSE(ParseRelayedMessage(bad, from, text)) << bad;
    }
}

}  // namespace
}  // namespace brindle
