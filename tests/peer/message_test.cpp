#include <gtest/gtest.h>

#include "peer/instant_message.h"
#include "peer_fixture.h"
#include "support/scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

class MessageTest : public ::testing::Test {
  protected:
    MessageTest() {
        settings.userName = "me";
        settings.serverUrl = "http://dir.example:8080/x";
    }

    MessageResult Send(const LookupResult& lookupReply, const std::string& text, int port,
                       std::function<bool(const std::string&, const std::string&)> relay = {}) {
        PeerOptions options = test::LoopbackOptions();
        options.port = port;
        MessageContext context{settings,
                               messages,
                               display,
                               [&](const std::string& user) {
                                   askedFor.push_back(user);
                                   return lookupReply;
                               },
                               options,
                               std::move(relay)};
        return SendMessageToPeer(context, "bob", text);
    }

    AppSettings settings;
    test::FakeMessageBox messages;
    test::RecordingDisplay display;
    std::vector<std::string> askedFor;
};

TEST_F(MessageTest, SendsTheRequestWordAndTheLineAndShowsTheLineToTheSender) {
    std::mutex lock;
    std::string received;
    test::ScriptedServer recipient([&](int fd) {
        std::string bytes = test::ReadUntilClosed(fd);
        std::lock_guard<std::mutex> hold(lock);
        received = bytes;
    });
    auto receivedBytes = [&] {
        std::lock_guard<std::mutex> hold(lock);
        return received;
    };
    EXPECT_EQ(Send(test::LookupAddress("127.0.0.1"), "hello there", recipient.port()),
              MessageResult::Sent);
    EXPECT_EQ(askedFor, std::vector<std::string>{"bob"});
    EXPECT_EQ(display.lines(), std::vector<std::string>{"<me> hello there\n"});
    EXPECT_TRUE(messages.shown().empty());
    ASSERT_TRUE(WaitFor([&] { return !receivedBytes().empty(); }));
    EXPECT_EQ(receivedBytes(), "MESSAGE\n<me> hello there\n");
}

TEST_F(MessageTest, EachFailureHasItsOwnPlainMessageAndShowsNoLine) {
    int unused = 0;
    {
        test::ScriptedServer gone([](int) {});
        unused = gone.port();
    }
    struct Case {
        LookupResult reply;
        MessageResult result;
        std::string text;
    };
    const std::vector<Case> cases = {
        {test::kLookupFailed, MessageResult::LookupFailed,
         "Unable to lookup user bob's IP address."},
        {test::kLookupNotRegistered, MessageResult::NotRegistered,
         "The user bob is not registered with the server http://dir.example:8080/x."},
        {test::kLookupNotLoggedIn, MessageResult::NotLoggedIn,
         "The user bob is currently not logged in."},
        {test::LookupAddress("127.0.0.1"), MessageResult::ConnectFailed,
         "Unable to connecto to ip 127.0.0.1!"},
        {test::LookupAddress("peer.example"), MessageResult::ConnectFailed,
         "Unable to connecto to ip peer.example!"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Send(c.reply, "hi", unused), c.result) << testing::PrintToString(c.reply);
    }
    std::vector<test::FakeMessageBox::Shown> expected;
    for (const auto& c : cases) {
        expected.push_back({c.text, MessageIcon::None});
    }
    EXPECT_EQ(messages.shown(), expected);
    EXPECT_EQ(display.count(), 0u);
}

// The two send failures a live peer can hardly be made to produce keep their
// wording, misspelling included.
TEST(MessageFailureTextTest, SendFailuresKeepTheirWording) {
    EXPECT_EQ(MessageFailureText(MessageResult::HeaderFailed, "bob", "10.0.0.2", ""),
              "Unabel to wrtie header to 10.0.0.2!");
    EXPECT_EQ(MessageFailureText(MessageResult::LineFailed, "bob", "10.0.0.2", ""),
              "Unable send a message to 10.0.0.2!");
    EXPECT_EQ(MessageFailureText(MessageResult::Sent, "bob", "10.0.0.2", ""), "");
}

// Only a refused connection sends the message through the directory; what
// the directory refuses is shown as the connect failure.
TEST_F(MessageTest, ARefusedConnectionFallsBackToTheRelay) {
    int unused = 0;
    {
        test::ScriptedServer gone([](int) {});
        unused = gone.port();
    }
    std::vector<std::string> relayed;
    auto relay = [&](bool takes) {
        return [&relayed, takes](const std::string& user, const std::string& text) {
            relayed.push_back(user + ":" + text);
            return takes;
        };
    };
    EXPECT_EQ(Send(test::LookupAddress("127.0.0.1"), "through", unused, relay(true)),
              MessageResult::Sent);
    EXPECT_EQ(relayed, std::vector<std::string>{"bob:through"});
    EXPECT_EQ(display.lines(), std::vector<std::string>{"<me> through\n"});
    EXPECT_TRUE(messages.shown().empty());

    EXPECT_EQ(Send(test::LookupAddress("127.0.0.1"), "refused", unused, relay(false)),
              MessageResult::ConnectFailed);
    EXPECT_EQ(relayed.size(), 2u);
    EXPECT_EQ(messages.shown(), (std::vector<test::FakeMessageBox::Shown>{
                                    {"Unable to connecto to ip 127.0.0.1!", MessageIcon::None}}));

    // Reached directly, or not logged in: the relay is not asked.
    test::PeerHarness recipient;
    ASSERT_TRUE(recipient.StartListener());
    EXPECT_EQ(Send(test::LookupAddress("127.0.0.1"), "direct", recipient.port(), relay(true)),
              MessageResult::Sent);
    EXPECT_EQ(Send(test::kLookupNotLoggedIn, "away", unused, relay(true)),
              MessageResult::NotLoggedIn);
    EXPECT_EQ(relayed.size(), 2u);
    EXPECT_EQ(display.count(), 2u);
}

TEST_F(MessageTest, TheRecipientSeesALongLineCutWhileTheSenderSeesItWhole) {
    test::PeerHarness recipient;
    ASSERT_TRUE(recipient.StartListener());
    const std::string text(2000, 'q');
    EXPECT_EQ(Send(test::LookupAddress("127.0.0.1"), text, recipient.port()), MessageResult::Sent);
    ASSERT_TRUE(WaitFor([&] { return recipient.display.count() == 1; }));
    const std::string line = "<me> " + text + "\n";
    EXPECT_EQ(recipient.display.lines()[0], line.substr(0, 1023));
    EXPECT_EQ(display.lines(), std::vector<std::string>{line});
}

}  // namespace
}  // namespace brindle
