// Port-mapping logic without a router: which protocol is asked, lease
// renewal at half-life on the test's clock, conflicts never taken over, and
// the mapping removed when the mapper stops.
#include "net/port_mapper.h"

#include <gtest/gtest.h>

#include "support/fake_router.h"
#include "support/manual_clock.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using Outcome = MappingAttempt::Outcome;
using test::FailedAnswer;
using test::FakeMappingProtocol;
using test::MappedAnswer;

TEST(PortMapperRules, WhoHoldsTheRoutersEntry) {
    EXPECT_EQ(ClassifyExistingMapping("", "192.168.1.5"), ExistingMapping::None);
    EXPECT_EQ(ClassifyExistingMapping("192.168.1.5", "192.168.1.5"), ExistingMapping::ThisMachine);
    EXPECT_EQ(ClassifyExistingMapping("192.168.1.50", "192.168.1.5"),
              ExistingMapping::OtherMachine);
}

TEST(PortMapperRules, RenewsAtHalfTheGrantedLeaseAndRetriesFailuresLater) {
    const PortMapperOptions options;
    const struct {
        MappingAttempt attempt;
        std::chrono::seconds delay;
    } cases[] = {
        {MappedAnswer("203.0.113.7", 3600s), 1800s},
        {MappedAnswer("203.0.113.7", 7200s), 3600s},  // the router may grant more
        {MappedAnswer("203.0.113.7", 30s), 60s},      // never sooner than a minute
        {MappedAnswer("203.0.113.7", 0s), 1800s},     // permanent: checked at half the asked lease
        {FailedAnswer(Outcome::Conflict, "held"), 600s},
        {FailedAnswer(Outcome::NoRouter, "none"), 600s},
        {FailedAnswer(Outcome::Failed, "refused"), 600s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NextAttemptDelay(c.attempt, options), c.delay) << c.attempt.lease.count();
    }
}

class PortMapperTest : public ::testing::Test {
  protected:
    void Start(std::vector<MappingAttempt> natPmp, std::vector<MappingAttempt> upnp) {
        std::vector<std::unique_ptr<IMappingProtocol>> protocols;
        protocols.push_back(
            std::make_unique<FakeMappingProtocol>(MappingMethod::NatPmp, std::move(natPmp), log));
        protocols.push_back(
            std::make_unique<FakeMappingProtocol>(MappingMethod::Upnp, std::move(upnp), log));
        PortMapperOptions options;
        options.clock = clock.Get();
        mapper = std::make_unique<PortMapper>(std::move(protocols), options);
        mapper->Start();
    }
    bool WaitForRequests(std::size_t count) {
        return test::WaitFor([&] { return log.Get().size() >= count; }, 5s);
    }
    bool WaitForState(MappingState state) {
        return test::WaitFor([&] { return mapper->snapshot().state == state; }, 5s);
    }
    // Nothing more is asked for a while of real time.
    bool StaysAt(std::size_t count) {
        return !test::WaitFor([&] { return log.Get().size() > count; }, 100ms);
    }

    FakeMappingProtocol::Log log;
    test::ManualSteadyClock clock;
    std::unique_ptr<PortMapper> mapper;
};

TEST_F(PortMapperTest, NatPmpMappingIsRenewedAtHalfLifeAndRemovedOnStop) {
    Start({MappedAnswer("203.0.113.7", 3600s)}, {MappedAnswer("203.0.113.8", 3600s)});
    ASSERT_TRUE(WaitForState(MappingState::Mapped));
    const MappingSnapshot mapped = mapper->snapshot();
    EXPECT_EQ(mapped.method, MappingMethod::NatPmp);
    EXPECT_EQ(mapped.externalAddress, "203.0.113.7");
    EXPECT_EQ(mapped.externalPort, 2000);
    clock.Advance(1799s);
    EXPECT_TRUE(StaysAt(1));
    clock.Advance(1s);
    ASSERT_TRUE(WaitForRequests(2));
    clock.Advance(1800s);
    ASSERT_TRUE(WaitForRequests(3));
    mapper->Stop();
    mapper->Stop();
    EXPECT_EQ(log.Get(), (std::vector<std::string>{
                             "NAT-PMP map 2000 for 3600 s", "NAT-PMP map 2000 for 3600 s",
                             "NAT-PMP map 2000 for 3600 s", "NAT-PMP unmap 2000"}));
}

TEST_F(PortMapperTest, UpnpIsAskedWhenNoNatPmpRouterAnswers) {
    Start({FailedAnswer(Outcome::NoRouter, "no NAT-PMP answer from the gateway")},
          {MappedAnswer("203.0.113.8", 3600s)});
    ASSERT_TRUE(WaitForState(MappingState::Mapped));
    EXPECT_EQ(mapper->snapshot().method, MappingMethod::Upnp);
    EXPECT_EQ(mapper->snapshot().externalAddress, "203.0.113.8");
    clock.Advance(1800s);
    ASSERT_TRUE(WaitForRequests(3));  // the renewal goes to the router that mapped
    mapper.reset();                   // the destructor removes the mapping too
    EXPECT_EQ(log.Get(),
              (std::vector<std::string>{"NAT-PMP map 2000 for 3600 s", "UPnP map 2000 for 3600 s",
                                        "UPnP map 2000 for 3600 s", "UPnP unmap 2000"}));
}

// A port held by another machine is reported, asked about again only after
// the retry time, and nothing is removed on exit.
TEST_F(PortMapperTest, AConflictIsReportedAndNeverTakenOver) {
    Start({FailedAnswer(Outcome::NoRouter, "no NAT-PMP answer from the gateway")},
          {FailedAnswer(Outcome::Conflict,
                        "port 2000 on the router is mapped to another machine (192.168.1.50)")});
    ASSERT_TRUE(WaitForState(MappingState::Conflict));
    EXPECT_EQ(mapper->snapshot().method, MappingMethod::Upnp);
    EXPECT_EQ(mapper->snapshot().reason,
              "port 2000 on the router is mapped to another machine (192.168.1.50)");
    clock.Advance(599s);
    EXPECT_TRUE(StaysAt(2));
    clock.Advance(1s);
    ASSERT_TRUE(WaitForRequests(4));
    mapper->Stop();
    for (const std::string& request : log.Get()) {
        EXPECT_EQ(request.find("unmap"), std::string::npos) << request;
    }
}

TEST_F(PortMapperTest, NoRouterAndAFailedRenewal) {
    Start({MappedAnswer("203.0.113.7", 3600s),
           FailedAnswer(Outcome::Failed, "the router refused the NAT-PMP mapping (-51)"),
           FailedAnswer(Outcome::NoRouter, "no NAT-PMP answer from the gateway")},
          {FailedAnswer(Outcome::NoRouter, "no UPnP router answered")});
    ASSERT_TRUE(WaitForState(MappingState::Mapped));
    clock.Advance(1800s);
    // The failed renewal is reported, and the next round asks every protocol.
    ASSERT_TRUE(WaitForState(MappingState::Failed));
    EXPECT_EQ(mapper->snapshot().reason, "the router refused the NAT-PMP mapping (-51)");
    clock.Advance(600s);
    ASSERT_TRUE(WaitForState(MappingState::NoRouter));
    EXPECT_EQ(mapper->snapshot().method, MappingMethod::None);
    mapper->Stop();
    EXPECT_EQ(log.Get(), (std::vector<std::string>{
                             "NAT-PMP map 2000 for 3600 s", "NAT-PMP map 2000 for 3600 s",
                             "NAT-PMP map 2000 for 3600 s", "UPnP map 2000 for 3600 s"}));
}

}  // namespace
}  // namespace brindle
