// onCheckReachable: who may ask, where the directory connects back, and the
// once-a-minute limit per address; the real connect-back on loopback.
#include "server/events/reach_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/socket.h"
#include "server/events/event_dispatcher.h"
#include "server/server_test_support.h"
#include "server/store/sqlite/sqlite_store.h"
#include "support/manual_clock.h"
#include "support/scripted_server.h"
#include "support/test_support.h"

namespace brindle::server {
namespace {

using namespace std::chrono_literals;

// Records every connect-back and answers as told.
class FakeProbe final : public IReachProbe {
  public:
    bool Connect(const std::string& address, int port, std::chrono::milliseconds limit) override {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(address + " port " + std::to_string(port) + " within " +
                        std::to_string(limit.count()) + " ms");
        return answer;
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }

    std::mutex lock;
    std::vector<std::string> calls;
    bool answer = true;
};

class ReachProbeEventTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PasswordHasher::Initialize();
        std::string error;
        store_ = SqliteStore::Open((dir_.path() / "d.db").string(), error);
        ASSERT_TRUE(store_) << error;
        dispatcher_ = std::make_unique<EventDispatcher>(*store_, hasher_);
        dispatcher_->SetReachProbe(&limiter_);
        ASSERT_EQ(Send(test::RegistrationBody("ann", "pw", "DSL", {})).body, "OK\n");
        ASSERT_EQ(Send(test::RegistrationBody("bob", "pw2", "DSL", {}), "10.0.0.9").body, "OK\n");
        ASSERT_EQ(Send("event=onUnregisterUser&userName=bob&password=pw2").body, "OK\n");
    }

    EventReply Send(const std::string& body, const std::string& ip = "10.0.0.7") {
        return dispatcher_->Handle({body, ip});
    }
    std::string Probe(const std::string& user, const std::string& password,
                      const std::string& ip = "10.0.0.7") {
        return Send("event=onCheckReachable&userName=" + user + "&password=" + password, ip).body;
    }

    brindle::test::TempDir dir_;
    std::unique_ptr<SqliteStore> store_;
    PasswordHasher hasher_{PasswordHasher::Minimum()};
    FakeProbe probe_;
    brindle::test::ManualSteadyClock clock_;
    ReachProbeLimiter limiter_{probe_, {.clock = clock_.Get()}};
    std::unique_ptr<EventDispatcher> dispatcher_;
};

TEST_F(ReachProbeEventTest, OnlyALoggedInUserWithItsPasswordGetsAConnectBack) {
    struct Case {
        const char* user;
        const char* password;
        const char* reply;
    };
    for (const Case& c :
         {Case{"zed", "pw", "NOT-REGISTERED\n"}, Case{"ann", "wrong", "BAD-PASSWORD\n"},
          Case{"ann", "", "BAD-PASSWORD\n"}, Case{"bob", "wrong", "BAD-PASSWORD\n"},
          Case{"bob", "pw2", "NOT-LOGGED-IN\n"}}) {
        EXPECT_EQ(Probe(c.user, c.password), c.reply) << c.user << " / " << c.password;
    }
    EXPECT_TRUE(probe_.Calls().empty());
    const EventReply reply = Send("event=onCheckReachable&userName=ann&password=pw");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "REACHABLE\n");
    EXPECT_EQ(reply.outcome, "REACHABLE (connected back to 10.0.0.7)");
    EXPECT_EQ(probe_.Calls(), std::vector<std::string>{"10.0.0.7 port 2000 within 3000 ms"});
}

TEST_F(ReachProbeEventTest, ConnectsOnlyToTheRequestsOwnAddress) {
    // A field naming another host or port changes nothing.
    EXPECT_EQ(
        Send("event=onCheckReachable&userName=ann&password=pw&ip=192.168.1.1&port=22", "fd00::5")
            .body,
        "REACHABLE\n");
    EXPECT_EQ(probe_.Calls(), std::vector<std::string>{"fd00::5 port 2000 within 3000 ms"});
    // A request without an address gets no connect-back.
    EXPECT_EQ(Send("event=onCheckReachable&userName=ann&password=pw", "").body,
              "NO-IPV4-ADDRESS\n");
    EXPECT_EQ(probe_.Calls().size(), 1u);
}

