// A value that one thread replaces while others read it: every change
// publishes a whole new immutable copy, so a reader holds either the old value
// or the new one, never a mix, for as long as it keeps its pointer.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace brindle {

template <typename T>
class Published {
  public:
    // The value as last published (a default-constructed T before the first).
    [[nodiscard]] std::shared_ptr<const T> Get() const {
        std::lock_guard<std::mutex> hold(lock_);
        return current_;
    }

    void Publish(T value) {
        auto next = std::make_shared<const T>(std::move(value));
        std::lock_guard<std::mutex> hold(lock_);
        current_ = std::move(next);
    }

  private:
    mutable std::mutex lock_;
    std::shared_ptr<const T> current_ = std::make_shared<const T>();
};

}  // namespace brindle
