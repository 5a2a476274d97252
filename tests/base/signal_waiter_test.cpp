#include "base/signal_waiter.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <thread>

namespace brindle {
namespace {

using namespace std::chrono_literals;

// Runs `body` on a thread of its own, so the signals it blocks stay off the
// thread that runs the other tests.
void OnOwnThread(const std::function<void()>& body) {
    std::thread(body).join();
}

bool Blocked(int signal) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

TEST(SignalWaiter, ReturnsTheSignalSentToTheThread) {
    OnOwnThread([] {
        const SignalWaiter waiter({SIGUSR1, SIGUSR2});
        ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR2), 0);
        EXPECT_EQ(waiter.Wait(1s), SIGUSR2);
        ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR1), 0);
        EXPECT_EQ(waiter.Wait(), SIGUSR1);
    });
}

TEST(SignalWaiter, ATimeOutReturnsNoneAfterTheWholeWait) {
    OnOwnThread([] {
        const SignalWaiter waiter({SIGUSR1});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(waiter.Wait(30ms), std::nullopt);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);
    });
}

TEST(SignalWaiter, ThreadsStartedLaterInheritTheBlockAndOthersDoNot) {
    ASSERT_FALSE(Blocked(SIGUSR2));
    OnOwnThread([] {
        BlockSignals({SIGUSR2});
        bool inherited = false;
        std::thread([&] { inherited = Blocked(SIGUSR2); }).join();
        EXPECT_TRUE(inherited);
    });
    EXPECT_FALSE(Blocked(SIGUSR2));
}

}  // namespace
}  // namespace brindle
