// Interrupted downloads kept under their hidden name and continued once the
// sharer proves its file starts with the kept bytes: against a real listener
// through a relay that counts the bytes, against a scripted peer that does not
// know the form, and with partial files that must not be continued.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>

#include "base/file_handle.h"
#include "peer/download.h"
#include "peer/transfer_limits.h"
#include "peer_fixture.h"
#include "support/manual_clock.h"
#include "support/net_helpers.h"
#include "support/partial_downloads.h"
#include "support/scripted_server.h"
#include "support/tcp_relay.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::ReadWholeFile;
using test::WaitFor;

constexpr char kRemote[] = "music\\big.bin";
constexpr long long kLength = 512 * 1024;
const std::string kContent = test::PatternBytes(kLength, 7);

class ResumeTest : public ::testing::Test {
  protected:
    std::shared_ptr<DownloadRecord> NewDownload(int port, long long length = kLength) {
        PeerOptions options = test::LoopbackOptions();
        options.port = port;
        options.stallTimeout = 5s;
        options.blockSize = 16 * 1024;
        options.limits = limits;
        return std::make_shared<DownloadRecord>(kRemote, "big.bin", "127.0.0.1", "ann", "T1",
                                                length, std::to_string(length), into.str() + "/",
                                                options);
    }

    // Runs a download to its end on this thread.
    std::shared_ptr<DownloadRecord> Download(int port, long long length = kLength) {
        auto record = NewDownload(port, length);
        record->DownloadFile();
        return record;
    }

    std::string PartialPath() const {
        return test::KeptPartPath(into.path(), "ann", kRemote, kLength).string();
    }

    // The file was received whole, with the mode a new file gets, and no
    // partial file stays behind.
    void ExpectComplete(const std::shared_ptr<DownloadRecord>& record,
                        const std::string& content = kContent) {
        EXPECT_EQ(record->Cell(kColumnStatus), kStatusComplete);
        EXPECT_TRUE(ReadWholeFile(into.path() / "big.bin") == content);
        EXPECT_EQ(test::VisibleEntries(into.path()), std::vector<std::string>{"big.bin"});
        EXPECT_TRUE(test::PartialEntries(into.path()).empty());
        EXPECT_EQ(test::FileMode(into.path() / "big.bin"), 0666 & ~umask_);
    }

    // A peer that sends the whole file to any request, noting its first line.
    static std::unique_ptr<test::ScriptedServer> WholeFilePeer(test::LockedText& firstLine) {
        return std::make_unique<test::ScriptedServer>([&firstLine](int fd) {
            std::string request = test::ReadLines(fd, 4);
            firstLine.Set(request.substr(0, request.find('\n')));
            static_cast<void>(SendAll(fd, kContent));
        });
    }

    void SetUp() override {
        umask_ = ::umask(022);
        ::umask(umask_);
    }

    test::TempDir into;
    std::shared_ptr<TransferLimits> limits;  // none unless a test sets them
    unsigned umask_ = 022;
};

// How the first attempt ends after `kept` bytes: the peer goes, or the user cancels.
struct Interruption {
    const char* name;
    bool cancel;
    long long kept;
};

class InterruptedDownload : public ResumeTest,
                            public ::testing::WithParamInterface<Interruption> {};

