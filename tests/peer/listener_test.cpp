#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "peer_fixture.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::ReadUntilClosed;
using test::WaitFor;

// Sends `bytes`, optionally ends the sending side, and reads until the listener closes.
std::string Exchange(int port, const std::string& bytes, bool endSending = false,
                     bool* closed = nullptr) {
    Socket socket = test::ConnectLoopback(port);
    static_cast<void>(SendAll(socket.fd(), bytes));
    if (endSending) {
        ::shutdown(socket.fd(), SHUT_WR);
    }
    return ReadUntilClosed(socket.fd(), 10s, closed);
}

class ListenerTest : public ::testing::Test {
  protected:
    void Start(PeerOptions options = test::LoopbackOptions()) {
        peer = std::make_unique<test::PeerHarness>(options);
        peer->Share("song.mp3", "0123456789");
        peer->Share(" spaced name", "spaced");
        ASSERT_TRUE(peer->StartListener());
    }
    int port() const { return peer->port(); }

    std::unique_ptr<test::PeerHarness> peer;
};

TEST_F(ListenerTest, ClosesEveryRequestWordButTheTwoItKnows) {
    Start();
    const std::vector<std::string> words = {
        "GET\r\nsong.mp3\nann\nT1\n", "get\nsong.mp3\nann\nT1\n",   "GET", "MESSAGE",
        "MESSAGE \n<ann> hi\n",       std::string(1100, 'G') + "\n"};
    for (const auto& bytes : words) {
        bool closed = false;
        EXPECT_EQ(Exchange(port(), bytes, true, &closed), "") << bytes.substr(0, 20);
        EXPECT_TRUE(closed) << bytes.substr(0, 20);
    }
    EXPECT_EQ(peer->listener->uploadRecords().RowCount(), 0u);
    EXPECT_EQ(peer->display.count(), 0u);
}

// "PING\n" is answered "PONG\n" and closed, with no row and no message; a
// ping cut short or in another spelling is closed unanswered like any word.
TEST_F(ListenerTest, AnswersAPingWithPongAndCloses) {
    Start();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"PING\n", "PONG\n"}, {"PING", ""}, {"PING\r\n", ""}, {"ping\n", ""}, {"PING \n", ""},
    };
    for (const auto& [request, reply] : cases) {
        bool closed = false;
        EXPECT_EQ(Exchange(port(), request, request.back() != '\n', &closed), reply) << request;
        EXPECT_TRUE(closed) << request;
    }
    EXPECT_EQ(peer->listener->uploadRecords().RowCount(), 0u);
    EXPECT_EQ(peer->display.count(), 0u);
}

TEST_F(ListenerTest, ShowsAMessageLineExactlyAsReceived) {
    Start();
    EXPECT_EQ(Exchange(port(), "MESSAGE\n<ann> hello\r\nnever read\n"), "");
    ASSERT_TRUE(WaitFor([&] { return peer->display.count() == 1; }));
    EXPECT_EQ(peer->display.lines()[0], "<ann> hello\r\n");
}

TEST_F(ListenerTest, CutsALongMessageAfter1023Bytes) {
    Start();
    Exchange(port(), "MESSAGE\n" + std::string(2000, 'x') + "\n");
    ASSERT_TRUE(WaitFor([&] { return peer->display.count() == 1; }));
    EXPECT_EQ(peer->display.lines()[0], std::string(1023, 'x'));
}

