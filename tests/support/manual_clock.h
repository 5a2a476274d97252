// A steady clock that moves only when a test moves it, safe to read from
// worker threads while the test thread advances it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "peer/peer_options.h"

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

}  // namespace brindle::test
