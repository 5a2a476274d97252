// The waiting line: the relay on its own, then pushes and messages through a
// real server, and the hostile cases (forged tokens, floods, idle crowds).
#include "server/events/push_relay.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/server_test_support.h"
#include "support/net_helpers.h"

namespace brindle::server {
namespace {

using namespace std::chrono_literals;
using test::ClientRequest;
using test::ConnectFrom;
using test::InProcessServer;
using test::ParseReply;
using test::Post;
using test::RegistrationBody;

constexpr char kToken[] = "00112233445566778899aabbccddeeff";

struct Collected {
    std::vector<std::string> bodies;
    PushRelay::Answer answer() {
        return [this](const std::string& body) { bodies.push_back(body); };
    }
};

TEST(PushRelay, DeliversToTheWaitingRequestOnceThenQueuesUntilTheNext) {
    PushRelay relay;
    Collected first, second;
    EXPECT_EQ(relay.Wait("bob", first.answer()), PushRelay::Waited::Parked);
    EXPECT_EQ(relay.waiting(), 1u);
    EXPECT_EQ(relay.Send("ann", "bob", "PUSH a\n"), PushRelay::Sent::Delivered);
    EXPECT_EQ(relay.Send("ann", "bob", "PUSH b\n"), PushRelay::Sent::Queued);
    EXPECT_EQ(first.bodies, std::vector<std::string>{"PUSH a\n"});
    EXPECT_EQ(relay.Wait("bob", second.answer()), PushRelay::Waited::Answered);
    EXPECT_EQ(second.bodies, std::vector<std::string>{"PUSH b\n"});
    EXPECT_EQ(relay.waiting(), 0u);
    EXPECT_EQ(relay.Send("ann", "carol", "PUSH c\n"), PushRelay::Sent::NotWaiting);
}

TEST(PushRelay, ASecondWaitReplacesTheFirstAndTimeUpAnswersNone) {
    PushRelayOptions options;
    options.waitTimeout = 1s;
    PushRelay relay(options);
    Collected first, second;
    ASSERT_EQ(relay.Wait("bob", first.answer()), PushRelay::Waited::Parked);
    ASSERT_EQ(relay.Wait("bob", second.answer()), PushRelay::Waited::Parked);
    EXPECT_EQ(first.bodies, std::vector<std::string>{"NONE\n"});
    EXPECT_EQ(relay.waiting(), 1u);
    relay.ExpireDue(PushRelay::Clock::now() + 500ms);
    EXPECT_TRUE(second.bodies.empty());
    relay.ExpireDue(PushRelay::Clock::now() + 2s);
    EXPECT_EQ(second.bodies, std::vector<std::string>{"NONE\n"});
    EXPECT_EQ(relay.waiting(), 0u);
}

TEST(PushRelay, FloodsAreLimitedPerSenderAndTheLineIsBounded) {
    PushRelayOptions options;
    options.sendsPerMinute = 6;
    options.maxQueuedPerUser = 3;
    options.maxWaiting = 2;
    PushRelay relay(options);
    Collected bob, carol, dave;
    ASSERT_EQ(relay.Wait("bob", bob.answer()), PushRelay::Waited::Parked);
    ASSERT_EQ(relay.Wait("carol", carol.answer()), PushRelay::Waited::Parked);
    EXPECT_EQ(relay.Wait("dave", dave.answer()), PushRelay::Waited::Busy);
    EXPECT_EQ(relay.Send("mallory", "bob", "x\n"), PushRelay::Sent::Delivered);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(relay.Send("mallory", "bob", "x\n"), PushRelay::Sent::Queued);
    }
    EXPECT_EQ(relay.Send("mallory", "bob", "x\n"), PushRelay::Sent::NotWaiting);  // queue full
    EXPECT_EQ(relay.Send("mallory", "carol", "x\n"), PushRelay::Sent::Delivered);
    EXPECT_EQ(relay.Send("mallory", "carol", "x\n"), PushRelay::Sent::RateLimited);
    // Others are not held back by one sender's flood.
    EXPECT_EQ(relay.Send("ann", "bob", "x\n"), PushRelay::Sent::NotWaiting);
    // A line another node forwarded was counted there; here it is handed over
    // if its user waits here, and dropped otherwise.
    ASSERT_EQ(relay.Wait("carol", carol.answer()), PushRelay::Waited::Parked);
    EXPECT_EQ(relay.Deliver("carol", "y\n"), PushRelay::Sent::Delivered);
    EXPECT_EQ(carol.bodies.back(), "y\n");
    EXPECT_EQ(relay.Deliver("dave", "y\n"), PushRelay::Sent::NotWaiting);
    relay.ReleaseAll();
    EXPECT_EQ(relay.waiting(), 0u);
}

// A server whose waiting requests time out quickly, with ann registered from
// 127.0.0.5 and bob from 127.0.0.1.
class WaitingLine : public ::testing::Test {
  protected:
    static DirectoryLimits Limits() {
        DirectoryLimits limits;
        limits.push.waitTimeout = 1500ms;
        limits.push.sendsPerMinute = 5;
        return limits;
    }
    static HttpServerOptions Options() {
        auto options = InProcessServer::LoopbackOptions();
        options.maxConnections = 3000;
        options.maxConnectionsPerAddress = 3000;
        options.idleTimeoutSeconds = 1;  // shorter than a wait: suspended waits outlive it
        return options;
    }

