// Upload slots and rate limits through real peers on loopback.
#include "peer/transfer_limits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ostream>
#include <thread>

#include "peer_fixture.h"
#include "support/manual_clock.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

constexpr long long kMiB = 1 << 20;

std::shared_ptr<TransferLimits> Limits(
    Preferences values, SteadyClock clock = [] { return std::chrono::steady_clock::now(); }) {
    auto limits = std::make_shared<TransferLimits>(std::move(clock));
    limits->Apply(values);
    return limits;
}

PeerOptions WithLimits(std::shared_ptr<TransferLimits> limits) {
    PeerOptions options = test::LoopbackOptions();
    options.limits = std::move(limits);
    return options;
}

std::string Request(const std::string& name) {
    return "GET\n" + name + "\nann\nT1\n";
}

// --- Rate limits -----------------------------------------------------------

// A download held to 1 MiB/s by the limit all downloads share, or by its own,
// needs a second of the test's clock for 1 MiB: no less (the limit holds) and
// not much more (no allowance is lost), less the tenth of a second the burst lends.
enum class DownloadLimit { Shared, Own };

void PrintTo(DownloadLimit limit, std::ostream* out) {
    *out << (limit == DownloadLimit::Shared ? "shared" : "own");
}

class LimitedDownloadTest : public ::testing::TestWithParam<DownloadLimit> {};

TEST_P(LimitedDownloadTest, OneMiBUnderOneMiBPerSecondNeedsASecondOfTheClock) {
    test::PeerHarness sharer;
    const std::string content = test::PatternBytes(kMiB);
    sharer.Share("big.bin", content);
    ASSERT_TRUE(sharer.StartListener());

    test::ManualSteadyClock clock;
    PeerOptions options = test::LoopbackOptions();
    options.clock = clock.Get();
    if (GetParam() == DownloadLimit::Shared) {
        options.limits = Limits({.downloadLimitKiB = 1024}, clock.Get());
    } else {
        options.ownDownloadLimitKiB = 1024;
    }
    test::TempDir into;
    TransferTable downloads;
    ThreadGroup threads;
    auto record = test::StartLoopbackDownload(sharer.port(), "big.bin", kMiB, into, downloads,
                                              threads, options);
    ASSERT_NE(record, nullptr);
    const int tenths = test::StepClockWhileStalled(
        clock, [&] { return record->IsFinished(); }, [&] { return record->Row().done; }, 100ms,
        100);
    threads.JoinAll();
    EXPECT_EQ(record->Cell(kColumnStatus), "File Complete...");
    EXPECT_TRUE(test::ReadWholeFile(into.path() / "big.bin") == content);
    EXPECT_GE(tenths, 8);
    EXPECT_LE(tenths, 11);
}

INSTANTIATE_TEST_SUITE_P(Downloads, LimitedDownloadTest,
                         ::testing::Values(DownloadLimit::Shared, DownloadLimit::Own),
                         [](const auto& info) {
                             return info.param == DownloadLimit::Shared ? "SharedLimit"
                                                                        : "OwnLimit";
                         });

// Two uploads under one limit, on a clock the test moves: together they never
// send more than the limit allows, they take turns, and both end when the
// bytes of both have had their time.
TEST(SharedUploadLimit, TwoUploadsShareItAndNeitherStarves) {
    test::ManualSteadyClock clock;
    auto limits = Limits({.uploadLimitKiB = 2048}, clock.Get());
    const double rate = 2.0 * kMiB;
    const double burst = rate / 10;
    const long long each = 4 * kMiB;

    test::PeerHarness sharer(WithLimits(limits));
    sharer.Share("a.bin", test::PatternBytes(each, 1));
    sharer.Share("b.bin", test::PatternBytes(each, 2));
    ASSERT_TRUE(sharer.StartListener());
    test::TempDir into;
    TransferTable downloads;
    ThreadGroup threads;
    auto a = test::StartLoopbackDownload(sharer.port(), "a.bin", each, into, downloads, threads);
    auto b = test::StartLoopbackDownload(sharer.port(), "b.bin", each, into, downloads, threads);
    ASSERT_TRUE(a && b);
    TransferTable& uploads = sharer.listener->uploadRecords();
    ASSERT_TRUE(WaitFor([&] { return uploads.RowCount() == 2; }));
    auto sent = [&](std::size_t row) { return uploads.Record(row)->Row().done; };

    // Each step gives a tenth of a second; once both wait for their turn again
    // the limit has paid out one full bucket plus the rate over the time so far,
    // and never more than one bucket beyond that.
    double seconds = 0;
    while (sent(0) + sent(1) < 2 * each) {
        ASSERT_LT(seconds, 10.0) << "the uploads never ended";
        clock.Advance(100ms);
        seconds += 0.1;
        const double due = std::min(2.0 * each, burst + rate * seconds - 16);
        ASSERT_TRUE(WaitFor([&] { return sent(0) + sent(1) >= due; }))
            << "after " << seconds << " s only " << sent(0) + sent(1) << " bytes went";
        const long long first = sent(0);
        const long long second = sent(1);
        EXPECT_LE(first + second, rate * seconds + 2 * burst) << seconds;
        // Turns alternate: neither starves. A busy machine may delay one
        // upload's return to the line, so this allows it to fall a bucket behind
        // a quarter share.
        if (first < each && second < each) {
            EXPECT_GE(std::min(first, second), 0.25 * (first + second) - burst) << seconds;
        }
    }
    // Together they took the time 8 MiB need at 2 MiB/s, less what the buckets lent.
    EXPECT_GE(seconds, (2.0 * each - 2 * burst) / rate - 0.05);
    EXPECT_LE(seconds, 2.0 * each / rate + 0.05);
    ASSERT_TRUE(WaitFor([&] { return a->IsFinished() && b->IsFinished(); }));
    EXPECT_EQ(a->Cell(kColumnStatus), "File Complete...");
    EXPECT_EQ(b->Cell(kColumnStatus), "File Complete...");
}

