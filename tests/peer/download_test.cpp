#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>

#include "peer/download.h"
#include "peer_fixture.h"
#include "support/partial_downloads.h"
#include "support/scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::ReadWholeFile;
using test::ScriptedServer;
using test::WaitFor;

// Reads the four request lines a downloader sends (fewer when it goes).
std::string ReadRequest(int fd) {
    return test::ReadLines(fd, 4);
}

void Send(int fd, const std::string& data) {
    static_cast<void>(SendAll(fd, data));
}

// Holds a serving handler until the worker's side of the connection goes.
void WaitForClientClose(int fd) {
    test::ReadUntilClosed(fd, 10s);
}

// True while some socket of this host waits for the answer to its connect to `port`.
bool ConnectPending(int port) {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, ":%04X 02 ", port);
    std::string table = ReadWholeFile("/proc/net/tcp");
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        // Columns: slot, local address, remote address, state.
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if ((":" + remote.substr(remote.find(':') + 1) + " " + state + " ") == wanted) {
            return true;
        }
    }
    return false;
}

class DownloadTest : public ::testing::Test {
  protected:
    std::shared_ptr<DownloadRecord> Start(const std::string& remoteName,
                                          const std::string& sizeText, int port,
                                          PeerOptions options = test::LoopbackOptions(),
                                          const std::string& address = "127.0.0.1") {
        options.port = port;
        auto record = std::make_shared<DownloadRecord>(
            remoteName, LocalNameFor(remoteName), address, "ann", "DSL,Cable",
            ParseFileLength(sizeText).value_or(kNoFileLength), sizeText, shared.str() + "/",
            options);
        table.Append(record);
        EXPECT_TRUE(record->Start(threads));
        return record;
    }

    static bool Finished(const std::shared_ptr<DownloadRecord>& record) {
        return WaitFor([&] { return record->IsFinished(); }, 15s);
    }

    std::vector<std::string> SharedEntries() const { return test::EntriesButKey(shared.path()); }

    test::TempDir shared;
    TransferTable table;
    ThreadGroup threads;  // joined before the table and the directory go
};

TEST_F(DownloadTest, ReceivesExactlyTheAnnouncedBytesAndReportsCompletion) {
    const std::string content = test::PatternBytes(3000);
    test::LockedText request;
    ScriptedServer peer([&](int fd) {
        request.Set(ReadRequest(fd));
        Send(fd, content + "bytes beyond the file");
        WaitForClientClose(fd);
    });
    auto record = Start("music\\pop\\song.mp3", "3000", peer.port());
    ASSERT_TRUE(Finished(record));
    threads.JoinAll();

    EXPECT_EQ(request.Get(), "GET\nmusic\\pop\\song.mp3\nann\nDSL,Cable\n");
    EXPECT_EQ(ReadWholeFile(shared.path() / "song.mp3"), content);
    EXPECT_EQ(record->Cells(), (TransferCells{"song.mp3", "ann", "3000 of 3000", "DSL,Cable",
                                              "0.00ks", "100.00%", "File Complete..."}));
    EXPECT_EQ(SharedEntries(), std::vector<std::string>{"song.mp3"});
}

TEST_F(DownloadTest, ShowsProgressAfterEachBlock) {
    std::atomic<bool> resume{false};
    ScriptedServer peer([&](int fd) {
        ReadRequest(fd);
        Send(fd, std::string(1025, 'a'));
        WaitFor([&] { return resume.load(); }, 10s);
        Send(fd, std::string(1975, 'b'));
        WaitForClientClose(fd);
    });
    auto record = Start("song.mp3", "3000", peer.port());
    ASSERT_TRUE(WaitFor([&] { return record->Cell(kColumnSize) == "1025 of 3000"; }));
    EXPECT_EQ(record->Cell(kColumnDone), "34.13%");
    EXPECT_EQ(record->Cell(kColumnStatus), "Downloading...");
    resume = true;
    ASSERT_TRUE(Finished(record));
    EXPECT_EQ(record->Cell(kColumnStatus), "File Complete...");
}

TEST_F(DownloadTest, AShortStreamFailsAndLeavesAnExistingFileAlone) {
    shared.WriteFile("song.mp3", "the old song");
    ScriptedServer peer([&](int fd) {
        ReadRequest(fd);
        Send(fd, std::string(1000, 'x'));
    });
    auto record = Start("song.mp3", "3000", peer.port());
    ASSERT_TRUE(Finished(record));
    threads.JoinAll();
    EXPECT_EQ(record->Cell(kColumnStatus), "Transfer Error...");
    EXPECT_EQ(ReadWholeFile(shared.path() / "song.mp3"), "the old song");
    EXPECT_EQ(SharedEntries(), std::vector<std::string>{"song.mp3"});
}

