// The reachability status: the probe's answer decides, the mapping says how;
// the probe runs after each registration and on its interval; the mapping
// follows the preference and goes on exit.
#include "app/reachability_monitor.h"

#include <gtest/gtest.h>

#include <atomic>

#include "app/share_app.h"
#include "peer/peer_fixture.h"
#include "support/fake_router.h"
#include "support/scripted_server.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using Outcome = MappingAttempt::Outcome;
using test::FailedAnswer;
using test::FakeMappingProtocol;
using test::MappedAnswer;

MappingSnapshot Snapshot(MappingState state, MappingMethod method = MappingMethod::None) {
    MappingSnapshot snapshot;
    snapshot.state = state;
    snapshot.method = method;
    return snapshot;
}

TEST(ReachabilityStatusRules, TheProbeDecidesAndTheMappingExplains) {
    const struct {
        std::optional<ReachAnswer> probe;
        Reachability reachable;
    } cases[] = {
        {std::nullopt, Reachability::Unknown},
        {ReachAnswer::Reachable, Reachability::Reachable},
        {ReachAnswer::Unreachable, Reachability::NotReachable},
        {ReachAnswer::BadPassword, Reachability::Unknown},
        {ReachAnswer::NotLoggedIn, Reachability::Unknown},
        {ReachAnswer::Unknown, Reachability::Unknown},
    };
    for (const auto& c : cases) {
        const auto status =
            CombineReachability(Snapshot(MappingState::Mapped, MappingMethod::Upnp), c.probe, 2000);
        EXPECT_EQ(status.reachable, c.reachable);
        EXPECT_EQ(status.mapping.method, MappingMethod::Upnp);
    }
    MappingSnapshot conflict = Snapshot(MappingState::Conflict, MappingMethod::Upnp);
    conflict.reason = "port 2000 on the router is mapped to another machine (192.168.1.50)";
    const std::pair<MappingSnapshot, std::string> reasons[] = {
        {Snapshot(MappingState::Off),
         "port mapping is off and the directory could not connect "
         "to port 2000"},
        {Snapshot(MappingState::NoRouter), "no router answered NAT-PMP or UPnP"},
        {conflict, conflict.reason},
        {Snapshot(MappingState::Mapped, MappingMethod::NatPmp),
         "the router maps port 2000, but the directory could not connect to it"},
        {Snapshot(MappingState::Failed), "the directory could not connect to port 2000"},
    };
    for (const auto& [mapping, reason] : reasons) {
        EXPECT_EQ(NotReachableReason(CombineReachability(mapping, ReachAnswer::Unreachable, 2000)),
                  reason);
    }
}

class MonitorTest : public ::testing::Test {
  protected:
    ReachabilityOptions Options(std::vector<MappingAttempt> upnp) {
        ReachabilityOptions options;
        options.enabled = true;
        options.protocols = [this, upnp] {
            std::vector<std::unique_ptr<IMappingProtocol>> protocols;
            protocols.push_back(std::make_unique<FakeMappingProtocol>(
                MappingMethod::NatPmp,
                std::vector<MappingAttempt>{FailedAnswer(Outcome::NoRouter, "none")}, log));
            protocols.push_back(
                std::make_unique<FakeMappingProtocol>(MappingMethod::Upnp, upnp, log));
            return protocols;
        };
        return options;
    }
    void Make(ReachabilityOptions options) {
        monitor = std::make_unique<ReachabilityMonitor>(
            [this] {
                std::lock_guard<std::mutex> guard(lock);
                const std::size_t i = probed < answers.size() ? probed : answers.size() - 1;
                ++probed;
                return answers[i];
            },
            std::move(options));
        monitor->SetObserver([this](const ReachabilityStatus& status) {
            std::lock_guard<std::mutex> guard(lock);
            seen.push_back(status);
        });
    }
    bool WaitForStatus(Reachability reachable, MappingState mapping) {
        return test::WaitFor(
            [&] {
                const ReachabilityStatus status = monitor->status();
                return status.reachable == reachable && status.mapping.state == mapping;
            },
            5s);
    }

    FakeMappingProtocol::Log log;
    std::mutex lock;
    std::vector<ReachAnswer> answers{ReachAnswer::Reachable};
    std::size_t probed = 0;
    std::vector<ReachabilityStatus> seen;
    std::unique_ptr<ReachabilityMonitor> monitor;
};

