#include "peer/transfer_limits.h"

#include <algorithm>

namespace brindle {

TransferLimits::TransferLimits(const SteadyClock& clock) : uploads_(clock), downloads_(clock) {}

void TransferLimits::Apply(const Preferences& preferences) {
    uploadSlots_.store(std::clamp<std::size_t>(preferences.uploadSlots, 1, kMaxUploadSlots),
                       std::memory_order_relaxed);
    const auto bytes = [](long long kib) { return std::clamp(kib, 0LL, kMaxRateLimitKiB) * 1024; };
    uploads_.SetRate(bytes(preferences.uploadLimitKiB));
    downloads_.SetRate(bytes(preferences.downloadLimitKiB));
}

}  // namespace brindle
