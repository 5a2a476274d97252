// A set of worker threads that can be told to stop and joined together, so an
// owner can always wind its workers down before it goes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace brindle {

class ThreadGroup {
  public:
    ThreadGroup() = default;
    ~ThreadGroup();
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    // Runs `body` on a new thread. `interrupt` (optional) is called by
    // InterruptAll while the thread runs; it must make the body return soon.
    // False once the group is closed or when no thread could be created.
    [[nodiscard]] bool Spawn(std::function<void()> body, std::function<void()> interrupt = {});

    // Calls the interrupt of every running thread.
    void InterruptAll();
    // Refuses new threads from now on (running ones may still finish).
    void Close();
    // Waits for every thread, also those started by threads being waited for.
    void JoinAll();
    // Close, InterruptAll and JoinAll.
    void Shutdown();

    std::size_t running() const;

  private:
    struct Entry {
        std::thread thread;
        std::function<void()> interrupt;
        bool done = false;
    };
    void ReapFinished();

    mutable std::mutex lock_;
    std::list<Entry> entries_;
    bool closed_ = false;
};

}  // namespace brindle
