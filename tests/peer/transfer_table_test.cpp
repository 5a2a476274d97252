#include <gtest/gtest.h>
#include <sys/socket.h>

#include "peer/thread_group.h"
#include "peer/transfer_record.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::WaitFor;

// A record whose worker runs until it is cancelled.
class StubRecord : public TransferRecord {
  public:
    StubRecord(const std::string& name, const std::string& status) {
        InitCells({name, "ann", "0 of 10", "T1", kRateZero, kDoneZero, status});
    }
    int Run() override {
        WaitFor([this] { return IsCancelRequested(); }, std::chrono::seconds(10));
        SetCell(kColumnStatus, kStatusCanceled);
        return 1;
    }
    using TransferRecord::AdoptSocket;
};

std::shared_ptr<StubRecord> Add(TransferTable& table, const std::string& name,
                                const std::string& status = kStatusDownloading) {
    auto record = std::make_shared<StubRecord>(name, status);
    table.Append(record);
    return record;
}

std::vector<std::string> Names(const TransferTable& table) {
    std::vector<std::string> names;
    for (const auto& row : table.TakeSnapshot().rows) {
        names.push_back(row[kColumnFileName]);
    }
    return names;
}

TEST(TransferTable, RowsMoveUpWithTheirRecordsWhenOneIsRemoved) {
    TransferTable table;
    auto a = Add(table, "a.mp3");
    auto b = Add(table, "b.mp3");
    auto c = Add(table, "c.mp3");
    std::uint64_t before = table.changeCount();

    ASSERT_TRUE(table.RemoveRecord(0));
    EXPECT_EQ(Names(table), (std::vector<std::string>{"b.mp3", "c.mp3"}));
    EXPECT_EQ(table.Record(0), b);
    EXPECT_EQ(table.Record(1), c);
    EXPECT_EQ(table.Record(2), nullptr);
    EXPECT_TRUE(a->IsCancelRequested());
    EXPECT_GT(table.changeCount(), before);
    EXPECT_FALSE(table.RemoveRecord(2));
}

// A cancel that came before the worker had its socket still reaches it: the
// connect or receive the worker starts on it ends at once.
TEST(TransferTable, ASocketAdoptedAfterACancelIsShutAtOnce) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    Socket other(ends[1]);
    StubRecord record("a.mp3", kStatusConnecting);
    record.RequestCancel();
    record.AdoptSocket(Socket(ends[0]));
    char byte = 0;
    // The other end sees the shutdown as an end of stream, not as "nothing yet".
    EXPECT_EQ(::recv(other.fd(), &byte, 1, MSG_DONTWAIT), 0);
}

TEST(TransferTable, FindsTheFirstRowWhoseWholeNameMatchesIgnoringCase) {
    TransferTable table;
    Add(table, "intro.mp3");
    Add(table, "Song.MP3");
    Add(table, "song.mp3");
    EXPECT_EQ(table.FindTransferRow("song.mp3"), 1);
    EXPECT_EQ(table.FindTransferRow("SONG.mp3"), 1);
    EXPECT_EQ(table.FindTransferRow("song"), -1);
    EXPECT_EQ(table.FindTransferRow("song.mp3 "), -1);
    EXPECT_EQ(table.FindTransferRow(""), -1);
}

TEST(TransferTable, ClearRemovesOnlyFinishedRowsAndKeepsTheOrder) {
    TransferTable table;
    Add(table, "done", kStatusComplete);
    auto running = Add(table, "running", kStatusDownloading);
    Add(table, "cancelled", kStatusCanceled);
    auto connecting = Add(table, "connecting", kStatusConnecting);
    Add(table, "failed", kStatusError);

    EXPECT_EQ(table.ClearFinished(), 3u);
    EXPECT_EQ(Names(table), (std::vector<std::string>{"running", "connecting"}));
    EXPECT_EQ(table.Record(0), running);
    EXPECT_EQ(table.Record(1), connecting);
    EXPECT_FALSE(running->IsCancelRequested());
}

TEST(TransferTable, CellWritesAreSeenAsChanges) {
    TransferTable table;
    auto record = Add(table, "a");
    auto before = table.TakeSnapshot();
    record->SetCells({{kColumnSize, "5 of 10"}, {kColumnStatus, kStatusUploading}});
    auto after = table.TakeSnapshot();
    EXPECT_GT(after.changeCount, before.changeCount);
    EXPECT_EQ(after.rows[0][kColumnSize], "5 of 10");
    EXPECT_EQ(after.rows[0][kColumnStatus], kStatusUploading);
}

TEST(TransferTable, ARemovedRecordLivesOnUntilItsWorkerEnds) {
    TransferTable table;
    ThreadGroup threads;
    std::weak_ptr<StubRecord> watched;
    {
        auto record = Add(table, "a");
        watched = record;
        ASSERT_TRUE(record->Start(threads));
    }
    // Removing cancels; the worker still writes its own record afterwards.
    ASSERT_TRUE(table.RemoveRecord(0));
    threads.JoinAll();
    EXPECT_TRUE(watched.expired());
    EXPECT_EQ(table.RowCount(), 0u);
}

TEST(ThreadGroup, ShutdownInterruptsAndJoinsEveryThread) {
    ThreadGroup threads;
    std::atomic<int> stopped{0};
    std::atomic<bool> stop{false};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(threads.Spawn(
            [&] {
                WaitFor([&] { return stop.load(); }, std::chrono::seconds(10));
                ++stopped;
            },
            [&] { stop = true; }));
    }
    threads.Shutdown();
    EXPECT_EQ(stopped.load(), 4);
    EXPECT_EQ(threads.running(), 0u);
    EXPECT_FALSE(threads.Spawn([] {}));
}

}  // namespace
}  // namespace brindle
