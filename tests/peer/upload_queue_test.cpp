// Upload queues: the order the line serves its users in, and real peers on
// loopback waiting in it, falling back from it, and leaving it.
#include "peer/upload_queue.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <ostream>
#include <set>

#include "peer/part_file.h"
#include "peer/transfer_limits.h"
#include "peer_fixture.h"
#include "support/net_helpers.h"
#include "support/partial_downloads.h"
#include "support/scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

// --- Order ----------------------------------------------------------------

struct OrderCase {
    const char* name;
    QueueState state;
    std::vector<std::size_t> expected;
};

void PrintTo(const OrderCase& c, std::ostream* out) {
    *out << c.name;
}

class ServiceOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(ServiceOrderTest, ServesInTurn) {
    EXPECT_EQ(ServiceOrder(GetParam().state), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceOrderTest,
    ::testing::Values(
        OrderCase{"empty", {}, {}},
        OrderCase{"one user oldest first", {{"a", "a", "a"}, {}, {}}, {0, 1, 2}},
        OrderCase{"users alternate", {{"a", "a", "b", "b"}, {}, {}}, {0, 2, 1, 3}},
        OrderCase{"five against one", {{"a", "a", "a", "a", "a", "b"}, {}, {}}, {0, 5, 1, 2, 3, 4}},
        OrderCase{"a running user waits for the others", {{"a", "b"}, {{"a", 1}}, {}}, {1, 0}},
        OrderCase{"a running user alone still gets the slot", {{"a", "a"}, {{"a", 1}}, {}}, {0, 1}},
        OrderCase{"fewer running first", {{"a", "b", "c"}, {{"a", 2}, {"b", 1}}, {}}, {2, 1, 0}},
        OrderCase{"served longest ago first", {{"a", "b"}, {}, {{"a", 5}, {"b", 3}}}, {1, 0}},
        OrderCase{"never served before served", {{"a", "b"}, {}, {{"a", 1}}}, {1, 0}},
        OrderCase{"running outweighs turn", {{"a", "b"}, {{"b", 1}}, {{"a", 9}}}, {0, 1}},
        OrderCase{"rounds keep the user order",
                  {{"c", "a", "c", "b", "a"}, {}, {{"c", 2}}},
                  {1, 3, 0, 4, 2}}));

// --- Real peers -------------------------------------------------------------

constexpr char kBig[] = "big.bin";
const std::string kBigContent = test::PatternBytes(8 << 20, 3);

std::shared_ptr<TransferLimits> OneSlot(long long uploadKiB = 0) {
    auto limits = std::make_shared<TransferLimits>();
    Preferences values;
    values.uploadSlots = 1;
    values.uploadLimitKiB = uploadKiB;
    limits->Apply(values);
    return limits;
}

PeerOptions QueueOptions(std::shared_ptr<TransferLimits> limits) {
    PeerOptions options = test::LoopbackOptions();
    options.limits = std::move(limits);
    options.queueRequests = true;
    return options;
}

// A sharer with one slot, held by a reader from 127.0.0.9 that takes nothing
// until it is let go.
class QueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sharer.Share(kBig, kBigContent);
        sharer.Share("small.txt", "small file");
        ASSERT_TRUE(sharer.StartListener());
        blocker = test::ConnectLoopbackFrom("127.0.0.9", sharer.port(), 4096);
        ASSERT_TRUE(blocker.valid());
        ASSERT_TRUE(SendAll(blocker.fd(), test::QueueRequestText(kBig)));
        // The slot is taken before the worker adds the upload's row.
        ASSERT_TRUE(WaitFor([&] {
            return sharer.listener->runningUploads() == 1 &&
                   sharer.listener->uploadRecords().RowCount() == 1;
        }));
    }

    // A queued request from `source`; its first answer is read.
    Socket Queue(const std::string& source, const std::string& name = "small.txt") {
        Socket socket = test::ConnectLoopbackFrom(source, sharer.port());
        EXPECT_TRUE(socket.valid() && SendAll(socket.fd(), test::QueueRequestText(name)));
        return socket;
    }

    std::string NextLine(const Socket& socket) {
        std::string line;
        static_cast<void>(ReceiveLine(socket.fd(), line, std::chrono::steady_clock::now() + 5s));
        return line;
    }

    test::PeerHarness sharer{QueueOptions(OneSlot())};
    Socket blocker;
};