// Within a minute of a connect-back to an address, probes from it get that
// result again without a new connection; other addresses have their own minute.
TEST_F(ReachProbeEventTest, OneConnectBackPerAddressAndMinute) {
    EXPECT_EQ(Probe("ann", "pw"), "REACHABLE\n");
    probe_.answer = false;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Probe("ann", "pw"), "REACHABLE\n");
    }
    EXPECT_EQ(Send("event=onCheckReachable&userName=ann&password=pw").outcome,
              "REACHABLE (earlier result for 10.0.0.7)");
    EXPECT_EQ(probe_.Calls().size(), 1u);
    EXPECT_EQ(Probe("ann", "pw", "10.0.0.8"), "UNREACHABLE\n");
    EXPECT_EQ(probe_.Calls().size(), 2u);
    clock_.Advance(59s);
    EXPECT_EQ(Probe("ann", "pw"), "REACHABLE\n");
    clock_.Advance(1s);
    EXPECT_EQ(Probe("ann", "pw"), "UNREACHABLE\n");
    EXPECT_EQ(probe_.Calls().size(), 3u);
}

TEST(ReachProbeLimiterTest, ProbesArrivingTogetherShareOneConnectBack) {
    struct SlowProbe final : IReachProbe {
        bool Connect(const std::string&, int, std::chrono::milliseconds) override {
            ++calls;
            std::unique_lock<std::mutex> guard(lock);
            released.wait(guard, [this] { return release; });
            return true;
        }
        std::atomic<int> calls{0};
        std::mutex lock;
        std::condition_variable released;
        bool release = false;
    } probe;
    ReachProbeLimiter limiter(probe, {});
    std::vector<std::thread> askers;
    std::atomic<int> reachable{0};
    for (int i = 0; i < 4; ++i) {
        askers.emplace_back([&] { reachable += limiter.Check("10.0.0.7").reachable ? 1 : 0; });
    }
    ASSERT_TRUE(brindle::test::WaitFor([&] { return probe.calls.load() == 1; }, 5s));
    {
        std::lock_guard<std::mutex> guard(probe.lock);
        probe.release = true;
    }
    probe.released.notify_all();
    for (auto& asker : askers) {
        asker.join();
    }
    EXPECT_EQ(probe.calls.load(), 1);
    EXPECT_EQ(reachable.load(), 4);
}

TEST(ReachProbeEventWithoutProbeTest, IsAnUnknownEvent) {
    PasswordHasher::Initialize();
    brindle::test::TempDir dir;
    std::string error;
    auto store = SqliteStore::Open((dir.path() / "d.db").string(), error);
    ASSERT_TRUE(store) << error;
    PasswordHasher hasher(PasswordHasher::Minimum());
    EventDispatcher dispatcher(*store, hasher);
    const EventReply reply =
        dispatcher.Handle({"event=onCheckReachable&userName=a&password=b", "10.0.0.7"});
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.body, "UNKNOWN-EVENT\n");
}

// The real connect-back on loopback: an accepting listener gets "PING\n"; a
// closed port and one that never answers count as unreachable within the limit.
TEST(TcpReachProbeTest, ReachableClosedAndSilentPorts) {
    TcpReachProbe probe;
    int port = 0;
    Socket listener = brindle::test::ListenOnLoopback(4, port);
    ASSERT_TRUE(listener);
    EXPECT_TRUE(probe.Connect("127.0.0.1", port, 3000ms));
    Socket accepted = AcceptConnection(listener.fd());
    ASSERT_TRUE(accepted);
    EXPECT_EQ(brindle::test::ReadLines(accepted.fd(), 1), "PING\n");

    int closedPort = 0;
    { Socket gone = brindle::test::ListenOnLoopback(1, closedPort); }
    EXPECT_FALSE(probe.Connect("127.0.0.1", closedPort, 3000ms));
    EXPECT_FALSE(probe.Connect("not-an-address", port, 3000ms));

    brindle::test::UnansweredPort silent;
    if (!silent.Fill()) {
        GTEST_SKIP() << "the loopback listener's queue never filled";
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(probe.Connect("127.0.0.1", silent.port, 300ms));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 2s);
}

}  // namespace
}  // namespace brindle::server
