#include <gtest/gtest.h>
#include <sys/socket.h>

#include "peer/download.h"
#include "peer/progress.h"
#include "peer/thread_group.h"
#include "peer/transfer_record.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::WaitFor;

// A record whose worker runs until it is cancelled.
class StubRecord : public TransferRecord {
  public:
    StubRecord(const std::string& name, TransferStatus status) {
        TransferRow row = NewTransferRow(name, "ann", "T1", 10);
        row.status = status;
        InitRow(row);
    }
    void Run() override {
        WaitFor([this] { return IsCancelRequested(); }, std::chrono::seconds(10));
        SetStatus(TransferStatus::Canceled);
    }
    using TransferRecord::AdoptSocket;
    using TransferRecord::Finish;
    using TransferRecord::InitRow;
    using TransferRecord::ShowProgress;
    using TransferRecord::UpdateRow;
};

std::shared_ptr<StubRecord> Add(TransferTable& table, const std::string& name,
                                TransferStatus status = TransferStatus::Downloading) {
    auto record = std::make_shared<StubRecord>(name, status);
    table.Append(record);
    return record;
}

std::vector<std::string> Names(const TransferTable& table) {
    std::vector<std::string> names;
    for (const auto& row : table.TakeSnapshot().rows) {
        names.push_back(row.fileName);
    }
    return names;
}

struct StatusCase {
    TransferStatus status;
    const char* text;
    bool final;
};

class TransferStatusTexts : public ::testing::TestWithParam<StatusCase> {};

TEST_P(TransferStatusTexts, EachStateShowsItsTextAndKnowsWhetherItIsFinal) {
    TransferRow row = NewTransferRow("a", "ann", "T1", 10);
    row.status = GetParam().status;
    EXPECT_EQ(FormatTransferRow(row)[kColumnStatus], GetParam().text);
    EXPECT_EQ(IsFinalStatus(GetParam().status), GetParam().final);
}

INSTANTIATE_TEST_SUITE_P(
    AllStates, TransferStatusTexts,
    ::testing::Values(StatusCase{TransferStatus::Connecting, "Connecting...", false},
                      StatusCase{TransferStatus::Downloading, "Downloading...", false},
                      StatusCase{TransferStatus::Uploading, "Uploading...", false},
                      StatusCase{TransferStatus::Complete, "File Complete...", true},
                      StatusCase{TransferStatus::Canceled, "Canceled...", true},
                      StatusCase{TransferStatus::Error, "Transfer Error...", true}));

// A new download shows its length as listed, even one a 32-bit copy published
// as negative, until the first bytes arrive.
TEST(TransferRowTexts, ANewDownloadShowsTheListedLengthUntilBytesArrive) {
    TransferRow row = NewDownloadRow("big.iso", "ann", "-1294967296", "T1", 3000000000LL);
    EXPECT_EQ(FormatTransferRow(row), (TransferCells{"big.iso", "ann", "0 of -1294967296", "T1",
                                                     "0.00ks", "0.00%", "Connecting..."}));

    StubRecord record("big.iso", TransferStatus::Connecting);
    record.InitRow(row);
    ProgressMeter meter(3000000000LL, [] { return std::chrono::steady_clock::time_point{}; });
    record.ShowProgress(TransferStatus::Downloading, meter, meter.Advance(100));
    EXPECT_EQ(record.Row().done, 100);
    EXPECT_EQ(record.Cell(kColumnSize), "100 of 3000000000");
    EXPECT_EQ(record.Cell(kColumnStatus), "Downloading...");
}

// Rate and percentage change only at update points; a completed row shows a
// rate of 0 and 100 percent, a failed one keeps what it showed. Either ending
// closes the socket.
TEST(TransferRowTexts, ProgressAndEndingsKeepTheRowFormats) {
    for (TransferStatus ending : {TransferStatus::Complete, TransferStatus::Error}) {
        auto now = std::chrono::steady_clock::time_point{};
        ProgressMeter meter(3000, [&] { return now; });
        StubRecord record("a", TransferStatus::Connecting);
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        Socket peer(ends[1]);
        record.AdoptSocket(Socket(ends[0]));
        now += std::chrono::seconds(1);
        ASSERT_TRUE(meter.Advance(2050));
        record.ShowProgress(TransferStatus::Uploading, meter, true);
        record.ShowProgress(TransferStatus::Uploading, meter, meter.Advance(2100));
        EXPECT_EQ(record.Cells(), (TransferCells{"a", "ann", "2100 of 3000", "T1", "2.00ks",
                                                 "68.30%", "Uploading..."}));
        record.Finish(ending);
        char byte = 0;
        EXPECT_EQ(::recv(peer.fd(), &byte, 1, MSG_DONTWAIT), 0);  // the record's end is closed
        EXPECT_EQ(record.Cells(), ending == TransferStatus::Complete
                                      ? (TransferCells{"a", "ann", "2100 of 3000", "T1", "0.00ks",
                                                       "100.00%", "File Complete..."})
                                      : (TransferCells{"a", "ann", "2100 of 3000", "T1", "2.00ks",
                                                       "68.30%", "Transfer Error..."}));
        EXPECT_TRUE(record.IsFinished());
    }
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
    StubRecord record("a.mp3", TransferStatus::Connecting);
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
    Add(table, "done", TransferStatus::Complete);
    auto running = Add(table, "running", TransferStatus::Downloading);
    Add(table, "cancelled", TransferStatus::Canceled);
    auto connecting = Add(table, "connecting", TransferStatus::Connecting);
    Add(table, "failed", TransferStatus::Error);

    EXPECT_EQ(table.ClearFinished(), 3u);
    EXPECT_EQ(Names(table), (std::vector<std::string>{"running", "connecting"}));
    EXPECT_EQ(table.Record(0), running);
    EXPECT_EQ(table.Record(1), connecting);
    EXPECT_FALSE(running->IsCancelRequested());
}

TEST(TransferTable, RowWritesAreSeenAsChanges) {
    TransferTable table;
    auto record = Add(table, "a");
    auto before = table.TakeSnapshot();
    record->UpdateRow([](TransferRow& row) {
        row.done = 5;
        row.status = TransferStatus::Uploading;
    });
    auto after = table.TakeSnapshot();
    EXPECT_GT(after.changeCount, before.changeCount);
    EXPECT_EQ(after.rows[0].done, 5);
    EXPECT_EQ(after.rows[0].status, TransferStatus::Uploading);
    EXPECT_EQ(FormatTransferRow(after.rows[0])[kColumnSize], "5 of 10");
    EXPECT_EQ(FormatTransferRow(after.rows[0])[kColumnStatus], kStatusUploading);
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