    void SetUp() override {
        Socket from = ConnectFrom("127.0.0.5", server_.port());
        ASSERT_TRUE(from);
        std::string request =
            ClientRequest(RegistrationBody("ann", "pa", "DSL", {}), server_.port());
        ASSERT_TRUE(SendAll(from, request));
        ASSERT_EQ(ParseReply(ReadToClose(from)).body, "OK\n");
        ASSERT_EQ(
            Post(server_.port(), RegistrationBody("bob", "pb", "DSL", {{"song.mp3", 5}})).body,
            "OK\n");
    }

    static bool SendAll(const Socket& socket, const std::string& bytes) {
        return ::send(socket.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    static std::string ReadToClose(const Socket& socket, std::chrono::milliseconds limit = 10s) {
        std::string reply;
        auto until = std::chrono::steady_clock::now() + limit;
        char buffer[4096];
        while (std::chrono::steady_clock::now() < until) {
            pollfd entry{socket.fd(), POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) {
                continue;
            }
            ssize_t got = ::recv(socket.fd(), buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            reply.append(buffer, static_cast<std::size_t>(got));
        }
        return reply;
    }
    // Opens bob's waiting request; its reply is read with ReadToClose.
    Socket Wait(const std::string& user = "bob", const std::string& password = "pb") {
        Socket socket = brindle::test::ConnectLoopback(server_.port());
        std::string body = "event=onWaitForPush&userName=" + user + "&password=" + password;
        EXPECT_TRUE(SendAll(socket, ClientRequest(body, server_.port())));
        return socket;
    }
    bool Waiting(std::size_t count) {
        return brindle::test::WaitFor(
            [&] { return server_.http().connectionCounts().waitingForPush == count; }, 10s);
    }
    test::HttpReply RequestPush(const std::string& token = kToken, const std::string& extra = "") {
        return Post(server_.port(), "event=onRequestPush&userName=ann&password=pa&target=bob" +
                                        std::string("&file=song.mp3&token=") + token + extra);
    }

    InProcessServer server_{Options(), Limits()};
};

TEST_F(WaitingLine, APushCarriesTheRequestersRegisteredAddressOnly) {
    Socket waiting = Wait();
    ASSERT_TRUE(Waiting(1));
    // ann asks from 127.0.0.1 and names another address: bob still gets the
    // one she registered from.
    auto asked = RequestPush(kToken, "&address=10.9.9.9");
    EXPECT_EQ(asked.body, "OK\n");
    auto reply = ParseReply(ReadToClose(waiting));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, std::string("PUSH 127.0.0.5 ") + kToken + " song.mp3\n");
}

TEST_F(WaitingLine, AnsweredNoneWhenNothingComesThoughLongerThanTheIdleTimeout) {
    Socket waiting = Wait();
    ASSERT_TRUE(Waiting(1));
    auto start = std::chrono::steady_clock::now();
    auto reply = ParseReply(ReadToClose(waiting));
    EXPECT_EQ(reply.body, "NONE\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(WaitingLine, MessagesGoThroughTheWaitingRequestWithTheSenderEscaped) {
    ASSERT_EQ(Post(server_.port(), RegistrationBody("c d%", "pc", "DSL", {})).body, "OK\n");
    Socket waiting = Wait();
    ASSERT_TRUE(Waiting(1));
    auto sent = Post(server_.port(),
                     "event=onSendMessage&userName=c+d%25&password=pc&target=bob&text=hi+there");
    EXPECT_EQ(sent.body, "OK\n");
    EXPECT_EQ(ParseReply(ReadToClose(waiting)).body, "MESSAGE c%20d%25 hi there\n");
}

TEST_F(WaitingLine, SigningOffEndsTheWaitAtOnce) {
    Socket waiting = Wait();
    ASSERT_TRUE(Waiting(1));
    EXPECT_EQ(Post(server_.port(), "event=onUnregisterUser&userName=bob&password=pb").body, "OK\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ParseReply(ReadToClose(waiting)).body, "NONE\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // Pushes to bob are refused; bob may still ask for pushes from
    // the address he registered from.
    EXPECT_EQ(RequestPush().body, "NOT-LOGGED-IN\n");
    EXPECT_EQ(Post(server_.port(),
                   "event=onRequestPush&userName=bob&password=pb&target=ann"
                   "&file=x&token=" +
                       std::string(kToken))
                  .body,
              "NOT-WAITING\n");
}

struct Refusal {
    std::string name;
    std::string body;
    std::string reply;
};

class PushRefusals : public WaitingLine, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PushRefusals, AreAnsweredAndDeliverNothing) {
    Socket waiting = Wait();
    ASSERT_TRUE(Waiting(1));
    EXPECT_EQ(Post(server_.port(), GetParam().body).body, GetParam().reply);
    EXPECT_EQ(server_.http().connectionCounts().waitingForPush, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, PushRefusals,
    ::testing::Values(
        Refusal{"ShortToken",
                "event=onRequestPush&userName=ann&password=pa&target=bob&file=a&token=00ff",
                "BAD-TOKEN\n"},
        Refusal{"NonHexToken",
                "event=onRequestPush&userName=ann&password=pa&target=bob&file=a&token="
                "0011223344556677889900aabbccddzz",
                "BAD-TOKEN\n"},
        Refusal{"WrongPassword",
                "event=onRequestPush&userName=ann&password=no&target=bob&file=a&token=" +
                    std::string(kToken),
                "BAD-PASSWORD\n"},
        Refusal{"UnknownRequester",
                "event=onRequestPush&userName=zed&password=pa&target=bob&file=a&token=" +
                    std::string(kToken),
                "NOT-REGISTERED\n"},
        Refusal{"FileWithLineBreak",
                "event=onRequestPush&userName=ann&password=pa&target=bob&file=a%0APUSH&token=" +
                    std::string(kToken),
                "BAD-FILE-NAME\n"},
        Refusal{"WaitWithWrongPassword", "event=onWaitForPush&userName=bob&password=no",
                "BAD-PASSWORD\n"},
        Refusal{"TargetNotWaiting",
                "event=onRequestPush&userName=bob&password=pb&target=ann&file=a&token=" +
                    std::string(kToken),
                "NOT-WAITING\n"}),
    [](const auto& info) { return info.param.name; });

TEST_F(WaitingLine, APushFloodIsRateLimitedPerRequester) {
    int limited = 0;
    for (int i = 0; i < 8; ++i) {
        auto reply = RequestPush();
        if (reply.status == 429) {
            EXPECT_EQ(reply.body, "RATE-LIMITED\n");
            ++limited;
        }
    }
    EXPECT_EQ(limited, 3);  // 5 a minute
}

TEST_F(WaitingLine, ThousandsOfIdleWaitingRequestsLeaveSearchesFast) {
    constexpr int kWaiting = 1000;
    PasswordHasher hasher(PasswordHasher::Minimum());
    std::string hash = hasher.Hash("pw");
    for (int i = 0; i < kWaiting; ++i) {
        std::string name = "idle" + std::to_string(i);
        ASSERT_EQ(server_.store().Register({name, hash, "DSL", "127.0.0.1", {}}), StoreStatus::Ok);
    }
    std::vector<Socket> waiting;
    waiting.reserve(kWaiting);
    for (int i = 0; i < kWaiting; ++i) {
        waiting.push_back(Wait("idle" + std::to_string(i), "pw"));
        ASSERT_TRUE(waiting.back());
    }
    ASSERT_TRUE(Waiting(kWaiting));
    for (int i = 0; i < 5; ++i) {
        auto start = std::chrono::steady_clock::now();
        auto reply = Post(server_.port(), "event=onSearch&qs=song&max=10&userName=ann");
        EXPECT_EQ(reply.body, "1\nsong.mp3\nbob\nDSL\n5\n127.0.0.1\n");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    }
    auto pushed = Post(server_.port(),
                       "event=onRequestPush&userName=ann&password=pa&target=idle7"
                       "&file=song.mp3&token=" +
                           std::string(kToken));
    EXPECT_EQ(pushed.body, "OK\n");
    EXPECT_EQ(ParseReply(ReadToClose(waiting[7])).body,
              std::string("PUSH 127.0.0.5 ") + kToken + " song.mp3\n");
}

}  // namespace
}  // namespace brindle::server
