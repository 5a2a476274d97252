#include "peer/rate_limiter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/manual_clock.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;

constexpr long long kRate = 10240;  // bytes per second: a burst of 1024 bytes

// Takes what may go now, as many times as it is granted.
std::size_t TakeAll(RateLimiter& limiter, std::chrono::nanoseconds* wait) {
    std::size_t total = 0;
    while (std::size_t granted = limiter.TryTake(1 << 20, wait)) {
        total += granted;
    }
    return total;
}

TEST(RateLimiter, GrantsABurstThenTheRateAndSaysHowLongToWait) {
    test::ManualSteadyClock clock;
    RateLimiter limiter(clock.Get());
    limiter.SetRate(kRate);
    std::chrono::nanoseconds wait{};
    EXPECT_EQ(TakeAll(limiter, &wait), 1024u);  // a tenth of a second's worth
    EXPECT_GT(wait, 0ns);
    EXPECT_LE(wait, 1ms);
    // Over ten seconds the bytes granted follow the rate, never more than one
    // burst ahead of it.
    std::size_t granted = 1024;
    for (int step = 0; step < 100; ++step) {
        clock.Advance(100ms);
        granted += TakeAll(limiter, &wait);
        const long long allowed = kRate * (step + 1) / 10;
        EXPECT_LE(static_cast<long long>(granted), allowed + 2 * 1024) << step;
        EXPECT_GE(static_cast<long long>(granted), allowed) << step;
    }
    // Bytes given back may go again at once.
    limiter.Return(500);
    EXPECT_EQ(limiter.TryTake(500, &wait), 500u);
}

// Idle time banks at most one burst: after a long pause the next bytes still
// keep to the rate instead of going out in one large burst.
TEST(RateLimiter, IdleTimeBanksAtMostOneBurst) {
    test::ManualSteadyClock clock;
    RateLimiter limiter(clock.Get());
    limiter.SetRate(kRate);
    std::chrono::nanoseconds wait{};
    EXPECT_EQ(TakeAll(limiter, &wait), 1024u);
    clock.Advance(10s);
    EXPECT_EQ(TakeAll(limiter, &wait), 1024u);
    EXPECT_GT(wait, 0ns);
    // One transfer holds a burst it has not moved while the bank fills again and
    // another takes a byte; what the first gives back tops the bank up to a burst.
    clock.Advance(10s);
    ASSERT_EQ(limiter.TryTake(1, &wait), 1u);
    limiter.Return(1024);
    EXPECT_EQ(TakeAll(limiter, &wait), 1024u);
}

TEST(RateLimiter, ASlowerRateHoldsWithinATenthOfASecondAndNoLimitFreesAll) {
    test::ManualSteadyClock clock;
    RateLimiter limiter(clock.Get());
    limiter.SetRate(100 * kRate);
    std::chrono::nanoseconds wait{};
    EXPECT_EQ(limiter.TryTake(1 << 20, &wait), 102400u);
    clock.Advance(1ms);
    EXPECT_EQ(limiter.TryTake(1 << 20, &wait), 102400u);  // runs up a debt of 0.1 s
    // The debt run up under the fast rate does not hold the slow one up for 10 s.
    limiter.SetRate(kRate);
    EXPECT_EQ(limiter.TryTake(1 << 20, &wait), 0u);
    EXPECT_LE(wait, 101ms);
    clock.Advance(wait);
    EXPECT_EQ(limiter.TryTake(1 << 20, &wait), 1024u);
    limiter.SetRate(0);
    EXPECT_EQ(limiter.TryTake(1 << 20, &wait), std::size_t{1} << 20);
    EXPECT_EQ(limiter.Acquire(12345, nullptr), 12345u);
}

TEST(RateLimiter, AWaiterStopsWhenAskedAndLeavesTheLine) {
    test::ManualSteadyClock clock;  // no byte comes due until the test moves it
    RateLimiter limiter(clock.Get());
    limiter.SetRate(10);
    ASSERT_EQ(limiter.Acquire(10, nullptr), 1u);
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::size_t stopped = 1;
    std::thread waiter([&] {
        stopped = limiter.Acquire(10, [&] { return stop.load(); });
        done = true;
    });
    stop = true;
    ASSERT_TRUE(test::WaitFor([&] { return done.load(); }, 5s));
    waiter.join();
    EXPECT_EQ(stopped, 0u);
    // The next one in line is not held up behind the one that stopped.
    std::atomic<std::size_t> next{0};
    std::atomic<bool> giveUp{false};
    std::thread later([&] { next = limiter.Acquire(10, [&] { return giveUp.load(); }); });
    clock.Advance(100ms);
    EXPECT_TRUE(test::WaitFor([&] { return next.load() == 1u; }, 5s));
    giveUp = true;
    later.join();
}

}  // namespace
}  // namespace brindle
