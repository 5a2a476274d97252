// The server's counters for Prometheus: requests by event and outcome, the
// time POST requests take, and the store's own figures, rendered in the text
// exposition format. Counting is lock-free; any thread may count or render.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/store/directory_store.h"

namespace brindle::server {

// Label values are fixed sets, so a client cannot make up new series.
enum class MetricEvent { Register, Unregister, Lookup, Search, Other };
enum class MetricOutcome { Ok, Refused, Unavailable, Error, Dropped };

// The event a reply's event name stands for; Other for anything unknown.
MetricEvent MetricEventFromName(std::string_view name);
// 2xx ok, 4xx refused, 503 unavailable, other 5xx error; 0 (no reply) dropped.
MetricOutcome MetricOutcomeFromStatus(int status);

class ServerMetrics {
  public:
    static constexpr std::array<double, 13> kBucketBounds = {
        0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

    void CountRequest(MetricEvent event, MetricOutcome outcome);
    void ObserveDuration(double seconds);

    // The whole exposition, store figures included (`databaseUp` from
    // DirectoryStore::Reachable, `store` from DirectoryStore::Statistics).
    [[nodiscard]] std::string Render(bool databaseUp, const StoreStatistics& store,
                                     std::size_t waitingForPush) const;

  private:
    static constexpr std::size_t kEvents = 5;
    static constexpr std::size_t kOutcomes = 5;

    std::array<std::atomic<std::uint64_t>, kEvents * kOutcomes> requests_{};
    // Per bucket, not cumulative; the last one takes what is beyond every bound.
    std::array<std::atomic<std::uint64_t>, kBucketBounds.size() + 1> buckets_{};
    std::atomic<std::uint64_t> nanoseconds_{0};
};

}  // namespace brindle::server
