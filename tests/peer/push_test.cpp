// Pushes between two peers on loopback: the sharer connects out to the
// downloader's listener, which hands the connection to the waiting download.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "peer/download.h"
#include "peer/push_handover.h"
#include "peer/push_responder.h"
#include "peer/push_tokens.h"
#include "peer/push_waiter.h"
#include "peer_fixture.h"
#include "support/net_helpers.h"
#include "support/scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;

// A loopback port nobody listens on: connects to it are refused.
int RefusingPort() {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 1;
    }
    return ntohs(address.sin_port);
}

TEST(PushTokens, AreRandomHexUsedOnceAndExpire) {
    PushTokens tokens(300ms);
    std::string a = tokens.Issue();
    std::string b = tokens.Issue();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, b);
    EXPECT_FALSE(tokens.Hand("00112233445566778899aabbccddeeff", Socket()));  // forged
    EXPECT_TRUE(tokens.Hand(a, Socket()));
    EXPECT_FALSE(tokens.Hand(a, Socket()));  // reused
    static_cast<void>(tokens.Await(a, PushTokens::Clock::now() + 1s));
    EXPECT_FALSE(tokens.Hand(a, Socket()));  // spent
    auto start = PushTokens::Clock::now();
    EXPECT_FALSE(tokens.Await(b, start + 10s));  // expires long before the deadline
    EXPECT_LT(PushTokens::Clock::now() - start, 2s);
    EXPECT_FALSE(tokens.Hand(b, Socket()));
}

TEST(PushLine, KeepsTheNameWithItsBlanksAndRefusesOtherForms) {
    const std::string token = "00112233445566778899aabbccddeeff";
    EXPECT_EQ(ParsePushLine("PUSH 10.0.0.5 " + token + " music\\a b.mp3\n"),
              (PushOrder{"10.0.0.5", token, "music\\a b.mp3"}));
    EXPECT_EQ(ParsePushLine("PUSH ::1 " + token + " x"), (PushOrder{"::1", token, "x"}));
    for (const std::string& bad :
         std::vector<std::string>{"PUSH 10.0.0.5 " + token, "PUSH 10.0.0.5 short x", "NONE\n",
                                  "PUSH  " + token + " x", "MESSAGE a b"}) {
        EXPECT_FALSE(ParsePushLine(bad)) << bad;
    }
}

// The sharer's listener is reachable only by its own pushes: the download's
// connect goes to a port nobody listens on, then through the push.
class PushTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        auto options = test::LoopbackOptions();
        options.pushTokens = tokens;
        downloader = std::make_unique<test::PeerHarness>(options);
        ASSERT_TRUE(downloader->StartListener());
        ASSERT_TRUE(sharer.StartListener());
    }

    // What the directory would do: pass the order to the sharer, which answers it.
    Socket Push(const std::string& fileName) {
        std::string token = tokens->Issue();
        PushOrder order{"127.0.0.1", token, fileName};
        std::thread answer([&, order] {
            answered = AnswerPush(order, *sharer.listener, sharer.files, downloader->port(), 5s);
        });
        Socket socket = tokens->Await(token, PushTokens::Clock::now() + awaitFor);
        answer.join();
        return socket;
    }

    std::shared_ptr<PushTokens> tokens = std::make_shared<PushTokens>();
    std::unique_ptr<test::PeerHarness> downloader;
    test::PeerHarness sharer;
    test::TempDir into;
    TransferTable table;
    ThreadGroup threads;
    bool answered = false;
    std::chrono::milliseconds awaitFor = 5s;
};

TEST_F(PushTransfer, ADownloadThatCannotConnectGetsTheFileByteExact) {
    std::string contents(300000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) {
        contents[i] = static_cast<char>(i * 7 + 3);
    }
    sharer.Share("walled.bin", contents);
    auto options = test::LoopbackOptions();
    int pushes = 0;
    options.pushConnect = [&](const std::string& owner, const std::string& name,
                              const PeerOptions::Cancelled&) {
        ++pushes;
        EXPECT_EQ(owner, "me");
        return Push(name);
    };
    auto record = test::StartLoopbackDownload(RefusingPort(), "walled.bin",
                                              static_cast<long long>(contents.size()), into, table,
                                              threads, options);
    ASSERT_TRUE(record);
    ASSERT_TRUE(test::WaitFor([&] { return record->IsFinished(); }, 15s));
    EXPECT_EQ(record->status(), TransferStatus::Complete);
    EXPECT_EQ(record->Row().failure, TransferFailure::None);
    EXPECT_EQ(pushes, 1);
    EXPECT_TRUE(answered);
    EXPECT_EQ(test::ReadWholeFile(into.path() / "walled.bin"), contents);
    // The sharer served it as any upload: with its row.
    EXPECT_EQ(sharer.listener->uploadRecords().RowCount(), 1u);
}