TEST_P(InterruptedDownload, ContinuesWhereItStoppedAndEndsByteExact) {
    const Interruption how = GetParam();
    {
        test::ScriptedServer first([&](int fd) {
            test::ReadLines(fd, 4);
            static_cast<void>(SendAll(fd, kContent.substr(0, how.kept)));
            if (how.cancel) {
                test::ReadUntilClosed(fd, 10s);
            }
        });
        auto record = NewDownload(first.port());
        ThreadGroup threads;
        ASSERT_TRUE(record->Start(threads));
        if (how.cancel) {
            ASSERT_TRUE(WaitFor([&] { return record->Row().done >= how.kept; }, 10s));
            record->RequestCancel();
        }
        threads.JoinAll();
        EXPECT_EQ(record->Cell(kColumnStatus), how.cancel ? kStatusCanceled : kStatusError);
    }
    // Kept whole under the hidden name only, readable by its owner alone.
    EXPECT_EQ(test::VisibleEntries(into.path()), std::vector<std::string>{});
    EXPECT_TRUE(ReadWholeFile(PartialPath()) == kContent.substr(0, how.kept));
    EXPECT_EQ(test::FileMode(PartialPath()), 0600u);

    test::PeerHarness peer;
    peer.Share(kRemote, kContent);
    ASSERT_TRUE(peer.StartListener());
    test::TcpRelay relay(peer.port());
    auto record = Download(relay.port());
    ExpectComplete(record);
    EXPECT_EQ(record->resumedAt(), how.kept);
    // Only the request, the proof line and the rest crossed the wire.
    const std::string request =
        "RESUME\nmusic\\big.bin\nann\nT1\n" + std::to_string(how.kept) + "\n";
    const std::size_t proofLine = std::to_string(kLength).size() + 1 + 64 + 1;
    EXPECT_EQ(relay.seen().substr(0, request.size()), request);
    EXPECT_EQ(static_cast<long long>(relay.seen().size()),
              static_cast<long long>(request.size() + proofLine) + kLength - how.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Peer, InterruptedDownload,
    ::testing::Values(Interruption{"PeerGoneAtHalf", false, kLength / 2},
                      Interruption{"CanceledAtHalf", true, kLength / 2},
                      Interruption{"PeerGoneJustPastTheLeastKept", false, kMinKeptPartBytes + 1},
                      Interruption{"PeerGoneAtTheLastByte", false, kLength - 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResumeTest, AnAttemptEndingWithinTheLeastKeptKeepsNothing) {
    {
        test::ScriptedServer peer([&](int fd) {
            test::ReadLines(fd, 4);
            static_cast<void>(SendAll(fd, kContent.substr(0, kMinKeptPartBytes)));
        });
        EXPECT_EQ(Download(peer.port())->Cell(kColumnStatus), kStatusError);
    }
    EXPECT_TRUE(test::EntriesButKey(into.path()).empty());
}

// The sharer's file changed between the cut and the resume, early or late in
// the kept bytes: the whole file is received again, nothing spliced.
class ChangedFile : public ResumeTest, public ::testing::WithParamInterface<long long> {};

TEST_P(ChangedFile, StartsFromZero) {
    test::WritePartialDownload(into.path(), "ann", kRemote, kLength,
                               kContent.substr(0, kLength / 2));
    std::string changed = kContent;
    changed[static_cast<std::size_t>(GetParam())] ^= 1;
    test::PeerHarness peer;
    peer.Share(kRemote, changed);
    ASSERT_TRUE(peer.StartListener());
    test::TcpRelay relay(peer.port());
    auto record = Download(relay.port());
    ExpectComplete(record, changed);
    EXPECT_EQ(record->resumedAt(), -1);
    EXPECT_NE(relay.seen().find("GET\nmusic\\big.bin\nann\nT1\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Peer, ChangedFile, ::testing::Values(10, kLength / 2 - 1));

TEST_F(ResumeTest, APeerWithoutTheResumeFormIsAskedForTheWholeFile) {
    test::WritePartialDownload(into.path(), "ann", kRemote, kLength,
                               kContent.substr(0, kLength / 2));
    test::LockedText firstLines;
    // Like a peer that knows only "GET": any other first line is closed at once.
    test::ScriptedServer peer([&](int fd) {
        std::string word = test::ReadLines(fd, 1);
        firstLines.Set(firstLines.Get() + word);
        if (word != "GET\n") {
            return;
        }
        test::ReadLines(fd, 3);
        static_cast<void>(SendAll(fd, kContent));
    });
    auto record = Download(peer.port());
    ExpectComplete(record);
    EXPECT_EQ(record->resumedAt(), -1);
    EXPECT_EQ(firstLines.Get(), "RESUME\nGET\n");
}

TEST_F(ResumeTest, APeerRefusingBothFormsLeavesTheKeptBytesAsTheyWere) {
    const std::string kept = kContent.substr(0, kLength / 2);
    test::WritePartialDownload(into.path(), "ann", kRemote, kLength, kept);
    test::ScriptedServer peer([](int fd) { test::ReadLines(fd, 1); });
    EXPECT_EQ(Download(peer.port())->Cell(kColumnStatus), kStatusError);
    EXPECT_EQ(peer.accepted(), 2);
    EXPECT_TRUE(ReadWholeFile(PartialPath()) == kept);
    EXPECT_TRUE(test::VisibleEntries(into.path()).empty());
}

// A receive that gets fewer bytes than the limit allowed gives the rest back:
// a peer sending 1 KiB at a time to a download held to 64 KiB/s needs about
// half a second of the test's clock for 32 KiB, not the several seconds the
// allowances of all those receives would add up to.
TEST_F(ResumeTest, AShortReceiveGivesTheUnusedAllowanceBack) {
    constexpr long long kSmall = 32 * 1024;
    const std::string content = test::PatternBytes(kSmall, 3);
    test::ManualSteadyClock clock;
    limits = std::make_shared<TransferLimits>(clock.Get());
    limits->Apply({.downloadLimitKiB = 64});
    std::atomic<DownloadRecord*> receiving{nullptr};
    test::ScriptedServer peer([&](int fd) {
        test::ReadLines(fd, 4);
        for (long long sent = 0; sent < kSmall; sent += 1024) {
            // The next piece only once the last was received, so no receive gets more.
            if (!WaitFor([&] { return receiving.load()->Row().done >= sent; }, 10s) ||
                !SendAll(fd, content.substr(static_cast<std::size_t>(sent), 1024))) {
                return;
            }
        }
        test::ReadUntilClosed(fd, 10s);
    });
    auto record = NewDownload(peer.port(), kSmall);
    receiving = record.get();
    ThreadGroup threads;
    ASSERT_TRUE(record->Start(threads));
    const int tenths = test::StepClockWhileStalled(
        clock, [&] { return record->IsFinished(); }, [&] { return record->Row().done; }, 100ms,
        400);
    threads.Shutdown();
    ExpectComplete(record, content);
    EXPECT_LE(tenths, 12);
}

// A kept part longer than the file is not asked to be continued: the whole
// file is received.
TEST_F(ResumeTest, AKeptPartLongerThanTheFileStartsFromZero) {
    test::WritePartialDownload(into.path(), "ann", kRemote, kLength, kContent + "more");
    test::LockedText firstLines;
    test::ScriptedServer peer([&](int fd) {
        std::string request = test::ReadLines(fd, 4);
        firstLines.Set(firstLines.Get() + request.substr(0, request.find('\n') + 1));
        static_cast<void>(SendAll(fd, kContent));
    });
    ExpectComplete(Download(peer.port()));
    EXPECT_EQ(firstLines.Get(), "GET\n");
}

// A part under the kept name that this user did not write privately (planted
// by someone else, or opened up since) is never continued.
TEST_F(ResumeTest, APartReadableByOthersIsNotContinued) {
    test::WritePartialDownload(into.path(), "ann", kRemote, kLength,
                               kContent.substr(0, kLength / 2), std::chrono::hours(0), 0644);
    test::LockedText firstLine;
    auto peer = WholeFilePeer(firstLine);
    auto record = Download(peer->port());
    EXPECT_EQ(record->Cell(kColumnStatus), kStatusComplete);
    EXPECT_TRUE(ReadWholeFile(into.path() / "big.bin") == kContent);
    EXPECT_EQ(firstLine.Get(), "GET");
}

// While another download holds the kept part, a second one receives into a
// private file; when it fails, that file goes and the kept part is untouched.
TEST_F(ResumeTest, APrivatePartGoesAfterAFailure) {
    const std::string kept = kContent.substr(0, kLength / 2);
    auto held = test::WritePartialDownload(into.path(), "ann", kRemote, kLength, kept);
    FileHandle lock(::open(held.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.fd(), LOCK_EX | LOCK_NB), 0);
    test::ScriptedServer peer([&](int fd) {
        test::ReadLines(fd, 4);
        static_cast<void>(SendAll(fd, kContent.substr(0, kLength / 2 + 1)));
    });
    EXPECT_EQ(Download(peer.port())->Cell(kColumnStatus), kStatusError);
    EXPECT_EQ(test::PartialEntries(into.path()),
              std::vector<std::string>{held.filename().string()});
    EXPECT_TRUE(ReadWholeFile(held) == kept);
}

// An empty file fetched where a part of it was kept ends empty.
TEST_F(ResumeTest, AnEmptyFileLeavesNoKeptBytesInIt) {
    test::WritePartialDownload(into.path(), "ann", kRemote, 0, "stale bytes");
    test::ScriptedServer peer([&](int fd) { test::ReadLines(fd, 4); });
    auto record = Download(peer.port(), 0);
    EXPECT_EQ(record->Cell(kColumnStatus), kStatusComplete);
    EXPECT_EQ(ReadWholeFile(into.path() / "big.bin"), "");
    EXPECT_TRUE(test::PartialEntries(into.path()).empty());
}

// A partial file that must not be continued: the download asks for the whole
// file and the partial file goes.
struct Outdated {
    const char* name;
    long long keptFor;  // the published length it was kept for
    std::chrono::hours age;
};

class OutdatedPartial : public ResumeTest, public ::testing::WithParamInterface<Outdated> {};

TEST_P(OutdatedPartial, IsDiscardedAndTheWholeFileReceived) {
    const Outdated what = GetParam();
    test::WritePartialDownload(into.path(), "ann", kRemote, what.keptFor,
                               kContent.substr(0, kLength / 2), what.age);
    test::LockedText firstLine;
    auto peer = WholeFilePeer(firstLine);
    auto record = Download(peer->port());
    ExpectComplete(record);
    EXPECT_EQ(firstLine.Get(), "GET");
}

INSTANTIATE_TEST_SUITE_P(
    Peer, OutdatedPartial,
    ::testing::Values(Outdated{"OlderThan30Days", kLength, std::chrono::hours(24 * 31)},
                      Outdated{"KeptForAnotherSize", kLength + 1, std::chrono::hours(0)},
                      Outdated{"KeptForASmallerSize", kLength / 4, std::chrono::hours(0)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResumeTest, OtherDownloadsKeepTheirRecentPartialFiles) {
    auto recent = test::WritePartialDownload(into.path(), "bob", kRemote, kLength, "recent");
    auto old = test::WritePartialDownload(into.path(), "cid", kRemote, kLength, "old",
                                          std::chrono::hours(24 * 31));
    test::ScriptedServer peer([&](int fd) {
        test::ReadLines(fd, 4);
        static_cast<void>(SendAll(fd, kContent));
    });
    EXPECT_EQ(Download(peer.port())->Cell(kColumnStatus), kStatusComplete);
    EXPECT_TRUE(std::filesystem::exists(recent));
    EXPECT_FALSE(std::filesystem::exists(old));
}

// The serving side of the ranged form, on a raw connection.
struct RangedRequest {
    const char* name;
    std::string offsetLine;
    std::string expected;  // the bytes the listener sends before it closes
    bool answered;
};

class RangedRequestTest : public ::testing::TestWithParam<RangedRequest> {};

TEST_P(RangedRequestTest, IsAnsweredFromTheOffsetOrClosedUnanswered) {
    test::PeerHarness peer;
    peer.Share("a.txt", "0123456789");
    ASSERT_TRUE(peer.StartListener());
    Socket socket = test::ConnectLoopback(peer.port());
    ASSERT_TRUE(SendAll(socket.fd(), "GETRANGE\na.txt\nann\nT1\n" + GetParam().offsetLine));
    EXPECT_EQ(test::ReadUntilClosed(socket.fd(), 10s), GetParam().expected);
    // An answer ends in a complete row; a refusal leaves none.
    TransferTable& uploads = peer.listener->uploadRecords();
    if (GetParam().answered) {
        ASSERT_TRUE(
            WaitFor([&] { return uploads.RowCount() == 1 && uploads.Record(0)->IsFinished(); }));
        EXPECT_EQ(uploads.Record(0)->Cell(kColumnStatus), kStatusComplete);
    } else {
        EXPECT_EQ(uploads.RowCount(), 0u);
    }
}

// The proof before a continued part: the published size and the digest of
// the bytes before the offset, then the rest; refused like a ranged request.
TEST(ResumeRequest, ProvesTheBytesBeforeTheOffset) {
    test::PeerHarness peer;
    peer.Share("a.txt", "0123456789");
    ASSERT_TRUE(peer.StartListener());
    auto ask = [&](const std::string& offset, const std::string& word = "RESUME") {
        Socket socket = test::ConnectLoopback(peer.port());
        EXPECT_TRUE(SendAll(socket.fd(), word + "\na.txt\nann\nT1\n" + offset + "\n"));
        return test::ReadUntilClosed(socket.fd(), 10s);
    };
    const std::string four = ask("4");
    ASSERT_EQ(four.size(), 3 + 64 + 1 + 6u);
    EXPECT_EQ(four.substr(0, 3), "10 ");
    EXPECT_EQ(four.substr(67), "\n456789");
    EXPECT_EQ(ask("4"), four);
    EXPECT_NE(ask("5").substr(0, 67), four.substr(0, 67));
    EXPECT_EQ(ask("11"), "");
    EXPECT_EQ(ask("x"), "");
    // In line, the same answer follows the start.
    EXPECT_EQ(ask("4", "QUEUERESUME"), "START\n" + four);
    EXPECT_EQ(ask("11", "QUEUERESUME"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Listener, RangedRequestTest,
    ::testing::Values(RangedRequest{"FromTheStart", "0\n", "0123456789", true},
                      RangedRequest{"FromTheMiddle", "4\n", "456789", true},
                      RangedRequest{"AtTheEnd", "10\n", "", true},
                      RangedRequest{"PastTheEnd", "11\n", "", false},
                      RangedRequest{"NotANumber", "4x\n", "", false},
                      RangedRequest{"Negative", "-1\n", "", false},
                      RangedRequest{"MinusZero", "-0\n", "", false},
                      RangedRequest{"LeadingZeros", "0004\n", "456789", true},
                      RangedRequest{"TwentyDigits", "00000000000000000004\n", "", false},
                      RangedRequest{"TooLarge", "99999999999999999999\n", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle
