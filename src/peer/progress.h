// The progress texts of a transfer row: "%d of %d", the rate "%#.2fks" and the
// "% Done" percentage, kept for transfers that move many bytes per call.
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include "peer/peer_options.h"

namespace brindle {

// Bytes between two rate and percentage updates: they fall due with byte 1025
// of a transfer and then with every 1025th byte after it.
inline constexpr long long kUpdateInterval = 1025;

std::string FormatSizeProgress(long long transferred, long long total);  // "%lld of %lld"
std::string FormatRate(double kibPerSecond);                             // "%#.2fks"
std::string FormatPercent(double percent);                               // "%#.2f%%"

class ProgressMeter {
  public:
    ProgressMeter(long long total, SteadyClock clock);

    // Records that `transferred` bytes have moved in all. True when the count
    // passed at least one update point, so the rate and percentage are due.
    bool Advance(long long transferred);

    std::string SizeText() const { return FormatSizeProgress(transferred_, total_); }
    // The rate over roughly the last second, in KiB per second.
    std::string RateText() const { return FormatRate(rate_); }
    // The percentage at the last update point passed: 100 / total x (point - 1),
    // the bytes moved before that point's byte.
    std::string DoneText() const;
    double rate() const { return rate_; }

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
