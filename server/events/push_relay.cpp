#include "server/events/push_relay.h"

#include <utility>

namespace brindle::server {
namespace {

constexpr char kNone[] = "NONE\n";

}  // namespace

PushRelay::PushRelay(PushRelayOptions options) : options_(options) {}

PushRelay::Waited PushRelay::Wait(const std::string& user, Answer answer) {
    Answer replaced;
    Answer answerNow;
    std::string line;
    Waited outcome = Waited::Parked;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto now = Clock::now();
        auto found = boxes_.find(user);
        bool waitingAlready = found != boxes_.end() && found->second.answer;
        if (!waitingAlready && waiting_ >= options_.maxWaiting) {
            outcome = Waited::Busy;
        } else {
            Mailbox& box = boxes_[user];
            box.lastWait = now;
            while (!box.queued.empty() && now - box.queued.front().at > options_.queueKeep) {
                box.queued.pop_front();
            }
            if (box.answer) {
                replaced = std::exchange(box.answer, nullptr);
                --waiting_;
            }
            if (!box.queued.empty()) {
                line = std::move(box.queued.front().line);
                box.queued.pop_front();
                outcome = Waited::Answered;
                answerNow = std::move(answer);
            } else {
                box.answer = std::move(answer);
                box.since = now;
                ++waiting_;
            }
        }
    }
    if (replaced) {
        replaced(kNone);
    }
    if (answerNow) {
        answerNow(line);
    }
    return outcome;
}

PushRelay::Sent PushRelay::Send(std::string_view from, const std::string& target,
                                std::string line) {
    Answer answer;
    Sent sent = Sent::NotWaiting;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto now = Clock::now();
        Window& window = rates_[std::string(from)];
        if (now - window.start >= std::chrono::minutes(1)) {
            window = Window{now, 0};
        }
        if (window.count >= options_.sendsPerMinute) {
            return Sent::RateLimited;
        }
        ++window.count;  // every attempt counts, delivered or not
        sent = HandOver(target, line, answer, now);
    }
    if (answer) {
        answer(line);
    }
    return sent;
}

PushRelay::Sent PushRelay::Deliver(const std::string& target, std::string line) {
    Answer answer;
    Sent sent = Sent::NotWaiting;
    {
        std::lock_guard<std::mutex> hold(lock_);
        sent = HandOver(target, line, answer, Clock::now());
    }
    if (answer) {
        answer(line);
    }
    return sent;
}

PushRelay::Sent PushRelay::HandOver(const std::string& target, std::string& line, Answer& answer,
                                    Clock::time_point now) {
    auto found = boxes_.find(target);
    if (found == boxes_.end()) {
        return Sent::NotWaiting;
    }
    Mailbox& box = found->second;
    if (!box.answer) {
        // Between two waiting requests: kept for the next one, when the last
        // one was recent enough for another to be on its way.
        if (now - box.lastWait > options_.waitTimeout + options_.queueKeep ||
            box.queued.size() >= options_.maxQueuedPerUser) {
            return Sent::NotWaiting;
        }
        box.queued.push_back(Queued{std::move(line), now});
        return Sent::Queued;
    }
    answer = std::exchange(box.answer, nullptr);
    --waiting_;
    return Sent::Delivered;
}

void PushRelay::ExpireDue(Clock::time_point now) {
    std::vector<Answer> due;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = boxes_.begin(); it != boxes_.end();) {
            Mailbox& box = it->second;
            if (box.answer && now - box.since >= options_.waitTimeout) {
                due.push_back(std::exchange(box.answer, nullptr));
                --waiting_;
            }
            while (!box.queued.empty() && now - box.queued.front().at > options_.queueKeep) {
                box.queued.pop_front();
            }
            bool stale = !box.answer && box.queued.empty() &&
                         now - box.lastWait > options_.waitTimeout + options_.queueKeep;
            it = stale ? boxes_.erase(it) : std::next(it);
        }
        for (auto it = rates_.begin(); it != rates_.end();) {
            it = now - it->second.start >= std::chrono::minutes(1) ? rates_.erase(it)
                                                                   : std::next(it);
        }
    }
    for (auto& answer : due) {
        answer(kNone);
    }
}

void PushRelay::Release(const std::string& user) {
    Answer answer;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = boxes_.find(user);
        if (found == boxes_.end()) {
            return;
        }
        if (found->second.answer) {
            answer = std::exchange(found->second.answer, nullptr);
            --waiting_;
        }
        boxes_.erase(found);
    }
    if (answer) {
        answer(kNone);
    }
}

void PushRelay::ReleaseAll() {
    std::vector<Answer> all;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& [user, box] : boxes_) {
            if (box.answer) {
                all.push_back(std::exchange(box.answer, nullptr));
            }
        }
        waiting_ = 0;
    }
    for (auto& answer : all) {
        answer(kNone);
    }
}

std::size_t PushRelay::waiting() const {
    std::lock_guard<std::mutex> hold(lock_);
    return waiting_;
}

}  // namespace brindle::server
