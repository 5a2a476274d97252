#include "base/signal_waiter.h"

#include <pthread.h>

#include <algorithm>
#include <ctime>

namespace brindle {

namespace {

sigset_t SignalSet(const std::vector<int>& signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals) {
        sigaddset(&set, signal);
    }
    return set;
}

void Block(const sigset_t& set) {
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

void BlockSignals(const std::vector<int>& signals) {
    Block(SignalSet(signals));
}

SignalWaiter::SignalWaiter(const std::vector<int>& signals) : signals_(SignalSet(signals)) {
    Block(signals_);
}

std::optional<int> SignalWaiter::Wait(std::optional<std::chrono::milliseconds> limit) const {
    if (!limit) {
        int received = 0;
        if (::sigwait(&signals_, &received) != 0) {
            return std::nullopt;
        }
        return received;
    }
    const long long wait = std::max<long long>(limit->count(), 0);
    const timespec time{static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000};
    const int received = ::sigtimedwait(&signals_, nullptr, &time);
    if (received <= 0) {
        return std::nullopt;
    }
    return received;
}

}  // namespace brindle
