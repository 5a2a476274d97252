// Interrupted downloads kept under their hidden name and continued with a
// ranged request: against a real listener through a relay that counts the
// bytes, against a scripted peer that does not know the ranged form, and with
// partial files that must not be continued.
#include <gtest/gtest.h>

#include <filesystem>

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
        return (into.path() / ResumablePartName("ann", kRemote, kLength)).string();
    }

    // The file was received whole and nothing hidden stays behind.
    void ExpectComplete(const std::shared_ptr<DownloadRecord>& record) {
        EXPECT_EQ(record->Cell(kColumnStatus), kStatusComplete);
        EXPECT_TRUE(ReadWholeFile(into.path() / "big.bin") == kContent);
        EXPECT_EQ(test::DirectoryEntries(into.path()), std::vector<std::string>{"big.bin"});
    }

    test::TempDir into;
    std::shared_ptr<TransferLimits> limits;  // none unless a test sets them
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
    // Kept whole under the hidden name only.
    EXPECT_EQ(test::VisibleEntries(into.path()), std::vector<std::string>{});
    EXPECT_TRUE(ReadWholeFile(PartialPath()) == kContent.substr(0, how.kept));

    test::PeerHarness peer;
    peer.Share(kRemote, kContent);
    ASSERT_TRUE(peer.StartListener());
    test::TcpRelay relay(peer.port());
    auto record = Download(relay.port());
    ExpectComplete(record);
    EXPECT_EQ(record->resumedAt(), how.kept);
    // Only the rest and the bytes checked again crossed the wire.
    const std::string request =
        "GETRANGE\nmusic\\big.bin\nann\nT1\n" + std::to_string(how.kept - kResumeCheckBytes) + "\n";
    EXPECT_EQ(relay.seen().substr(0, request.size()), request);
    EXPECT_EQ(static_cast<long long>(relay.seen().size()),
              static_cast<long long>(request.size()) + kLength - how.kept + kResumeCheckBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Peer, InterruptedDownload,
    ::testing::Values(Interruption{"PeerGoneAtHalf", false, kLength / 2},
                      Interruption{"CanceledAtHalf", true, kLength / 2},
                      Interruption{"PeerGoneJustPastTheCheck", false, kResumeCheckBytes + 1},
                      Interruption{"PeerGoneAtTheLastByte", false, kLength - 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResumeTest, AnAttemptEndingWithinTheCheckedBytesKeepsNothing) {
    {
        test::ScriptedServer peer([&](int fd) {
            test::ReadLines(fd, 4);
            static_cast<void>(SendAll(fd, kContent.substr(0, kResumeCheckBytes)));
        });
        EXPECT_EQ(Download(peer.port())->Cell(kColumnStatus), kStatusError);
    }
    EXPECT_TRUE(test::DirectoryEntries(into.path()).empty());
}

TEST_F(ResumeTest, AChangeInTheCheckedBytesStartsFromZero) {
    // The kept bytes differ from the served file in the last byte before the offset.
    std::string kept = kContent.substr(0, kLength / 2);
    kept.back() = static_cast<char>(kept.back() ^ 1);
    test::WritePartialDownload(into.path(), "ann", kRemote, kLength, kept);
    test::PeerHarness peer;
    peer.Share(kRemote, kContent);
    ASSERT_TRUE(peer.StartListener());
    test::TcpRelay relay(peer.port());
    auto record = Download(relay.port());
    ExpectComplete(record);
    EXPECT_EQ(record->resumedAt(), -1);
    EXPECT_NE(relay.seen().find("GET\nmusic\\big.bin\nann\nT1\n"), std::string::npos);
}

TEST_F(ResumeTest, APeerWithoutTheRangedFormIsAskedForTheWholeFile) {
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
    EXPECT_EQ(firstLines.Get(), "GETRANGE\nGET\n");
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

// The bytes checked again count against the download limit like the rest. At
// 64 KiB/s on a clock the test moves, a resume with nothing left but those
// 64 KiB needs about a second of that clock. A step the download has not yet
// waited for is lost to it, so a slow machine can only make it need more.
TEST_F(ResumeTest, TheBytesCheckedAgainWaitForTheDownloadLimit) {
    test::ManualSteadyClock clock;
    limits = std::make_shared<TransferLimits>(clock.Get());
    limits->Apply({.downloadLimitKiB = 64});
    test::WritePartialDownload(into.path(), "ann", kRemote, kLength, kContent);
    test::PeerHarness peer;
    peer.Share(kRemote, kContent);
    ASSERT_TRUE(peer.StartListener());
    auto record = NewDownload(peer.port());
    ThreadGroup threads;
    ASSERT_TRUE(record->Start(threads));
    int tenths = 0;
    while (!WaitFor([&] { return record->IsFinished(); }, 50ms) && tenths < 100) {
        clock.Advance(100ms);
        ++tenths;
    }
    threads.Shutdown();
    ExpectComplete(record);
    EXPECT_EQ(record->resumedAt(), kLength);
    EXPECT_GE(tenths, 9);
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
    test::ScriptedServer peer([&](int fd) {
        std::string request = test::ReadLines(fd, 4);
        firstLine.Set(request.substr(0, request.find('\n')));
        static_cast<void>(SendAll(fd, kContent));
    });
    auto record = Download(peer.port());
    ExpectComplete(record);
    EXPECT_EQ(firstLine.Get(), "GET");
}

INSTANTIATE_TEST_SUITE_P(
    Peer, OutdatedPartial,
    ::testing::Values(Outdated{"OlderThan30Days", kLength, std::chrono::hours(24 * 31)},
                      Outdated{"KeptForAnotherSize", kLength + 1, std::chrono::hours(0)},
                      Outdated{"LongerThanTheFile", kLength / 4, std::chrono::hours(0)}),
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
};

class RangedRequestTest : public ::testing::TestWithParam<RangedRequest> {};

TEST_P(RangedRequestTest, IsAnsweredFromTheOffsetOrClosedUnanswered) {
    test::PeerHarness peer;
    peer.Share("a.txt", "0123456789");
    ASSERT_TRUE(peer.StartListener());
    Socket socket = test::ConnectLoopback(peer.port());
    ASSERT_TRUE(SendAll(socket.fd(), "GETRANGE\na.txt\nann\nT1\n" + GetParam().offsetLine));
    EXPECT_EQ(test::ReadUntilClosed(socket.fd(), 10s), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Listener, RangedRequestTest,
                         ::testing::Values(RangedRequest{"FromTheStart", "0\n", "0123456789"},
                                           RangedRequest{"FromTheMiddle", "4\n", "456789"},
                                           RangedRequest{"AtTheEnd", "10\n", ""},
                                           RangedRequest{"PastTheEnd", "11\n", ""},
                                           RangedRequest{"NotANumber", "4x\n", ""},
                                           RangedRequest{"Negative", "-1\n", ""},
                                           RangedRequest{"TooLarge", "99999999999999999999\n", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle
