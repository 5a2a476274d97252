// Peers that misbehave at every point of a small transfer, a disk that fills
// up, and shared files that change under an upload. The downloader always
// ends in one of its final texts, never keeps a partial file under a visible
// name (nor one too short to be continued), and never
// touches an existing file of the same name unless the transfer completed.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "faults/fault_support.h"
#include "peer/download.h"
#include "peer/peer_listener.h"
#include "support/partial_downloads.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kOldContent[] = "the song the user already had";

// Reads the four request lines a downloader sends (fewer when it goes).
std::string ReadRequestLines(int fd) {
    return test::ReadLines(fd, 4);
}

// Where two byte strings first differ, for messages that do not print them.
std::size_t FirstDifference(const std::string& a, const std::string& b) {
    auto [left, right] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<std::size_t>(left - a.begin());
}

PeerOptions ShortLimits(int port) {
    PeerOptions options;
    options.port = port;
    options.listenAddress = "127.0.0.1";
    options.stallTimeout = 300ms;
    options.requestTimeout = 2s;
    options.blockSize = 7;  // many small receives, so every split point is reached
    return options;
}

class DownloadFaults : public ::testing::Test {
  protected:
    void SetUp() override { share.WriteFile("song.mp3", kOldContent); }

    // Runs one download of "song.mp3" to its end on this thread.
    std::shared_ptr<DownloadRecord> Download(int port, long long length,
                                             const std::string& directory = "") {
        auto record = std::make_shared<DownloadRecord>(
            "music\\song.mp3", "song.mp3", "127.0.0.1", "ann", "DSL,Cable", length,
            std::to_string(length), (directory.empty() ? share.str() : directory) + "/",
            ShortLimits(port));
        record->DownloadFile();
        return record;
    }

    // The download failed and left the directory as it was.
    void ExpectFailedCleanly(const std::shared_ptr<DownloadRecord>& record) {
        EXPECT_EQ(record->Cell(kColumnStatus), kStatusError);
        EXPECT_EQ(ReadWholeFile(share.path() / "song.mp3"), kOldContent);
        EXPECT_EQ(EntriesButKey(share.path()), std::vector<std::string>{"song.mp3"});
    }

    TempDir share;
};

const std::string kRequest = "GET\nmusic\\song.mp3\nann\nDSL,Cable\n";

TEST_F(DownloadFaults, APeerThatClosesAfterEachByteOfTheRequest) {
    for (std::size_t read = 0; read < kRequest.size(); ++read) {
        SCOPED_TRACE("peer closes after reading " + std::to_string(read) + " bytes");
        ScriptedServer peer([&](int fd) {
            char byte;
            for (std::size_t i = 0; i < read && ::recv(fd, &byte, 1, 0) == 1; ++i) {
            }
        });
        ExpectFailedCleanly(Download(peer.port(), 40));
    }
}

TEST_F(DownloadFaults, APeerThatClosesAfterEachByteOfTheFile) {
    const std::string content = PatternBytes(40);
    for (std::size_t sent = 0; sent <= content.size(); ++sent) {
        SCOPED_TRACE("peer closes after sending " + std::to_string(sent) + " bytes");
        std::string request;
        std::shared_ptr<DownloadRecord> record;
        {
            ScriptedServer peer([&](int fd) {
                request = ReadRequestLines(fd);
                static_cast<void>(SendAll(fd, content.substr(0, sent)));
            });
            record = Download(peer.port(), static_cast<long long>(content.size()));
        }
        if (sent < content.size()) {
            ExpectFailedCleanly(record);
        } else {
            EXPECT_EQ(record->Cell(kColumnStatus), kStatusComplete);
            EXPECT_EQ(ReadWholeFile(share.path() / "song.mp3"), content);
            EXPECT_EQ(EntriesButKey(share.path()), std::vector<std::string>{"song.mp3"});
        }
        EXPECT_EQ(request, kRequest);
    }
}

