#include "peer/progress.h"

namespace brindle {

namespace {

constexpr auto kRateWindow = std::chrono::seconds(1);
// Samples closer together than this are merged, so the history stays short.
constexpr auto kSampleSpacing = std::chrono::milliseconds(50);

}  // namespace

ProgressMeter::ProgressMeter(long long total, SteadyClock clock, long long start)
    : total_(total),
      clock_(std::move(clock)),
      transferred_(start),
      lastPoint_(start / kUpdateInterval) {
    samples_.push_back({clock_(), start});
}

bool ProgressMeter::Advance(long long transferred) {
    transferred_ = transferred;
    long long point = transferred / kUpdateInterval;
    auto now = clock_();
    if (now - samples_.back().when >= kSampleSpacing) {
        samples_.push_back({now, transferred});
        DropOldSamples(now);
    }
    if (point == lastPoint_) {
        return false;
    }
    lastPoint_ = point;
    UpdateRate(now);
    return true;
}

void ProgressMeter::DropOldSamples(std::chrono::steady_clock::time_point now) {
    // Keep the newest sample that is at least a window old as the start.
    while (samples_.size() > 1 && now - samples_[1].when >= kRateWindow) {
        samples_.pop_front();
    }
}

void ProgressMeter::UpdateRate(std::chrono::steady_clock::time_point now) {
    DropOldSamples(now);
    const Sample& from = samples_.front();
    double seconds = std::chrono::duration<double>(now - from.when).count();
    if (seconds > 0) {
        rate_ = static_cast<double>(transferred_ - from.bytes) / 1024.0 / seconds;
    }
}

double ProgressMeter::percent() const {
    if (lastPoint_ == 0 || total_ <= 0) {
        return 0.0;
    }
    return 100.0 / static_cast<double>(total_) *
           static_cast<double>(lastPoint_ * kUpdateInterval - 1);
}

}  // namespace brindle
