#include "ui/termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

namespace brindle {

namespace {

// The pipe's write end for the handler; -1 when no instance is installed.
std::atomic<int> signalWriteFd{-1};

extern "C" void OnTerminationSignal(int) {
    const int saved = errno;
    const int fd = signalWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up; the byte may be dropped.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

// Routes `signal` to the pipe, unless it was ignored when the program started
// (a program run in the background ignores SIGINT, and should go on doing so).
bool Install(int signal, struct sigaction* previous) {
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(signal, &action, previous) != 0) {
        return false;
    }
    if (previous->sa_handler == SIG_IGN) {
        ::sigaction(signal, previous, nullptr);
    }
    return true;
}

}  // namespace

CTerminationSignals::CTerminationSignals(QObject* parent) : QObject(parent) {
    int fds[2];
    if (signalWriteFd.load() >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
    notifier_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &CTerminationSignals::Drain);
    signalWriteFd.store(writeFd_);

    active_ = Install(SIGTERM, &previousTerm_) && Install(SIGINT, &previousInt_);
}

CTerminationSignals::~CTerminationSignals() {
    if (writeFd_ < 0) {
        return;
    }
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
    ::sigaction(SIGINT, &previousInt_, nullptr);
    signalWriteFd.store(-1);
    notifier_.reset();
    ::close(readFd_);
    ::close(writeFd_);
}

void CTerminationSignals::Drain() {
    char buffer[64];
    while (::read(readFd_, buffer, sizeof buffer) > 0) {
    }
    emit terminationRequested();
}

}  // namespace brindle