TEST_F(DownloadFaults, APeerThatSendsMoreThanAnnouncedGivesExactlyTheAnnouncedBytes) {
    const std::string content = PatternBytes(4000);
    ScriptedServer peer([&](int fd) {
        ReadRequestLines(fd);
        static_cast<void>(SendAll(fd, content + std::string(10000, 'X')));
        ReadUntilClosed(fd, 10s);  // the downloader must not wait for this close
    });
    Stopwatch watch;
    auto record = Download(peer.port(), static_cast<long long>(content.size()));
    EXPECT_EQ(record->Cell(kColumnStatus), kStatusComplete);
    EXPECT_EQ(ReadWholeFile(share.path() / "song.mp3"), content);
    EXPECT_LT(watch.elapsed(), 3s);
}

TEST_F(DownloadFaults, APeerThatStopsSendingIsATransferErrorAfterTheStallLimit) {
    for (std::size_t sent : {0, 1, 20}) {
        SCOPED_TRACE("peer stops after " + std::to_string(sent) + " bytes");
        ScriptedServer peer([&](int fd) {
            ReadRequestLines(fd);
            static_cast<void>(SendAll(fd, PatternBytes(sent)));
            ReadUntilClosed(fd, 10s);
        });
        Stopwatch watch;
        ExpectFailedCleanly(Download(peer.port(), 40));
        EXPECT_LT(watch.elapsed(), 3s);
    }
}

TEST_F(DownloadFaults, APeerThatNeverReadsTheRequestIsATransferError) {
    ScriptedServer peer([&](int fd) { ReadUntilClosed(fd, 10s); });
    Stopwatch watch;
    ExpectFailedCleanly(Download(peer.port(), 40));
    EXPECT_LT(watch.elapsed(), 3s);
}

// A real full file system: a small tmpfs in a mount namespace of this thread
// only, so nothing is left mounted whatever happens.
TEST_F(DownloadFaults, AFullDiskIsATransferErrorAndKeepsTheOldFile) {
    TempDir mountPoint;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mountPoint.str().c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    }
    const fs::path full = mountPoint.path();
    { std::ofstream(full / "song.mp3", std::ios::binary) << kOldContent; }
    const std::string content = PatternBytes(256 * 1024);
    ScriptedServer peer([&](int fd) {
        ReadRequestLines(fd);
        static_cast<void>(SendAll(fd, content));
        ReadUntilClosed(fd, 10s);
    });
    auto record = Download(peer.port(), static_cast<long long>(content.size()), full.string());
    EXPECT_EQ(record->Cell(kColumnStatus), kStatusError);
    EXPECT_EQ(ReadWholeFile(full / "song.mp3"), kOldContent);
    EXPECT_EQ(EntriesButKey(full), std::vector<std::string>{"song.mp3"});
    ::umount2(full.c_str(), MNT_DETACH);
}

// The serving side: a listener sharing files that change under it.
class UploadFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        PeerOptions options = ShortLimits(0);
        options.blockSize = 64 * 1024;
        // No case here tests the stall limit; a slow reader (a sanitizer build
        // on a busy machine) must not turn a served file into an error.
        options.stallTimeout = 10s;
        listener = std::make_unique<PeerListener>(display, messages, files, options);
        ASSERT_TRUE(listener->Start());
    }

    void Share(const std::string& name, const std::string& content) {
        share.WriteFile(name, content);
        files.Publish({share.str() + "/", {{name, static_cast<long long>(content.size())}}});
    }

    std::shared_ptr<DownloadRecord> DownloadInto(const TempDir& into, long long length) {
        PeerOptions options = ShortLimits(listener->port());
        options.blockSize = 64 * 1024;
        auto record =
            std::make_shared<DownloadRecord>("big.bin", "big.bin", "127.0.0.1", "ann", "T1", length,
                                             std::to_string(length), into.str() + "/", options);
        record->DownloadFile();
        return record;
    }

    std::string UploadStatus() {
        WaitFor([&] {
            auto record = listener->uploadRecords().Record(0);
            return record && record->IsFinished();
        });
        auto record = listener->uploadRecords().Record(0);
        return record ? record->Cell(kColumnStatus) : "<no row>";
    }

    class NoDisplay : public IMessageDisplay {
      public:
        void AppendLine(const std::string&) override {}
    };

    TempDir share;
    SharedFilesHolder files;
    NoDisplay display;
    FakeMessageBox messages;
    std::unique_ptr<PeerListener> listener;
};

