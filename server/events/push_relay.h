// The waiting line: peers that cannot accept connections keep one request
// open with the directory, and pushes and messages meant for them are handed
// to that request. Independent of HTTP: a waiting request is a callback that
// is called exactly once with the reply body.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle::server {

struct PushRelayOptions {
    // A waiting request is answered "NONE\n" after this long.
    std::chrono::milliseconds waitTimeout = std::chrono::seconds(60);
    // Pushes and messages one user may ask for per minute.
    std::size_t sendsPerMinute = 30;
    // Lines kept for a user between two of its waiting requests, and how long.
    std::size_t maxQueuedPerUser = 16;
    std::chrono::milliseconds queueKeep = std::chrono::seconds(30);
    // Users waiting at once; a request past it is answered "BUSY\n".
    std::size_t maxWaiting = 100000;
};

class PushRelay {
  public:
    using Clock = std::chrono::steady_clock;
    // Receives the reply body of a waiting request; called once, never with
    // the relay's lock held.
    using Answer = std::function<void(const std::string& body)>;

    explicit PushRelay(PushRelayOptions options = {});

    enum class Waited { Parked, Answered, Busy };
    // Parks a waiting request of `user`. A line queued for the user answers it
    // at once (Answered, `answer` already called); a request of the same user
    // already waiting is answered "NONE\n" and replaced.
    Waited Wait(const std::string& user, Answer answer);

    enum class Sent { Delivered, Queued, NotWaiting, RateLimited };
    // Hands `line` (ending in "\n") to `target`'s waiting request, or queues it
    // when the target waited lately and is between two requests.
    Sent Send(std::string_view from, const std::string& target, std::string line);

    // Send for a line another node of the same directory forwarded: not
    // counted against any sender; dropped when `target` does not wait here.
    Sent Deliver(const std::string& target, std::string line);

    // Answers "NONE\n" to the requests waiting longer than the timeout and
    // drops stale queued lines and rate counters.
    void ExpireDue(Clock::time_point now = Clock::now());
    // Answers "NONE\n" to the request of `user` if one waits and drops the
    // lines kept for it: the user signed off.
    void Release(const std::string& user);
    // Answers "NONE\n" to every waiting request, for a stopping server.
    void ReleaseAll();

    [[nodiscard]] std::size_t waiting() const;
    [[nodiscard]] const PushRelayOptions& options() const { return options_; }

  private:
    struct Queued {
        std::string line;
        Clock::time_point at;
    };
    struct Mailbox {
        Answer answer;  // empty while the user has no request waiting
        Clock::time_point since{};
        Clock::time_point lastWait{};
        std::deque<Queued> queued;
    };
    struct Window {
        Clock::time_point start{};
        std::size_t count = 0;
    };

    // Under the lock: hands `line` to the target's waiting request (moved to
    // `answer`, to be called once the lock is let go) or queues it.
    Sent HandOver(const std::string& target, std::string& line, Answer& answer,
                  Clock::time_point now);

    PushRelayOptions options_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, Mailbox> boxes_;
    std::unordered_map<std::string, Window> rates_;
    std::size_t waiting_ = 0;
};

}  // namespace brindle::server
