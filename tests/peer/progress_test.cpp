#include <gtest/gtest.h>

#include <atomic>

#include "peer/progress.h"
#include "peer/transfer_record.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;

// A clock that moves only when told to.
struct ManualClock {
    std::chrono::steady_clock::time_point now{};
    SteadyClock Get() {
        return [this] { return now; };
    }
};

TEST(ProgressTexts, UseTheRowFormats) {
    EXPECT_EQ(FormatRate(0.0), "0.00ks");
    EXPECT_EQ(FormatRate(20.48), "20.48ks");
    EXPECT_EQ(FormatPercent(100.0), "100.00%");
    EXPECT_EQ(FormatSizeProgress(5000000000LL, 6000000000LL), "5000000000 of 6000000000");
}

TEST(ProgressMeter, ShowsThePercentageOfEachUpdatePointOfA3000ByteFile) {
    ManualClock clock;
    ProgressMeter meter(3000, clock.Get());
    EXPECT_FALSE(meter.Advance(1024));
    EXPECT_EQ(FormatPercent(meter.percent()), "0.00%");
    EXPECT_TRUE(meter.Advance(1025));
    EXPECT_EQ(FormatPercent(meter.percent()), "34.13%");
    EXPECT_FALSE(meter.Advance(2049));
    EXPECT_EQ(FormatPercent(meter.percent()), "34.13%");
    EXPECT_TRUE(meter.Advance(2050));
    EXPECT_EQ(FormatPercent(meter.percent()), "68.30%");
    EXPECT_FALSE(meter.Advance(3000));
    EXPECT_EQ(FormatSizeProgress(meter.transferred(), meter.total()), "3000 of 3000");
}

TEST(ProgressMeter, ABlockPassingSeveralPointsShowsTheLastOne) {
    ManualClock clock;
    ProgressMeter meter(3000, clock.Get());
    EXPECT_TRUE(meter.Advance(3000));
    EXPECT_EQ(FormatPercent(meter.percent()), "68.30%");
}

TEST(ProgressMeter, SmallFilesReachAtMostOnePoint) {
    ManualClock clock;
    ProgressMeter exact(1025, clock.Get());
    EXPECT_TRUE(exact.Advance(1025));
    EXPECT_EQ(FormatPercent(exact.percent()), "99.90%");

    ProgressMeter below(1024, clock.Get());
    EXPECT_FALSE(below.Advance(1024));
    EXPECT_EQ(FormatPercent(below.percent()), "0.00%");

    ProgressMeter half(2048, clock.Get());
    EXPECT_TRUE(half.Advance(1025));
    EXPECT_EQ(FormatSizeProgress(half.transferred(), half.total()), "1025 of 2048");
    EXPECT_EQ(FormatPercent(half.percent()), "50.00%");
}

TEST(ProgressMeter, RateIsKibPerSecondOverAboutTheLastSecond) {
    ManualClock clock;
    ProgressMeter meter(1LL << 40, clock.Get());
    clock.now += 500ms;
    ASSERT_TRUE(meter.Advance(512 * 1024));
    EXPECT_EQ(FormatRate(meter.rate()), "1024.00ks");

    // Three seconds at 1 MiB/s, then one at 4 MiB/s: the rate follows the last second.
    long long total = 512 * 1024;
    for (int step = 0; step < 30; ++step) {
        clock.now += 100ms;
        total += 1024 * 1024 / 10;
        meter.Advance(total);
    }
    EXPECT_NEAR(meter.rate(), 1024.0, 60.0);
    for (int step = 0; step < 10; ++step) {
        clock.now += 100ms;
        total += 4 * 1024 * 1024 / 10;
        meter.Advance(total);
    }
    EXPECT_NEAR(meter.rate(), 4096.0, 150.0);
}

TEST(ProgressMeter, BytesKeptFromAnEarlierAttemptCountInThePercentageNotTheRate) {
    ManualClock clock;
    ProgressMeter meter(2 * 1024 * 1024, clock.Get(), 1024 * 1024);
    clock.now += 500ms;
    ASSERT_TRUE(meter.Advance(1024 * 1024 + 512 * 1024));
    EXPECT_EQ(FormatRate(meter.rate()), "1024.00ks");
    EXPECT_NEAR(meter.percent(), 75.0, 0.1);
}

}  // namespace
}  // namespace brindle