TEST_F(ListenerTest, AMessageCutShortByTheSenderShowsNothing) {
    Start();
    bool closed = false;
    Exchange(port(), "MESSAGE\n<ann> half a mess", true, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(peer->display.count(), 0u);
}

TEST_F(ListenerTest, KeepsLeadingSpacesOfANameAndDropsTrailingOnes) {
    Start();
    EXPECT_EQ(Exchange(port(), "GET\n spaced name \t\r\nann\nT1\n"), "spaced");
}

TEST_F(ListenerTest, MessagesArrivingTogetherAreAllShownWhole) {
    Start();
    std::vector<std::thread> senders;
    for (int i = 0; i < 16; ++i) {
        senders.emplace_back([&, i] {
            Exchange(port(), "MESSAGE\n<user" + std::to_string(i) + "> " +
                                 std::string(500, 'a' + i) + "\n");
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    ASSERT_TRUE(WaitFor([&] { return peer->display.count() == 16; }));
    std::vector<std::string> lines = peer->display.lines();
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected;
    for (int i = 0; i < 16; ++i) {
        expected.push_back("<user" + std::to_string(i) + "> " + std::string(500, 'a' + i) + "\n");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

TEST_F(ListenerTest, ASilentOrTricklingPeerHoldsNobodyElseUp) {
    Start();
    Socket silent = test::ConnectLoopback(port());
    Socket trickling = test::ConnectLoopback(port());
    ASSERT_TRUE(SendAll(trickling.fd(), "GE"));
    auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(port(), "GET\nsong.mp3\nann\nT1\n"), "0123456789");
    Exchange(port(), "MESSAGE\n<ann> still here\n");
    ASSERT_TRUE(WaitFor([&] { return peer->display.count() == 1; }, 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s);
}

TEST_F(ListenerTest, DropsAPeerThatDoesNotFinishItsRequestInTime) {
    PeerOptions options = test::LoopbackOptions();
    options.requestTimeout = 300ms;
    Start(options);
    Socket trickling = test::ConnectLoopback(port());
    ASSERT_TRUE(SendAll(trickling.fd(), "GET\nsong"));
    auto opened = std::chrono::steady_clock::now();
    bool closed = false;
    EXPECT_EQ(ReadUntilClosed(trickling.fd(), 10s, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - opened, 5s);
}

TEST_F(ListenerTest, ACrowdOfSilentPeersMakesRoomForNewOnes) {
    PeerOptions options = test::LoopbackOptions();
    options.requestTimeout = 60s;
    options.maxPendingConnections = 2;
    Start(options);
    std::vector<Socket> silent;
    for (int i = 0; i < 5; ++i) {
        silent.push_back(test::ConnectLoopback(port()));
    }
    ASSERT_TRUE(WaitFor([&] { return peer->listener->pendingConnections() == 2; }));
    auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(port(), "GET\nsong.mp3\nann\nT1\n"), "0123456789");
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s);
    // The peer that waited longest was let go to make room.
    bool closed = false;
    ReadUntilClosed(silent[0].fd(), 5s, &closed);
    EXPECT_TRUE(closed);
    EXPECT_LE(peer->listener->pendingConnections(), 2u);
}

TEST_F(ListenerTest, AGetBeyondTheRunningUploadsIsClosedAtOnceUntilOneEnds) {
    PeerOptions options = test::LoopbackOptions();
    options.maxRunningUploads = 2;
    Start(options);
    peer->Share("big.bin", std::string(16 << 20, 'b'));
    std::vector<Socket> stalled;
    for (int i = 0; i < 2; ++i) {
        stalled.push_back(test::OpenStalledReader(port(), "GET\nbig.bin\nann\nT1\n"));
        ASSERT_EQ(test::WaitForReply(stalled.back().fd(), 10s), test::PeerReply::Data);
    }
    EXPECT_EQ(peer->listener->runningUploads(), 2u);

    auto asked = std::chrono::steady_clock::now();
    bool closed = false;
    EXPECT_EQ(Exchange(port(), "GET\nsong.mp3\nann\nT1\n", false, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_EQ(peer->listener->uploadRecords().RowCount(), 2u);

    // A reader that goes ends its upload, and its place is free again.
    stalled.pop_back();
    ASSERT_TRUE(WaitFor([&] { return peer->listener->runningUploads() == 1; }));
    EXPECT_EQ(Exchange(port(), "GET\nsong.mp3\nann\nT1\n"), "0123456789");
}

TEST_F(ListenerTest, ABusyPortIsReportedAndTheListenerDoesNotRun) {
    Start();
    PeerOptions same = test::LoopbackOptions();
    same.port = port();
    test::PeerHarness second(same);
    EXPECT_FALSE(second.StartListener());
    EXPECT_EQ(second.messages.shown(), (std::vector<test::FakeMessageBox::Shown>{
                                           {"Error binding server socket!", MessageIcon::Error}}));
}

TEST_F(ListenerTest, ClosingTheListeningSocketFreesThePort) {
    Start();
    int used = port();
    peer->listener->CloseListeningSocket();
    EXPECT_FALSE(test::ConnectLoopback(used).valid());
    // The port can be bound again at once.
    PeerOptions again = test::LoopbackOptions();
    again.port = used;
    test::PeerHarness restarted(again);
    EXPECT_TRUE(restarted.StartListener());
}

TEST_F(ListenerTest, StoppingEndsConnectionsStillBeingRead) {
    PeerOptions options = test::LoopbackOptions();
    options.requestTimeout = 60s;
    Start(options);
    Socket silent = test::ConnectLoopback(port());
    ASSERT_TRUE(WaitFor([&] { return peer->listener->pendingConnections() == 1; }));
    auto stopping = std::chrono::steady_clock::now();
    peer->listener->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
    EXPECT_EQ(peer->listener->pendingConnections(), 0u);
}

}  // namespace
}  // namespace brindle