TEST_F(UploadFaults, AFileRemovedBeforeTheRequestIsATransferErrorOnBothSides) {
    Share("big.bin", PatternBytes(5000));
    fs::remove(share.path() / "big.bin");
    TempDir into;
    auto record = DownloadInto(into, 5000);
    EXPECT_EQ(record->Cell(kColumnStatus), kStatusError);
    EXPECT_TRUE(EntriesButKey(into.path()).empty());
    EXPECT_EQ(UploadStatus(), kStatusError);
}

// Reads a request's reply on a raw socket: the first bytes, then (once
// `between` has run) the rest until the uploader closes.
std::string FetchAround(int port, const std::function<void()>& between) {
    Socket socket = ConnectLoopback(port);
    static_cast<void>(SendAll(socket.fd(), "GET\nbig.bin\nann\nT1\n"));
    std::string got(4096, '\0');
    ssize_t first = ::recv(socket.fd(), got.data(), got.size(), MSG_WAITALL);
    got.resize(first > 0 ? static_cast<std::size_t>(first) : 0);
    between();
    return got + ReadUntilClosed(socket.fd(), 60s);
}

TEST_F(UploadFaults, AFileShortenedDuringTheUploadEndsTheStreamEarlyWithoutPadding) {
    // Larger than the socket buffers, so the uploader is still sending.
    const std::string content = PatternBytes(24 << 20);
    Share("big.bin", content);
    std::string got =
        FetchAround(listener->port(), [&] { fs::resize_file(share.path() / "big.bin", 8192); });
    EXPECT_LT(got.size(), content.size());
    // What arrived is a prefix of the file, never filler bytes.
    std::size_t same = FirstDifference(got, content);
    EXPECT_EQ(same, got.size()) << "byte " << same << " of " << got.size() << " is "
                                << (same < got.size() ? int(static_cast<unsigned char>(got[same]))
                                                      : -1);
    EXPECT_EQ(UploadStatus(), kStatusError);
}

TEST_F(UploadFaults, AFileRemovedDuringTheUploadIsServedWholeFromTheOpenFile) {
    const std::string content = PatternBytes(24 << 20);
    Share("big.bin", content);
    std::string got = FetchAround(listener->port(), [&] { fs::remove(share.path() / "big.bin"); });
    EXPECT_EQ(got.size(), content.size());
    EXPECT_EQ(FirstDifference(got, content), content.size());
    EXPECT_EQ(UploadStatus(), kStatusComplete);
}

// What was received may stay under its hidden name, to be continued; nothing
// of it shows under the file's own name.
TEST_F(UploadFaults, ADownloaderMeetingAShortenedFileKeepsNoPartialFile) {
    const std::string content = PatternBytes(24 << 20);
    Share("big.bin", content);
    TempDir into;
    into.WriteFile("big.bin", kOldContent);
    std::atomic<bool> done{false};
    std::thread shrink([&] {
        // As soon as the download is under way, the file loses its tail.
        WaitFor([&] { return listener->uploadRecords().RowCount() > 0 || done.load(); });
        fs::resize_file(share.path() / "big.bin", 100);
    });
    auto record = DownloadInto(into, static_cast<long long>(content.size()));
    done = true;
    shrink.join();
    EXPECT_EQ(record->Cell(kColumnStatus), kStatusError);
    EXPECT_EQ(ReadWholeFile(into.path() / "big.bin"), kOldContent);
    EXPECT_EQ(VisibleEntries(into.path()), std::vector<std::string>{"big.bin"});
}

}  // namespace
}  // namespace brindle::test
