#include "peer/push_waiter.h"

#include <utility>

namespace brindle {

std::optional<PushWaitMode> ParsePushWaitMode(const std::string& text) {
    if (text == "auto") {
        return PushWaitMode::Auto;
    }
    if (text == "always") {
        return PushWaitMode::Always;
    }
    if (text == "never") {
        return PushWaitMode::Never;
    }
    return std::nullopt;
}

PushWaiter::PushWaiter(PushWaitMode mode, Hooks hooks, std::chrono::milliseconds retryDelay)
    : mode_(mode), hooks_(std::move(hooks)), retryDelay_(retryDelay) {}

PushWaiter::~PushWaiter() {
    Stop();
}

void PushWaiter::Start() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!thread_.joinable() && mode_ != PushWaitMode::Never) {
        stopping_ = false;
        thread_ = std::thread([this] { Run(); });
    }
}

void PushWaiter::Stop() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        ending = std::move(thread_);
    }
    changed_.notify_all();
    if (ending.joinable()) {
        ending.join();
    }
}

void PushWaiter::SetReachable(std::optional<bool> reachable) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        reachable_ = reachable;
    }
    changed_.notify_all();
}

bool PushWaiter::active() const {
    std::lock_guard<std::mutex> hold(lock_);
    return ActiveLocked();
}

bool PushWaiter::ActiveLocked() const {
    switch (mode_) {
        case PushWaitMode::Always:
            return true;
        case PushWaitMode::Auto:
            return reachable_.has_value() && !*reachable_;
        case PushWaitMode::Never:
            break;
    }
    return false;
}

void PushWaiter::Run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return stopping_ || ActiveLocked(); });
        if (stopping_) {
            return;
        }
        hold.unlock();
        WaitReply reply = hooks_.wait();
        bool retryLater = false;
        switch (reply.kind) {
            case WaitReply::Kind::Push:
                if (auto order = ParsePushLine(reply.line); order && hooks_.push) {
                    hooks_.push(*order);
                }
                break;
            case WaitReply::Kind::Message: {
                std::string from, text;
                if (ParseRelayedMessage(reply.line, from, text) && hooks_.message) {
                    hooks_.message(from, text);
                }
                break;
            }
            case WaitReply::Kind::None:
                break;
            case WaitReply::Kind::Refused:
            case WaitReply::Kind::Failed:
                retryLater = true;
                break;
        }
        hold.lock();
        if (retryLater) {
            changed_.wait_for(hold, retryDelay_, [this] { return stopping_; });
        }
    }
}

}  // namespace brindle
