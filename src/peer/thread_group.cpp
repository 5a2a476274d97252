#include "peer/thread_group.h"

#include <system_error>
#include <vector>

namespace brindle {

ThreadGroup::~ThreadGroup() {
    Shutdown();
}

bool ThreadGroup::Spawn(std::function<void()> body, std::function<void()> interrupt) {
    ReapFinished();
    std::lock_guard<std::mutex> hold(lock_);
    if (closed_) {
        return false;
    }
    auto entry = entries_.emplace(entries_.end());
    entry->interrupt = std::move(interrupt);
    try {
        entry->thread = std::thread([this, entry, work = std::move(body)]() mutable {
            {
                // The body and what it holds go before the thread counts as done.
                auto local = std::move(work);
                local();
            }
            std::lock_guard<std::mutex> done(lock_);
            entry->done = true;
            entry->interrupt = nullptr;
        });
    } catch (const std::system_error&) {
        entries_.erase(entry);
        return false;
    }
    return true;
}

void ThreadGroup::ReapFinished() {
    std::list<Entry> finished;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            auto next = std::next(it);
            if (it->done) {
                finished.splice(finished.end(), entries_, it);
            }
            it = next;
        }
    }
    for (auto& entry : finished) {
        entry.thread.join();
    }
}

void ThreadGroup::InterruptAll() {
    std::vector<std::function<void()>> interrupts;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& entry : entries_) {
            if (!entry.done && entry.interrupt) {
                interrupts.push_back(entry.interrupt);
            }
        }
    }
    for (auto& interrupt : interrupts) {
        interrupt();
    }
}

void ThreadGroup::Close() {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
}

void ThreadGroup::JoinAll() {
    for (;;) {
        std::list<Entry> taken;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (entries_.empty()) {
                return;
            }
            taken.splice(taken.end(), entries_);
        }
        for (auto& entry : taken) {
            entry.thread.join();
        }
    }
}

void ThreadGroup::Shutdown() {
    Close();
    InterruptAll();
    JoinAll();
}

std::size_t ThreadGroup::running() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::size_t count = 0;
    for (const auto& entry : entries_) {
        count += entry.done ? 0 : 1;
    }
    return count;
}

}  // namespace brindle