// Cancelling or ending a transfer that waits for its turn under a tiny limit
// takes effect at once: the wait never holds up a cancel or a teardown.
enum class Ending { CancelDownload, CancelUpload, StopListener, ShutDownDownloads };

struct EndingCase {
    const char* name;
    Ending ending;
    bool limitUploads;  // else the downloader's limit holds the transfer back
};

void PrintTo(const EndingCase& c, std::ostream* out) {
    *out << c.name;
}

class TinyLimitTest : public ::testing::TestWithParam<EndingCase> {};

TEST_P(TinyLimitTest, EndsAtOnce) {
    const EndingCase& c = GetParam();
    auto tiny = Limits({.uploadLimitKiB = 1, .downloadLimitKiB = 1});
    auto sharer = std::make_unique<test::PeerHarness>(c.limitUploads ? WithLimits(tiny)
                                                                     : test::LoopbackOptions());
    sharer->Share("big.bin", test::PatternBytes(kMiB));
    ASSERT_TRUE(sharer->StartListener());
    test::TempDir into;
    TransferTable downloads;
    ThreadGroup threads;
    auto download =
        test::StartLoopbackDownload(sharer->port(), "big.bin", kMiB, into, downloads, threads,
                                    c.limitUploads ? test::LoopbackOptions() : WithLimits(tiny));
    ASSERT_NE(download, nullptr);
    TransferTable& uploads = sharer->listener->uploadRecords();
    // A limited upload sends its first small grant at once; an unlimited one
    // may still wait in its first send.
    ASSERT_TRUE(WaitFor([&] {
        return download->Cell(kColumnStatus) == "Downloading..." && uploads.RowCount() == 1 &&
               (!c.limitUploads || uploads.Record(0)->Cell(kColumnStatus) == "Uploading...");
    }));
    std::shared_ptr<TransferRecord> upload = uploads.Record(0);

    std::atomic<bool> ended{false};
    std::thread ending([&] {
        switch (c.ending) {
            case Ending::CancelDownload:
                downloads.CancelRow(0);
                break;
            case Ending::CancelUpload:
                uploads.CancelRow(0);
                break;
            case Ending::StopListener:
                sharer->listener->Stop();
                break;
            case Ending::ShutDownDownloads:
                threads.Shutdown();
                break;
        }
        ended = true;
    });
    EXPECT_TRUE(WaitFor([&] { return ended.load(); }, 5s));
    ending.join();
    std::shared_ptr<TransferRecord> endedSide =
        c.ending == Ending::CancelUpload || c.ending == Ending::StopListener
            ? upload
            : std::static_pointer_cast<TransferRecord>(download);
    EXPECT_TRUE(WaitFor([&] { return endedSide->IsFinished(); }, 5s));
    EXPECT_EQ(endedSide->Cell(kColumnStatus), "Canceled...");
    // The other side learns of it from the connection and ends as well.
    EXPECT_TRUE(WaitFor([&] { return download->IsFinished() && upload->IsFinished(); }, 5s));
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, TinyLimitTest,
    ::testing::Values(EndingCase{"CancelledDownload", Ending::CancelDownload, false},
                      EndingCase{"CancelledDownloadOfALimitedUpload", Ending::CancelDownload, true},
                      EndingCase{"CancelledUpload", Ending::CancelUpload, true},
                      EndingCase{"StoppedListener", Ending::StopListener, true},
                      EndingCase{"DownloadThreadsShutDown", Ending::ShutDownDownloads, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Upload slots ------------------------------------------------------------

struct SlotsCase {
    const char* name;
    std::size_t slots;    // from the preferences
    std::size_t ceiling;  // the listener's own
};

void PrintTo(const SlotsCase& c, std::ostream* out) {
    *out << c.name;
}

class UploadSlotsFixture : public ::testing::Test {
  protected:
    void Start(std::size_t slots, std::size_t ceiling,
               PeerOptions options = test::LoopbackOptions()) {
        limits = Limits({.uploadSlots = slots});
        options.limits = limits;
        options.maxRunningUploads = ceiling;
        sharer = std::make_unique<test::PeerHarness>(options);
        sharer->Share("big.bin", std::string(16 * kMiB, 'b'));
        sharer->Share("song.mp3", "0123456789");
        ASSERT_TRUE(sharer->StartListener());
    }
    // An upload that runs until its reader goes: it reads nothing.
    Socket StartStalledUpload() {
        Socket reader = test::OpenStalledReader(sharer->port(), Request("big.bin"));
        EXPECT_EQ(test::WaitForReply(reader.fd(), 10s), test::PeerReply::Data);
        return reader;
    }
    // The whole answer to a request for the small file ("" when refused).
    std::string Fetch() {
        Socket socket = test::ConnectLoopback(sharer->port());
        static_cast<void>(SendAll(socket.fd(), Request("song.mp3")));
        return test::ReadUntilClosed(socket.fd(), 10s);
    }
    std::size_t running() const { return sharer->listener->runningUploads(); }

    std::shared_ptr<TransferLimits> limits;
    std::unique_ptr<test::PeerHarness> sharer;
};

// The lower of the slots and the listener's ceiling holds.
class UploadSlotsTest : public UploadSlotsFixture, public ::testing::WithParamInterface<SlotsCase> {
  protected:
    void SetUp() override { Start(GetParam().slots, GetParam().ceiling); }
};

TEST_P(UploadSlotsTest, ASecondRequestIsRefusedWhileTheFirstRunsAndServedAfter) {
    Socket first = StartStalledUpload();
    EXPECT_EQ(Fetch(), "");
    EXPECT_EQ(sharer->listener->uploadRecords().RowCount(), 1u);
    first.reset();
    ASSERT_TRUE(WaitFor([&] { return running() == 0; }));
    EXPECT_EQ(Fetch(), "0123456789");
}

INSTANTIATE_TEST_SUITE_P(Listener, UploadSlotsTest,
                         ::testing::Values(SlotsCase{"OneSlot", 1, kMaxRunningUploads},
                                           SlotsCase{"CeilingBelowTheSlots", 8, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

using SlotsAtRunTimeTest = UploadSlotsFixture;

TEST_F(SlotsAtRunTimeTest, MoreLetTheNextRequestInAndFewerCutNothing) {
    Start(1, kMaxRunningUploads);
    Socket first = StartStalledUpload();
    limits->Apply({.uploadSlots = 2});
    Socket second = StartStalledUpload();
    EXPECT_EQ(running(), 2u);
    limits->Apply({.uploadSlots = 1});
    EXPECT_EQ(Fetch(), "");
    // Both running uploads go on: each still has its reader and its row.
    EXPECT_EQ(running(), 2u);
    for (const auto& record : sharer->listener->uploadRecords().Records()) {
        EXPECT_FALSE(record->IsFinished()) << record->Cell(kColumnStatus);
    }
    first.reset();
    second.reset();
    ASSERT_TRUE(WaitFor([&] { return running() == 0; }));
    EXPECT_EQ(Fetch(), "0123456789");
}

// A reader that keeps taking a little now and then, far below the least rate,
// loses its upload within about the stall time, and the slot serves the next.
TEST_F(SlotsAtRunTimeTest, ATricklingReaderGivesItsSlotBack) {
    PeerOptions options = test::LoopbackOptions();
    options.stallTimeout = 1s;
    options.minUploadBytes = kMiB;
    Start(1, kMaxRunningUploads, options);
    test::TricklingReader slow(StartStalledUpload(), 4096, 20ms);
    EXPECT_EQ(Fetch(), "");
    ASSERT_TRUE(WaitFor([&] { return running() == 0; }, 15s));
    EXPECT_EQ(Fetch(), "0123456789");
    EXPECT_EQ(sharer->listener->uploadRecords().Record(0)->Cell(kColumnStatus), kStatusError);
}

}  // namespace
}  // namespace brindle
