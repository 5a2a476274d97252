// Helpers of the window tests: waits that run the event loop, and a script
// that answers modal dialogs as they come up.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <deque>
#include <functional>

namespace brindle::test {

// Runs the event loop until `predicate` holds or the deadline passes.
bool WaitForUi(const std::function<bool()>& predicate,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Runs one step per modal window that comes up (each step closes it). A step
// that never runs is reported by pending().
class ModalScript {
  public:
    using Step = std::function<void(QWidget* modal)>;
    explicit ModalScript(std::deque<Step> steps);
    ~ModalScript();
    int ran() const { return ran_; }
    size_t pending() const { return steps_.size(); }

  private:
    void Poll();

    std::deque<Step> steps_;
    QTimer timer_;
    QPointer<QWidget> lastHandled_;
    int ran_ = 0;
};

}  // namespace brindle::test
