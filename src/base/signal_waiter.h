// Signals taken by waiting for them on a thread instead of by handlers.
#pragma once

#include <signal.h>

#include <chrono>
#include <optional>
#include <vector>

namespace brindle {

// Blocks `signals` on the calling thread only; threads it starts afterwards
// inherit the block.
void BlockSignals(const std::vector<int>& signals);

// Blocks a set of signals on the calling thread, where they stay pending until
// a wait takes them; threads started afterwards inherit the block, so none of
// them is picked to receive one. The block outlives the waiter on purpose: a
// signal that comes late stays pending rather than taking its default action.
class SignalWaiter {
  public:
    explicit SignalWaiter(const std::vector<int>& signals);

    // Waits for one of the signals, at most `limit` when one is given. The
    // signal taken; none on time-out or when a handled signal cut the wait short.
    [[nodiscard]] std::optional<int> Wait(
        std::optional<std::chrono::milliseconds> limit = std::nullopt) const;

  private:
    sigset_t signals_;
};

}  // namespace brindle