// Names that would leave the shared directory, hide a file in it, meet this
// program's own files there, or break a line.
TEST_F(DownloadTest, AnUnsafeOrReservedNameFailsBeforeAnythingHappens) {
    ScriptedServer peer([&](int fd) { ReadRequest(fd); });
    for (const std::string remote :
         {"..", "music\\..", ".", "music\\", "", ".profile", "x\\.brindlenet-key",
          "music\\.brindlenet-r0123-10.part", "a\rb", "a\nb", "a\x01b", "a\tb", "a\x7f"}) {
        auto record = Start(remote, "10", peer.port());
        ASSERT_TRUE(Finished(record)) << remote;
        EXPECT_EQ(record->Cell(kColumnStatus), "Transfer Error...") << remote;
    }
    threads.JoinAll();
    EXPECT_EQ(peer.accepted(), 0);
    EXPECT_TRUE(SharedEntries().empty());
}

TEST_F(DownloadTest, ARemoteNameWithUpwardPartsLandsInsideTheSharedDirectory) {
    test::LockedText request;
    ScriptedServer peer([&](int fd) {
        request.Set(ReadRequest(fd));
        Send(fd, "12345");
    });
    auto record = Start("../../x", "5", peer.port());
    ASSERT_TRUE(Finished(record));
    threads.JoinAll();
    EXPECT_EQ(request.Get(), "GET\n../../x\nann\nDSL,Cable\n");
    EXPECT_EQ(record->Cell(kColumnStatus), "File Complete...");
    EXPECT_EQ(ReadWholeFile(shared.path() / "x"), "12345");
    EXPECT_FALSE(std::filesystem::exists(shared.path().parent_path().parent_path() / "x"));
}

TEST_F(DownloadTest, ALengthOfZeroStillAsksAndCreatesAnEmptyFile) {
    test::LockedText request;
    ScriptedServer peer([&](int fd) { request.Set(ReadRequest(fd)); });
    auto record = Start("empty.txt", "0", peer.port());
    ASSERT_TRUE(Finished(record));
    threads.JoinAll();
    // Nothing comes back, so the worker may be done before the peer has read the request.
    ASSERT_TRUE(WaitFor([&] { return !request.Get().empty(); }));
    EXPECT_EQ(request.Get(), "GET\nempty.txt\nann\nDSL,Cable\n");
    EXPECT_EQ(record->Cells(), (TransferCells{"empty.txt", "ann", "0 of 0", "DSL,Cable", "0.00ks",
                                              "100.00%", "File Complete..."}));
    ASSERT_TRUE(std::filesystem::exists(shared.path() / "empty.txt"));
    EXPECT_EQ(std::filesystem::file_size(shared.path() / "empty.txt"), 0u);
}

// A length text that names no byte count: nothing to stop at, so nothing is
// asked for and the file of that name stays as it was.
class UnusableLengthTest : public DownloadTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(UnusableLengthTest, FailsBeforeConnectingAndLeavesTheFileAlone) {
    shared.WriteFile("song.mp3", "the old song");
    ScriptedServer peer([&](int fd) { ReadRequest(fd); });
    auto record = Start("song.mp3", GetParam(), peer.port());
    ASSERT_TRUE(Finished(record));
    threads.JoinAll();
    EXPECT_EQ(record->Cell(kColumnStatus), "Transfer Error...");
    EXPECT_EQ(peer.accepted(), 0);
    EXPECT_EQ(ReadWholeFile(shared.path() / "song.mp3"), "the old song");
    EXPECT_EQ(SharedEntries(), std::vector<std::string>{"song.mp3"});
}

INSTANTIATE_TEST_SUITE_P(NoByteCount, UnusableLengthTest,
                         ::testing::Values("", "none", "-", "+x12", "-2147483649",
                                           "9223372036854775808", "1e3", "+5", " 5", "5 bytes"));