TEST_F(PushTransfer, ANameNotSharedIsNotAnsweredAndTheDownloadFails) {
    awaitFor = 500ms;
    auto options = test::LoopbackOptions();
    options.pushConnect = [&](const std::string&, const std::string& name,
                              const PeerOptions::Cancelled&) {
        return Push(name);  // the order carries a name the sharer does not have
    };
    auto record = test::StartLoopbackDownload(RefusingPort(), "absent.bin", 10, into, table,
                                              threads, options);
    ASSERT_TRUE(record);
    ASSERT_TRUE(test::WaitFor([&] { return record->IsFinished(); }, 15s));
    EXPECT_EQ(record->status(), TransferStatus::Error);
    EXPECT_EQ(record->Row().failure, TransferFailure::NeitherAcceptsConnections);
    EXPECT_FALSE(answered);
}

TEST_F(PushTransfer, ACancelEndsTheWaitForAPushThatNeverComes) {
    auto options = test::LoopbackOptions();
    std::atomic<bool> asked{false};
    options.pushConnect = [&](const std::string&, const std::string&,
                              const PeerOptions::Cancelled& cancelled) {
        asked = true;
        return tokens->Await(tokens->Issue(), PushTokens::Clock::now() + 60s, cancelled);
    };
    auto record = test::StartLoopbackDownload(RefusingPort(), "walled.bin", 10, into, table,
                                              threads, options);
    ASSERT_TRUE(record);
    ASSERT_TRUE(test::WaitFor([&] { return asked.load(); }, 15s));
    auto cancelledAt = std::chrono::steady_clock::now();
    record->RequestCancel();
    ASSERT_TRUE(test::WaitFor([&] { return record->IsFinished(); }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, 5s);
    EXPECT_EQ(record->Cell(kColumnStatus), "Canceled...");
}

// A second program of the downloader's user cannot listen on the port the
// downloader's listener holds; the listener's program passes the push on.
TEST_F(PushTransfer, APushComesThroughTheProgramHoldingThePort) {
    const std::string contents = test::PatternBytes(200000, 9);
    sharer.Share("walled.bin", contents);
    // Nothing holds the channel yet: no hand-over, and no push asked for.
    bool asked = false;
    auto ask = [&](const std::string&) { return asked = true; };
    EXPECT_FALSE(
        AwaitPushThroughServe(downloader->port(), ask, std::chrono::steady_clock::now() + 5s, {}));
    EXPECT_FALSE(asked);

    PushHandover handover(tokens, downloader->port());
    ASSERT_TRUE(handover.Start());
    PushHandover second(tokens, downloader->port());
    EXPECT_FALSE(second.Start());  // one holder per port
    std::thread answer;
    auto options = test::LoopbackOptions();
    options.pushConnect = [&](const std::string&, const std::string& name,
                              const PeerOptions::Cancelled& cancelled) {
        auto request = [&](const std::string& token) {
            answer = std::thread([&, order = PushOrder{"127.0.0.1", token, name}] {
                answered =
                    AnswerPush(order, *sharer.listener, sharer.files, downloader->port(), 5s);
            });
            return true;
        };
        return AwaitPushThroughServe(downloader->port(), request,
                                     std::chrono::steady_clock::now() + 10s, cancelled);
    };
    auto record = test::StartLoopbackDownload(RefusingPort(), "walled.bin",
                                              static_cast<long long>(contents.size()), into, table,
                                              threads, options);
    ASSERT_TRUE(record);
    ASSERT_TRUE(test::WaitFor([&] { return record->IsFinished(); }, 15s));
    if (answer.joinable()) {
        answer.join();
    }
    EXPECT_EQ(record->status(), TransferStatus::Complete);
    EXPECT_TRUE(answered);
    EXPECT_EQ(test::ReadWholeFile(into.path() / "walled.bin"), contents);
}

// A downloader that takes the sharer's connection but never asks for the file
// is given up as any silent connection is, at the request time limit.
TEST_F(PushTransfer, APushTheDownloaderNeverUsesIsGivenUp) {
    auto options = test::LoopbackOptions();
    options.requestTimeout = 300ms;
    test::PeerHarness quick(options);
    ASSERT_TRUE(quick.StartListener());
    quick.Share("walled.bin", "abc");
    std::mutex lock;
    std::optional<std::string> received;
    test::ScriptedServer silent([&](int fd) {
        std::string bytes = test::ReadUntilClosed(fd, 10s);
        std::lock_guard<std::mutex> hold(lock);
        received = bytes;
    });
    const std::string token = tokens->Issue();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(AnswerPush({"127.0.0.1", token, "walled.bin"}, *quick.listener, quick.files,
                           silent.port(), 5s));
    ASSERT_TRUE(test::WaitFor(
        [&] {
            std::lock_guard<std::mutex> hold(lock);
            return received.has_value();
        },
        5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(*received, "PUSH\n" + token + "\n");
    EXPECT_EQ(quick.listener->uploadRecords().RowCount(), 0u);
}

TEST_F(PushTransfer, TheListenerClosesConnectionsWithUnknownTokens) {
    Socket socket = test::ConnectLoopback(downloader->port());
    ASSERT_TRUE(SendAll(socket.fd(), std::string("PUSH\n00112233445566778899aabbccddeeff\n")));
    EXPECT_TRUE(test::ReadUntilClosed(socket.fd(), 5s).empty());
}

}  // namespace
}  // namespace brindle

namespace brindle {
namespace {

// A directory stand-in that hands out scripted wait replies one by one.
class ScriptedWaits {
  public:
    explicit ScriptedWaits(std::vector<WaitReply> replies) : replies_(std::move(replies)) {}
    WaitReply Next() {
        std::unique_lock<std::mutex> hold(lock_);
        ++asked_;
        if (next_ < replies_.size()) {
            return replies_[next_++];
        }
        // Past the script: like a directory holding the request, until released.
        released_.wait_for(hold, 5s, [this] { return release_; });
        return WaitReply{WaitReply::Kind::None, "NONE"};
    }
    void Release() {
        std::lock_guard<std::mutex> hold(lock_);
        release_ = true;
        released_.notify_all();
    }
    int asked() {
        std::lock_guard<std::mutex> hold(lock_);
        return asked_;
    }

  private:
    std::mutex lock_;
    std::condition_variable released_;
    std::vector<WaitReply> replies_;
    std::size_t next_ = 0;
    int asked_ = 0;
    bool release_ = false;
};

TEST(PushWaiter, ActsOnPushesAndMessagesAndRetriesFailures) {
    const std::string token = "00112233445566778899aabbccddeeff";
    ScriptedWaits waits({{WaitReply::Kind::Failed, ""},
                         {WaitReply::Kind::Push, "PUSH 10.0.0.1 " + token + " a b"},
                         {WaitReply::Kind::None, "NONE"},
                         {WaitReply::Kind::Message, "MESSAGE c%20d hello"}});
    std::mutex lock;
    std::vector<PushOrder> orders;
    std::vector<std::string> messages;
    PushWaiter waiter(PushWaitMode::Always,
                      {[&] { return waits.Next(); },
                       [&](const PushOrder& order) {
                           std::lock_guard<std::mutex> hold(lock);
                           orders.push_back(order);
                       },
                       [&](const std::string& from, const std::string& text) {
                           std::lock_guard<std::mutex> hold(lock);
                           messages.push_back(from + ": " + text);
                       }},
                      10ms);
    waiter.Start();
    ASSERT_TRUE(test::WaitFor([&] { return waits.asked() == 5; }, 5s));
    waits.Release();
    waiter.Stop();
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(orders, (std::vector<PushOrder>{{"10.0.0.1", token, "a b"}}));
    EXPECT_EQ(messages, std::vector<std::string>{"c d: hello"});
}

TEST(PushWaiter, AutoWaitsOnlyOnceFoundUnreachable) {
    ScriptedWaits waits({});
    PushWaiter waiter(PushWaitMode::Auto, {[&] { return waits.Next(); }, nullptr, nullptr});
    waiter.Start();
    EXPECT_FALSE(waiter.active());
    waiter.SetReachable(true);
    EXPECT_FALSE(waiter.active());
    waiter.SetReachable(false);
    EXPECT_TRUE(waiter.active());
    EXPECT_TRUE(test::WaitFor([&] { return waits.asked() == 1; }, 5s));
    waits.Release();
    waiter.Stop();
    EXPECT_EQ(ParsePushWaitMode("never"), PushWaitMode::Never);
    EXPECT_FALSE(ParsePushWaitMode("sometimes"));
}

}  // namespace
}  // namespace brindle