TEST_F(QueueTest, OneUserWithFiveRequestsDelaysAnotherByOneTurnAtMost) {
    std::vector<Socket> many;
    for (int i = 0; i < 5; ++i) {
        many.push_back(Queue("127.0.0.2"));
        EXPECT_EQ(NextLine(many.back()), "POSITION " + std::to_string(i + 1) + "\n");
    }
    Socket one = Queue("127.0.0.3");
    EXPECT_EQ(NextLine(one), "POSITION 2\n");
    // The second to fifth requests of the first user moved back one place.
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(NextLine(many[static_cast<std::size_t>(i)]),
                  "POSITION " + std::to_string(i + 2) + "\n");
    }
    EXPECT_EQ(sharer.listener->waitingUploads(), 6u);
    EXPECT_EQ(sharer.listener->uploadRecords().RowCount(), 1u);  // no rows for those waiting

    blocker.reset();  // the running upload fails, its slot goes to the first in line
    EXPECT_EQ(NextLine(many[0]), "START\n");
    EXPECT_EQ(test::ReadUntilClosed(many[0].fd()), "small file");
    // The second user is next: "POSITION 1" (unless the first upload ended
    // before it went out), then "START".
    std::vector<std::string> lines = test::ReadQueueLines(one.fd(), 5s);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "START\n");
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i], "POSITION 1\n");
    }
    EXPECT_EQ(test::ReadUntilClosed(one.fd()), "small file");
    // The rest follow in order, each whole.
    for (std::size_t i = 1; i < 5; ++i) {
        std::vector<std::string> lines = test::ReadQueueLines(many[i].fd(), 5s);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "START\n");
        EXPECT_EQ(test::ReadUntilClosed(many[i].fd()), "small file");
    }
    EXPECT_TRUE(WaitFor([&] { return sharer.listener->waitingUploads() == 0; }));
}

TEST_F(QueueTest, RequestsThatVanishLeaveTheLineAndThoseBehindMoveUp) {
    Socket first = Queue("127.0.0.2");
    Socket second = Queue("127.0.0.2");
    Socket third = Queue("127.0.0.2");
    EXPECT_EQ(NextLine(first), "POSITION 1\n");
    EXPECT_EQ(NextLine(second), "POSITION 2\n");
    EXPECT_EQ(NextLine(third), "POSITION 3\n");
    first.reset();
    EXPECT_EQ(NextLine(second), "POSITION 1\n");
    EXPECT_EQ(NextLine(third), "POSITION 2\n");
    // A peer that shuts its sending side down is gone as well.
    ::shutdown(third.fd(), SHUT_WR);
    EXPECT_TRUE(WaitFor([&] { return sharer.listener->waitingUploads() == 1; }));
    second.reset();
    EXPECT_TRUE(WaitFor([&] { return sharer.listener->waitingUploads() == 0; }));
    EXPECT_EQ(sharer.listener->runningUploads(), 1u);
}