TEST_F(MonitorTest, MappingThenProbeThenTheNextProbe) {
    answers = {ReachAnswer::Reachable, ReachAnswer::Unreachable};
    Make(Options({MappedAnswer("203.0.113.8", 3600s)}));
    monitor->Start(true);
    monitor->ProbeSoon();
    ASSERT_TRUE(WaitForStatus(Reachability::Reachable, MappingState::Mapped));
    EXPECT_EQ(monitor->status().mapping.externalAddress, "203.0.113.8");
    EXPECT_EQ(monitor->probes(), 1);
    monitor->ProbeSoon();
    ASSERT_TRUE(WaitForStatus(Reachability::NotReachable, MappingState::Mapped));
    monitor->Stop();
    std::lock_guard<std::mutex> guard(lock);
    // The probe waited for the mapping attempt: no status before it was probed.
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0].mapping.state, MappingState::Discovering);
    for (const ReachabilityStatus& status : seen) {
        if (status.probe) {
            EXPECT_NE(status.mapping.state, MappingState::Discovering);
        }
    }
    EXPECT_EQ(seen.back().reachable, Reachability::NotReachable);
    EXPECT_EQ(log.Get().back(), "UPnP unmap 2000");
}

TEST_F(MonitorTest, ProbesAgainOnItsInterval) {
    ReachabilityOptions options = Options({FailedAnswer(Outcome::NoRouter, "none")});
    options.probeInterval = 20ms;
    Make(std::move(options));
    monitor->Start(true);
    ASSERT_TRUE(test::WaitFor([&] { return monitor->probes() >= 3; }, 5s));
    EXPECT_EQ(monitor->status().reachable, Reachability::Reachable);
    EXPECT_EQ(monitor->status().mapping.state, MappingState::NoRouter);
}

TEST_F(MonitorTest, ThePreferenceStartsAndStopsTheMapping) {
    Make(Options({MappedAnswer("203.0.113.8", 3600s)}));
    monitor->Start(false);
    EXPECT_EQ(monitor->status().mapping.state, MappingState::Off);
    monitor->SetPortMapping(true);
    ASSERT_TRUE(WaitForStatus(Reachability::Unknown, MappingState::Mapped));
    monitor->SetPortMapping(false);
    EXPECT_EQ(monitor->status().mapping.state, MappingState::Off);
    EXPECT_EQ(log.Get().back(), "UPnP unmap 2000");
    monitor->Stop();
    EXPECT_EQ(monitor->probes(), 0);  // never asked: no registration, no interval passed
}

TEST_F(MonitorTest, NothingRunsWhenNotEnabled) {
    ReachabilityOptions options = Options({MappedAnswer("203.0.113.8", 3600s)});
    options.enabled = false;
    options.probeInterval = 1ms;
    Make(std::move(options));
    monitor->Start(true);
    monitor->ProbeSoon();
    EXPECT_FALSE(test::WaitFor([&] { return monitor->probes() > 0 || !log.Get().empty(); }, 100ms));
    EXPECT_EQ(monitor->status(), ReachabilityStatus{});
}

// In the application: a registration asks for a probe with the user's name
// and password, and exit removes the mapping before signing off.
TEST(AppReachability, RegistrationProbesAndExitRemovesTheMapping) {
    test::TempDir dir;
    test::FakeMessageBox messages;
    test::FakeConfigDialog dialog;
    test::HttpScriptedServer server(std::vector<std::string>{
        test::HttpReply("OK\n"), test::HttpReply("REACHABLE\n"), test::HttpReply("OK\n")});
    std::filesystem::create_directories(dir.path() / "share");
    dir.WriteFile("config.txt",
                  server.url() + "\nann\n" + (dir.path() / "share").string() + "/\nT1\npw\n");
    CShareApp app(UiPorts{&messages, nullptr, &dialog}, (dir.path() / "config.txt").string(),
                  (dir.path() / "preferences.conf").string());
    static_cast<void>(app.LoadPreferences());
    FakeMappingProtocol::Log log;
    ReachabilityOptions options;
    options.enabled = true;
    options.protocols = [&log] {
        std::vector<std::unique_ptr<IMappingProtocol>> protocols;
        protocols.push_back(std::make_unique<FakeMappingProtocol>(
            MappingMethod::NatPmp, std::vector<MappingAttempt>{MappedAnswer("203.0.113.7", 3600s)},
            log));
        return protocols;
    };
    std::atomic<int> changes{0};
    app.StartReachability(std::move(options), [&](const ReachabilityStatus&) { ++changes; });
    app.BeginStartUp();
    ASSERT_TRUE(app.LoadSettingsAndRegister());
    ASSERT_TRUE(test::WaitFor(
        [&] { return app.reachabilityStatus().reachable == Reachability::Reachable; }, 5s));
    EXPECT_EQ(app.reachabilityStatus().mapping.method, MappingMethod::NatPmp);
    EXPECT_GE(changes.load(), 2);
    ASSERT_GE(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].substr(server.requests()[1].find("\r\n\r\n") + 4),
              "event=onCheckReachable&userName=ann&password=pw");
    app.ExitApplication();
    EXPECT_EQ(log.Get().back(), "NAT-PMP unmap 2000");
    EXPECT_NE(server.LastBody().find("event=onUnregisterUser"), std::string::npos);
}

}  // namespace
}  // namespace brindle
