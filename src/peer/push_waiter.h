// Keeps one request waiting at the directory for pushes and messages while
// this peer cannot accept connections (or always, when asked), and acts on
// what comes: a push is answered by connecting out, a message is shown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "directory/push_requests.h"
#include "peer/push_responder.h"

namespace brindle {

// "push_wait": when the waiting line is used. auto: once the reachability
// probe found this peer unreachable; always; never.
enum class PushWaitMode { Auto, Always, Never };

// "auto", "always" or "never"; none for anything else.
[[nodiscard]] std::optional<PushWaitMode> ParsePushWaitMode(const std::string& text);

class PushWaiter {
  public:
    struct Hooks {
        std::function<WaitReply()> wait;  // one waiting request to the directory
        std::function<void(const PushOrder&)> push;
        std::function<void(const std::string& from, const std::string& text)> message;
    };
    // A refused or failed wait is tried again after this long.
    static constexpr std::chrono::seconds kRetryDelay{5};

    PushWaiter(PushWaitMode mode, Hooks hooks, std::chrono::milliseconds retryDelay = kRetryDelay);
    // Stop.
    ~PushWaiter();
    PushWaiter(const PushWaiter&) = delete;
    PushWaiter& operator=(const PushWaiter&) = delete;

    void Start();
    // Ends the loop once the request in flight returns (the directory answers
    // it at once when the user signs off).
    void Stop();

    // What the reachability probe found: in auto mode the line is used only
    // while this is false. Unknown (none) counts as reachable.
    void SetReachable(std::optional<bool> reachable);
    // Whether the loop waits at the directory now.
    [[nodiscard]] bool active() const;

  private:
    void Run();
    bool ActiveLocked() const;

    const PushWaitMode mode_;
    const Hooks hooks_;
    const std::chrono::milliseconds retryDelay_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::optional<bool> reachable_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace brindle