TEST_F(QueueTest, PlainGetBeyondTheSlotsIsStillClosedAtOnce) {
    Socket queued = Queue("127.0.0.2");
    EXPECT_EQ(NextLine(queued), "POSITION 1\n");
    Socket get = test::ConnectLoopback(sharer.port());
    ASSERT_TRUE(SendAll(get.fd(), "GET\nsmall.txt\nann\nT1\n"));
    bool closed = false;
    EXPECT_EQ(test::ReadUntilClosed(get.fd(), 5s, &closed), "");
    EXPECT_TRUE(closed);
    // An offset past the file is refused before the line.
    Socket past = test::ConnectLoopbackFrom("127.0.0.4", sharer.port());
    ASSERT_TRUE(SendAll(past.fd(), test::QueueRequestText("small.txt", 99)));
    EXPECT_EQ(test::ReadUntilClosed(past.fd(), 5s, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(sharer.listener->waitingUploads(), 1u);
}

TEST_F(QueueTest, CancelWhileQueuedEndsTheDownloadAndLeavesTheLine) {
    test::TempDir into;
    TransferTable table;
    ThreadGroup threads;
    auto download = test::StartLoopbackDownload(sharer.port(), "small.txt", 10, into, table,
                                                threads, QueueOptions(nullptr));
    ASSERT_TRUE(download);
    ASSERT_TRUE(WaitFor([&] { return download->Cell(kColumnStatus) == "Queued, position 1..."; }));
    download->RequestCancel();
    ASSERT_TRUE(WaitFor([&] { return download->IsFinished(); }));
    EXPECT_EQ(download->Cell(kColumnStatus), kStatusCanceled);
    EXPECT_TRUE(WaitFor([&] { return sharer.listener->waitingUploads() == 0; }));
    threads.JoinAll();
}

// Many requests from one address: the line stops at its cap, a request from
// another address still gets in, and messages are still shown.
TEST_F(QueueTest, TwoThousandRequestsFromOneAddressHitTheCap) {
    constexpr std::size_t kFlood = 2000;
    std::vector<Socket> flood;
    flood.reserve(kFlood);
    for (std::size_t i = 0; i < kFlood; ++i) {
        Socket socket = test::ConnectLoopbackFrom("127.0.0.2", sharer.port());
        ASSERT_TRUE(socket.valid());
        static_cast<void>(SendAll(socket.fd(), test::QueueRequestText("small.txt")));
        flood.push_back(std::move(socket));
    }
    const std::size_t cap = sharer.options().maxQueuedRequests;
    ASSERT_TRUE(WaitFor([&] { return sharer.listener->waitingUploads() == cap; }, 20s));

    Socket message = test::ConnectLoopbackFrom("127.0.0.3", sharer.port());
    ASSERT_TRUE(SendAll(message.fd(), "MESSAGE\n<bob> still here\n"));
    EXPECT_TRUE(WaitFor([&] { return sharer.display.count() == 1; }));

    Socket other = Queue("127.0.0.3");
    EXPECT_EQ(NextLine(other), "POSITION 2\n");
    EXPECT_EQ(sharer.listener->waitingUploads(), cap);

    // Those past the cap were closed unanswered.
    std::size_t closed = 0;
    for (const Socket& socket : flood) {
        closed += test::WaitForReply(socket.fd(), 0ms) == test::PeerReply::Closed ? 1 : 0;
    }
    EXPECT_EQ(closed, kFlood - cap);
}

// A download with a kept part, while the one slot is taken: it waits in line
// and then continues its part, or starts over when the sharer's file no
// longer starts with the kept bytes.
struct KeptPartCase {
    const char* name;
    bool changed;
};

void PrintTo(const KeptPartCase& c, std::ostream* out) {
    *out << c.name;
}

class QueuedResumeTest : public QueueTest, public ::testing::WithParamInterface<KeptPartCase> {};

TEST_P(QueuedResumeTest, WaitsThenContinuesOnlyAProvedPart) {
    constexpr long long kLength = 256 * 1024;
    constexpr long long kKept = kLength / 2;
    const std::string content = test::PatternBytes(kLength, 11);
    std::string shared = content;
    if (GetParam().changed) {
        shared[100] ^= 1;
    }
    sharer.Share("kept.bin", shared);
    test::TempDir into;
    test::WritePartialDownload(into.path(), "me", "kept.bin", kLength, content.substr(0, kKept));
    TransferTable table;
    ThreadGroup threads;
    auto download = test::StartLoopbackDownload(sharer.port(), "kept.bin", kLength, into, table,
                                                threads, QueueOptions(nullptr));
    ASSERT_TRUE(download);
    ASSERT_TRUE(WaitFor([&] { return download->Cell(kColumnStatus) == "Queued, position 1..."; }));
    blocker.reset();  // the slot frees
    ASSERT_TRUE(WaitFor([&] { return download->IsFinished(); }, 20s));
    threads.JoinAll();
    EXPECT_EQ(download->Cell(kColumnStatus), kStatusComplete);
    EXPECT_TRUE(test::ReadWholeFile(into.path() / "kept.bin") == shared);
    EXPECT_EQ(download->resumedAt(), GetParam().changed ? -1 : kKept);
    EXPECT_TRUE(test::PartialEntries(into.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, QueuedResumeTest,
                         ::testing::Values(KeptPartCase{"SameFile", false},
                                           KeptPartCase{"ChangedFile", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A peer that knows QUEUE but not the queued resume closes it at once; the
// kept part is given up and the whole file asked for in line, as before.
TEST(QueuedDownloadTest, FallsBackToTheWholeFileWhenThePeerClosesQueuedResume) {
    constexpr long long kLength = 128 * 1024;
    const std::string content = test::PatternBytes(kLength, 4);
    test::LockedText words;
    test::ScriptedServer peer([&](int fd) {
        std::string first = test::ReadLines(fd, 1);
        words.Set(words.Get() + first);
        if (first == "QUEUE\n") {
            test::ReadLines(fd, 4);
            static_cast<void>(SendAll(fd, "START\n" + content));
        }
    });
    test::TempDir into;
    test::WritePartialDownload(into.path(), "me", "f.bin", kLength,
                               content.substr(0, kMinKeptPartBytes + 1));
    TransferTable table;
    ThreadGroup threads;
    auto download = test::StartLoopbackDownload(peer.port(), "f.bin", kLength, into, table, threads,
                                                QueueOptions(nullptr));
    ASSERT_TRUE(download);
    ASSERT_TRUE(WaitFor([&] { return download->IsFinished(); }));
    threads.JoinAll();
    EXPECT_EQ(download->Cell(kColumnStatus), kStatusComplete);
    EXPECT_TRUE(test::ReadWholeFile(into.path() / "f.bin") == content);
    EXPECT_EQ(words.Get(), "RESUME\nQUEUERESUME\nQUEUE\n");
}

// Three downloads through one slot and a slow upload limit: each waits its
// turn, sees its position fall, and receives its file whole.
TEST(QueuedDownloadTest, ThreeDownloadsThroughOneSlotArriveWhole) {
    test::PeerHarness sharer(QueueOptions(OneSlot(256)));
    const std::string content = test::PatternBytes(96 * 1024, 5);
    for (const char* name : {"one.bin", "two.bin", "three.bin"}) {
        sharer.Share(name, content);
    }
    ASSERT_TRUE(sharer.StartListener());
    test::TempDir into;
    TransferTable table;
    ThreadGroup threads;
    std::vector<std::shared_ptr<DownloadRecord>> downloads;
    std::vector<std::set<std::string>> seen(3);
    for (const char* name : {"one.bin", "two.bin", "three.bin"}) {
        downloads.push_back(test::StartLoopbackDownload(sharer.port(), name, 96 * 1024, into, table,
                                                        threads, QueueOptions(nullptr)));
        ASSERT_TRUE(downloads.back());
        // Each starts waiting (or running) before the next asks.
        ASSERT_TRUE(
            WaitFor([&] { return downloads.back()->status() != TransferStatus::Connecting; }));
    }
    ASSERT_TRUE(WaitFor(
        [&] {
            for (std::size_t i = 0; i < 3; ++i) {
                seen[i].insert(downloads[i]->Cell(kColumnStatus));
            }
            return std::all_of(downloads.begin(), downloads.end(),
                               [](const auto& d) { return d->IsFinished(); });
        },
        20s));
    threads.JoinAll();
    for (const char* name : {"one.bin", "two.bin", "three.bin"}) {
        EXPECT_TRUE(test::ReadWholeFile(into.path() / name) == content) << name;
    }
    for (const auto& download : downloads) {
        EXPECT_EQ(download->Cell(kColumnStatus), kStatusComplete);
    }
    EXPECT_FALSE(seen[0].contains("Queued, position 1..."));
    EXPECT_TRUE(seen[1].contains("Queued, position 1..."));
    EXPECT_TRUE(seen[2].contains("Queued, position 2..."));
    EXPECT_TRUE(seen[2].contains("Queued, position 1..."));
}

// A peer that does not know QUEUE closes at its first line; the download
// asks again with GET and gets the file.
TEST(QueuedDownloadTest, FallsBackToGetWhenThePeerClosesQueue) {
    const std::string content = test::PatternBytes(40000, 9);
    test::LockedText words;
    test::ScriptedServer peer([&](int fd) {
        std::string first = test::ReadLines(fd, 1);
        words.Set(words.Get() + first);
        if (first == "GET\n") {
            test::ReadLines(fd, 3);
            static_cast<void>(SendAll(fd, content));
        }
    });
    test::TempDir into;
    TransferTable table;
    ThreadGroup threads;
    auto download = test::StartLoopbackDownload(peer.port(), "f.bin", 40000, into, table, threads,
                                                QueueOptions(nullptr));
    ASSERT_TRUE(download);
    ASSERT_TRUE(WaitFor([&] { return download->IsFinished(); }));
    threads.JoinAll();
    EXPECT_EQ(download->Cell(kColumnStatus), kStatusComplete);
    EXPECT_TRUE(test::ReadWholeFile(into.path() / "f.bin") == content);
    EXPECT_EQ(words.Get(), "QUEUE\nGET\n");
}

// A reply that is neither a position nor the start fails the download
// instead of taking the bytes for the file.
TEST(QueuedDownloadTest, AGarbledAnswerFailsTheDownload) {
    test::ScriptedServer peer([](int fd) {
        test::ReadLines(fd, 5);
        static_cast<void>(SendAll(fd, "POSITION x\n"));
    });
    test::TempDir into;
    TransferTable table;
    ThreadGroup threads;
    auto download = test::StartLoopbackDownload(peer.port(), "f.bin", 10, into, table, threads,
                                                QueueOptions(nullptr));
    ASSERT_TRUE(download);
    ASSERT_TRUE(WaitFor([&] { return download->IsFinished(); }));
    threads.JoinAll();
    EXPECT_EQ(download->Cell(kColumnStatus), kStatusError);
}

}  // namespace
}  // namespace brindle
