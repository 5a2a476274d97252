// Turns SIGTERM and SIGINT into a Qt signal on the GUI thread, so a logout or a
// `kill` ends the program through its normal exit steps. The handler only
// writes one byte into a pipe (async-signal-safe); a socket notifier on the
// other end emits `terminationRequested`. One instance at a time; the previous
// handlers come back when it goes.
#pragma once

#include <QObject>
#include <csignal>
#include <memory>

class QSocketNotifier;

namespace brindle {

class CTerminationSignals : public QObject {
    Q_OBJECT
  public:
    explicit CTerminationSignals(QObject* parent = nullptr);
    ~CTerminationSignals() override;
    CTerminationSignals(const CTerminationSignals&) = delete;
    CTerminationSignals& operator=(const CTerminationSignals&) = delete;

    // False when the pipe or the handlers could not be set up.
    [[nodiscard]] bool active() const { return active_; }

  signals:
    void terminationRequested();

  private:
    void Drain();

    int readFd_ = -1;
    int writeFd_ = -1;
    bool active_ = false;
    struct sigaction previousTerm_ {};
    struct sigaction previousInt_ {};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace brindle
