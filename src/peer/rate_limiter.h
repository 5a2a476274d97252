// Rate limits of transfers: a token bucket that the transfers of one direction
// share, and the set of buckets one transfer is held to.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "peer/peer_options.h"

namespace brindle {

// Bytes may go at the set rate, with a burst of a tenth of a second's worth.
// Waiting transfers take their turns in the order they came, so none starves.
// The rate may change at any time; waiting transfers see the change at once.
class RateLimiter {
  public:
    explicit RateLimiter(SteadyClock clock = [] { return std::chrono::steady_clock::now(); });
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;

    // Bytes per second; 0 is no limit.
    void SetRate(long long bytesPerSecond);
    [[nodiscard]] long long rate() const { return rate_.load(std::memory_order_relaxed); }
    [[nodiscard]] bool limited() const { return rate() > 0; }

    // Waits until some of `want` bytes may go and gives how many (1 to `want`;
    // all of them without a limit). 0 when `stop` said to stop first: it is
    // asked at least every kStopCheckInterval while waiting.
    [[nodiscard]] std::size_t Acquire(std::size_t want, const std::function<bool()>& stop);
    // Gives back bytes acquired but not moved.
    void Return(std::size_t unused);

    // Without waiting and out of turn: the bytes of `want` that may go now, or
    // 0 and how long until some may (in `wait`).
    [[nodiscard]] std::size_t TryTake(std::size_t want, std::chrono::nanoseconds* wait);

    static constexpr std::chrono::milliseconds kStopCheckInterval{20};

  private:
    [[nodiscard]] double Burst() const;
    void Refill(std::chrono::steady_clock::time_point now);
    std::size_t TakeLocked(std::size_t want, std::chrono::nanoseconds* wait);

    SteadyClock clock_;
    std::atomic<long long> rate_{0};
    std::mutex lock_;
    std::condition_variable changed_;
    double tokens_ = 0;  // may fall below 0 after a take: the debt is waited off
    std::chrono::steady_clock::time_point refilled_;
    std::uint64_t nextTicket_ = 0;
    std::deque<std::uint64_t> turns_;  // tickets of the waiting transfers, oldest first
};

// The limiters one transfer is held to, each in turn.
class TransferPacer {
  public:
    // A null limiter is left out.
    void Add(RateLimiter* limiter);
    // How many of `want` bytes may go now, after waiting for every limiter;
    // `want` when there is no limit. 0 when `stop` said to stop.
    [[nodiscard]] std::size_t Acquire(std::size_t want, const std::function<bool()>& stop);
    // Gives back to every limiter bytes acquired but not moved.
    void Return(std::size_t unused);

  private:
    std::vector<RateLimiter*> limiters_;
};

}  // namespace brindle