TEST(ParseFileLength, ReadsByteCountsAndThirtyTwoBitNegativesOnly) {
    const std::vector<std::pair<std::string, std::optional<long long>>> cases = {
        {"13", 13},
        {" \t+13 bytes", std::nullopt},
        {"+13", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
        {"0", 0},
        {"-0", 0},
        {"9223372036854775807", 9223372036854775807LL},
        {"-1", 4294967295LL},
        {"-1294967296", 3000000000LL},
        {"-2147483648", 2147483648LL},
        {"-2147483649", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {"- 5", std::nullopt},
        {"--0", std::nullopt},
        {"-+1", std::nullopt},
        {"0000000000000000013", 13},
        {"00000000000000000013", std::nullopt},  // more than 19 digits
        {"-0000000000000000001", 4294967295LL},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ParseFileLength(text), expected) << '"' << text << '"';
    }
}

TEST_F(DownloadTest, AnUnreachablePeerIsATransferError) {
    int port = 0;
    {
        // A port nobody listens on: the scripted server's own, after it is gone.
        ScriptedServer gone([](int) {});
        port = gone.port();
    }
    auto record = Start("song.mp3", "10", port);
    ASSERT_TRUE(Finished(record));
    EXPECT_EQ(record->Cell(kColumnStatus), "Transfer Error...");
    EXPECT_EQ(record->Cell(kColumnSize), "0 of 10");

    auto unparsable = Start("song.mp3", "10", port, test::LoopbackOptions(), "peer.example");
    ASSERT_TRUE(Finished(unparsable));
    EXPECT_EQ(unparsable->Cell(kColumnStatus), "Transfer Error...");
}

TEST_F(DownloadTest, APeerThatStopsSendingTimesOut) {
    shared.WriteFile("song.mp3", "the old song");
    ScriptedServer peer([&](int fd) {
        ReadRequest(fd);
        Send(fd, std::string(100, 'x'));
        WaitForClientClose(fd);
    });
    PeerOptions options = test::LoopbackOptions();
    options.stallTimeout = 300ms;
    auto record = Start("song.mp3", "3000", peer.port(), options);
    ASSERT_TRUE(Finished(record));
    threads.JoinAll();
    EXPECT_EQ(record->Cell(kColumnStatus), "Transfer Error...");
    EXPECT_EQ(ReadWholeFile(shared.path() / "song.mp3"), "the old song");
    EXPECT_EQ(SharedEntries(), std::vector<std::string>{"song.mp3"});
}

TEST_F(DownloadTest, CancelEndsAReceiveThatIsBlocked) {
    shared.WriteFile("song.mp3", "the old song");
    ScriptedServer peer([&](int fd) {
        ReadRequest(fd);
        Send(fd, std::string(100, 'x'));
        WaitForClientClose(fd);
    });
    PeerOptions options = test::LoopbackOptions();
    options.stallTimeout = 60s;
    auto record = Start("song.mp3", "3000", peer.port(), options);
    ASSERT_TRUE(WaitFor([&] { return record->Cell(kColumnStatus) == "Downloading..."; }));
    auto cancelled = std::chrono::steady_clock::now();
    table.CancelRow(0);
    ASSERT_TRUE(Finished(record));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 5s);
    threads.JoinAll();
    EXPECT_EQ(record->Cell(kColumnStatus), "Canceled...");
    EXPECT_EQ(ReadWholeFile(shared.path() / "song.mp3"), "the old song");
    EXPECT_EQ(SharedEntries(), std::vector<std::string>{"song.mp3"});
}

TEST_F(DownloadTest, CancelEndsAConnectThatIsBlocked) {
    // A listener with a full queue: further connects wait for an answer that never comes.
    int port = 0;
    Socket full = test::ListenOnLoopback(0, port);
    Socket queued = test::ConnectLoopback(port);
    ASSERT_TRUE(queued.valid());

    PeerOptions options = test::LoopbackOptions();
    options.stallTimeout = 60s;
    auto record = Start("song.mp3", "3000", port, options);
    ASSERT_TRUE(WaitFor([&] { return ConnectPending(port); }));
    EXPECT_FALSE(record->IsFinished());
    auto cancelled = std::chrono::steady_clock::now();
    record->RequestCancel();
    ASSERT_TRUE(Finished(record));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 5s);
    EXPECT_EQ(record->Cell(kColumnStatus), "Canceled...");
    threads.JoinAll();
    EXPECT_TRUE(SharedEntries().empty());
}

TEST_F(DownloadTest, AWriteErrorIsATransferErrorNotACompletion) {
    // A file size limit makes the writes fail part way, as a full disk would.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

    shared.WriteFile("song.mp3", "the old song");
    ScriptedServer peer([&](int fd) {
        ReadRequest(fd);
        Send(fd, std::string(3000, 'x'));
        WaitForClientClose(fd);
    });
    auto record = Start("song.mp3", "3000", peer.port());
    bool finished = Finished(record);
    threads.JoinAll();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);

    ASSERT_TRUE(finished);
    EXPECT_EQ(record->Cell(kColumnStatus), "Transfer Error...");
    EXPECT_EQ(ReadWholeFile(shared.path() / "song.mp3"), "the old song");
    EXPECT_EQ(SharedEntries(), std::vector<std::string>{"song.mp3"});
}

}  // namespace
}  // namespace brindle
