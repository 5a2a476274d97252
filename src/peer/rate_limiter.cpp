#include "peer/rate_limiter.h"

#include <algorithm>
#include <cmath>

namespace brindle {

RateLimiter::RateLimiter(SteadyClock clock) : clock_(std::move(clock)), refilled_(clock_()) {}

double RateLimiter::Burst() const {
    return std::max(static_cast<double>(rate()) / 10.0, 1.0);
}

void RateLimiter::Refill(std::chrono::steady_clock::time_point now) {
    if (now > refilled_ && limited()) {
        const double seconds = std::chrono::duration<double>(now - refilled_).count();
        tokens_ = std::min(Burst(), tokens_ + seconds * static_cast<double>(rate()));
    }
    refilled_ = std::max(refilled_, now);
}

void RateLimiter::SetRate(long long bytesPerSecond) {
    bytesPerSecond = std::max(bytesPerSecond, 0LL);
    {
        std::lock_guard<std::mutex> hold(lock_);
        Refill(clock_());
        const bool wasLimited = limited();
        rate_.store(bytesPerSecond, std::memory_order_relaxed);
        // A new limit starts with a full burst; a debt run up under a faster rate
        // is cut to what the new one pays off in a tenth of a second.
        const double burst = Burst();
        tokens_ = wasLimited ? std::clamp(tokens_, -burst, burst) : burst;
    }
    changed_.notify_all();
}

std::size_t RateLimiter::TakeLocked(std::size_t want, std::chrono::nanoseconds* wait) {
    if (!limited()) {
        return want;
    }
    Refill(clock_());
    if (tokens_ > 0) {
        const auto granted = static_cast<std::size_t>(
            std::clamp<double>(std::floor(Burst()), 1.0, static_cast<double>(want)));
        tokens_ -= static_cast<double>(granted);
        return granted;
    }
    const double seconds = (1.0 - tokens_) / static_cast<double>(rate());
    *wait = std::chrono::nanoseconds(static_cast<long long>(std::ceil(seconds * 1e9)));
    return 0;
}

std::size_t RateLimiter::TryTake(std::size_t want, std::chrono::nanoseconds* wait) {
    if (want == 0) {
        return 0;
    }
    std::lock_guard<std::mutex> hold(lock_);
    return TakeLocked(want, wait);
}

std::size_t RateLimiter::Acquire(std::size_t want, const std::function<bool()>& stop) {
    if (want == 0 || !limited()) {
        return want;
    }
    std::unique_lock<std::mutex> hold(lock_);
    const std::uint64_t ticket = nextTicket_++;
    turns_.push_back(ticket);
    for (;;) {
        if (stop && stop()) {
            turns_.erase(std::find(turns_.begin(), turns_.end(), ticket));
            hold.unlock();
            changed_.notify_all();
            return 0;
        }
        std::chrono::nanoseconds wait = kStopCheckInterval;
        if (turns_.front() == ticket) {
            const std::size_t granted = TakeLocked(want, &wait);
            if (granted > 0) {
                turns_.pop_front();
                hold.unlock();
                changed_.notify_all();
                return granted;
            }
        }
        changed_.wait_for(hold, std::min<std::chrono::nanoseconds>(wait, kStopCheckInterval));
    }
}

void RateLimiter::Return(std::size_t unused) {
    if (unused == 0 || !limited()) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        tokens_ = std::min(Burst(), tokens_ + static_cast<double>(unused));
    }
    changed_.notify_all();
}

void TransferPacer::Add(RateLimiter* limiter) {
    if (limiter != nullptr) {
        limiters_.push_back(limiter);
    }
}

std::size_t TransferPacer::Acquire(std::size_t want, const std::function<bool()>& stop) {
    std::size_t granted = want;
    for (std::size_t i = 0; i < limiters_.size(); ++i) {
        const std::size_t next = limiters_[i]->Acquire(granted, stop);
        // Bytes an earlier limiter granted beyond this one's go back to it.
        for (std::size_t earlier = 0; earlier < i; ++earlier) {
            limiters_[earlier]->Return(granted - next);
        }
        granted = next;
        if (granted == 0) {
            return 0;
        }
    }
    return granted;
}

void TransferPacer::Return(std::size_t unused) {
    for (RateLimiter* limiter : limiters_) {
        limiter->Return(unused);
    }
}

}  // namespace brindle
