// The limits all transfers of one running copy share: how many uploads may run
// at once and one rate limit for each direction, changeable while they run.
#pragma once

#include <atomic>
#include <cstddef>

#include "base/preferences.h"
#include "peer/peer_options.h"
#include "peer/rate_limiter.h"

namespace brindle {

class TransferLimits {
  public:
    explicit TransferLimits(const SteadyClock& clock = [] {
        return std::chrono::steady_clock::now();
    });
    TransferLimits(const TransferLimits&) = delete;
    TransferLimits& operator=(const TransferLimits&) = delete;

    // Takes the slots and rates of `preferences`. New upload requests see the
    // slots; running transfers see the rates at once. Running uploads are
    // never cut when the slots shrink.
    void Apply(const Preferences& preferences);

    // Uploads that may run at once (the listener's own ceiling still holds).
    [[nodiscard]] std::size_t uploadSlots() const {
        return uploadSlots_.load(std::memory_order_relaxed);
    }
    RateLimiter& uploads() { return uploads_; }
    RateLimiter& downloads() { return downloads_; }

  private:
    std::atomic<std::size_t> uploadSlots_{kDefaultUploadSlots};
    RateLimiter uploads_;
    RateLimiter downloads_;
};

}  // namespace brindle
