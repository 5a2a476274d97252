// The progress of a transfer row: bytes moved, the rate and the "% Done"
// percentage, kept for transfers that move many bytes per call.
#pragma once

#include <chrono>
#include <deque>

#include "peer/peer_options.h"

namespace brindle {

// Bytes between two rate and percentage updates: they fall due with byte 1025
// of a transfer and then with every 1025th byte after it.
inline constexpr long long kUpdateInterval = 1025;

class ProgressMeter {
  public:
    // `start` bytes were there before this meter began (a continued download):
    // they count toward the percentage, never toward the rate.
    ProgressMeter(long long total, SteadyClock clock, long long start = 0);

    // Records that `transferred` bytes have moved in all. True when the count
    // passed at least one update point, so the rate and percentage are due.
    bool Advance(long long transferred);

    [[nodiscard]] long long transferred() const { return transferred_; }
    [[nodiscard]] long long total() const { return total_; }
    // The rate over roughly the last second, in KiB per second.
    [[nodiscard]] double rate() const { return rate_; }
    // The percentage at the last update point passed: 100 / total x (point - 1),
    // the bytes moved before that point's byte.
    [[nodiscard]] double percent() const;

  private:
    struct Sample {
        std::chrono::steady_clock::time_point when;
        long long bytes;
    };
    void DropOldSamples(std::chrono::steady_clock::time_point now);
    void UpdateRate(std::chrono::steady_clock::time_point now);

    long long total_;
    SteadyClock clock_;
    long long transferred_ = 0;
    long long lastPoint_ = 0;
    double rate_ = 0.0;
    std::deque<Sample> samples_;
};

}  // namespace brindle
