// A steady clock that moves only when a test moves it, safe to read from
// worker threads while the test thread advances it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "peer/peer_options.h"
#include "support/test_support.h"

namespace brindle::test {

class ManualSteadyClock {
  public:
    // The clock function; it stays valid as long as any copy of it is held.
    SteadyClock Get() const {
        return [ticks = ticks_] {
            return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ticks->load()));
        };
    }
    void Advance(std::chrono::nanoseconds by) { ticks_->fetch_add(by.count()); }
    std::chrono::nanoseconds elapsed() const { return std::chrono::nanoseconds(ticks_->load()); }

  private:
    std::shared_ptr<std::atomic<long long>> ticks_ = std::make_shared<std::atomic<long long>>(0);
};

// Moves `clock` on by `step` whenever `progress()` has stood still for
// `settle` of real time, until `done()` or `maxSteps` steps; returns the steps
// taken. The clock moves only when nothing else does, so a slow machine cannot
// waste a step, and the steps count the time the work needed on the clock.
inline int StepClockWhileStalled(
    ManualSteadyClock& clock, const std::function<bool()>& done,
    const std::function<long long()>& progress, std::chrono::nanoseconds step, int maxSteps,
    std::chrono::milliseconds settle = std::chrono::milliseconds(200)) {
    int steps = 0;
    long long seen = progress();
    while (!done() && steps < maxSteps) {
        if (!WaitFor([&] { return done() || progress() != seen; }, settle)) {
            clock.Advance(step);
            ++steps;
        }
        seen = progress();
    }
    return steps;
}

}  // namespace brindle::test
