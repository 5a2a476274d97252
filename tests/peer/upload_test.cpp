#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "peer/download.h"
#include "peer_fixture.h"
#include "support/partial_downloads.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::ReadUntilClosed;
using test::WaitFor;

std::string Request(const std::string& name, const std::string& user = "ann",
                    const std::string& connection = "T1") {
    return "GET\n" + name + "\n" + user + "\n" + connection + "\n";
}

// Sends a whole request and reads what comes back until the listener closes.
std::string Fetch(int port, const std::string& request, bool* closed = nullptr) {
    Socket socket = test::ConnectLoopback(port);
    if (!socket || !SendAll(socket.fd(), request)) {
        return "<no connection>";
    }
    return ReadUntilClosed(socket.fd(), 10s, closed);
}

class UploadTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(peer.StartListener()); }
    TransferTable& uploads() { return peer.listener->uploadRecords(); }
    bool RowFinished(std::size_t row) {
        return WaitFor([&] {
            auto record = uploads().Record(row);
            return record && record->IsFinished();
        });
    }

    test::PeerHarness peer;
};

TEST_F(UploadTest, ServesExactlyThePublishedBytesAndFillsItsRow) {
    const std::string content = test::PatternBytes(5000);
    peer.Share("music\\song.mp3", content);
    bool closed = false;
    EXPECT_EQ(Fetch(peer.port(), Request("music\\song.mp3 \t", "ann \r", "DSL,Cable\t"), &closed),
              content);
    EXPECT_TRUE(closed);
    ASSERT_TRUE(RowFinished(0));
    EXPECT_EQ(uploads().Record(0)->Cells(),
              (TransferCells{"music\\song.mp3", "ann", "5000 of 5000", "DSL,Cable", "0.00ks",
                             "100.00%", "File Complete..."}));
}

TEST_F(UploadTest, RefusedRequestsEndWithoutAByteOrARow) {
    peer.Share("song.mp3", "abc");
    for (const std::string name : {"other.mp3", "SONG.MP3", "../song.mp3"}) {
        bool closed = false;
        EXPECT_EQ(Fetch(peer.port(), Request(name), &closed), "") << name;
        EXPECT_TRUE(closed) << name;
    }
    EXPECT_EQ(uploads().RowCount(), 0u);
}

TEST_F(UploadTest, AnEmptyFileCompletesAtOnce) {
    peer.Share("empty.txt", "");
    bool closed = false;
    EXPECT_EQ(Fetch(peer.port(), Request("empty.txt"), &closed), "");
    EXPECT_TRUE(closed);
    ASSERT_TRUE(RowFinished(0));
    auto cells = uploads().Record(0)->Cells();
    EXPECT_EQ(cells[kColumnSize], "0 of 0");
    EXPECT_EQ(cells[kColumnDone], "100.00%");
    EXPECT_EQ(cells[kColumnStatus], "File Complete...");
}

TEST_F(UploadTest, AFileThatShrankIsNotPaddedButEndsInAnError) {
    peer.Share("song.mp3", std::string(3000, 's'), 5000);
    bool closed = false;
    // Already shorter than published when asked for: not one byte goes out.
    EXPECT_EQ(Fetch(peer.port(), Request("song.mp3"), &closed).size(), 0u);
    EXPECT_TRUE(closed);
    ASSERT_TRUE(RowFinished(0));
    EXPECT_EQ(uploads().Record(0)->Cell(kColumnStatus), "Transfer Error...");
}

TEST_F(UploadTest, AFileThatGrewIsServedWithItsPublishedSize) {
    const std::string content = test::PatternBytes(5000);
    peer.Share("song.mp3", content, 3000);
    EXPECT_EQ(Fetch(peer.port(), Request("song.mp3")), content.substr(0, 3000));
    ASSERT_TRUE(RowFinished(0));
    EXPECT_EQ(uploads().Record(0)->Cell(kColumnSize), "3000 of 3000");
}

TEST_F(UploadTest, TwoUploadsOfOneFileEachReportInTheirOwnRow) {
    const std::string content = test::PatternBytes(16 << 20);
    peer.Share("big.bin", content);
    Socket reader = test::ConnectLoopback(peer.port());
    ASSERT_TRUE(SendAll(reader.fd(), Request("big.bin", "reader")));
    ASSERT_TRUE(WaitFor([&] { return uploads().RowCount() == 1; }));
    {
        Socket quitter = test::ConnectLoopback(peer.port());
        ASSERT_TRUE(SendAll(quitter.fd(), Request("big.bin", "quitter")));
        ASSERT_TRUE(WaitFor([&] { return uploads().RowCount() == 2; }));
    }
    EXPECT_EQ(ReadUntilClosed(reader.fd(), 20s).size(), content.size());
    ASSERT_TRUE(RowFinished(0));
    ASSERT_TRUE(RowFinished(1));
    EXPECT_EQ(uploads().Record(0)->Cell(kColumnUser), "reader");
    EXPECT_EQ(uploads().Record(0)->Cell(kColumnStatus), "File Complete...");
    EXPECT_EQ(uploads().Record(1)->Cell(kColumnUser), "quitter");
    EXPECT_EQ(uploads().Record(1)->Cell(kColumnStatus), "Transfer Error...");
}

class StalledUploadTest : public ::testing::Test {
  protected:
    void StartWith(std::chrono::milliseconds stall) {
        PeerOptions options = test::LoopbackOptions();
        options.stallTimeout = stall;
        peer = std::make_unique<test::PeerHarness>(options);
        peer->Share("big.bin", std::string(32 << 20, 'b'));
        ASSERT_TRUE(peer->StartListener());
        // A client that asks and then reads nothing: the sender fills the buffers and blocks.
        client = test::ConnectLoopback(peer->port());
        ASSERT_TRUE(SendAll(client.fd(), Request("big.bin")));
        ASSERT_TRUE(WaitFor([&] { return Row() && Row()->Cell(kColumnStatus) == "Uploading..."; }));
    }
    std::shared_ptr<TransferRecord> Row() { return peer->listener->uploadRecords().Record(0); }

    std::unique_ptr<test::PeerHarness> peer;
    Socket client;
};

TEST_F(StalledUploadTest, APeerThatStopsReadingTimesOut) {
    StartWith(300ms);
    ASSERT_TRUE(WaitFor([&] { return Row()->IsFinished(); }));
    EXPECT_EQ(Row()->Cell(kColumnStatus), "Transfer Error...");
}

TEST_F(StalledUploadTest, CancelEndsASendThatIsBlocked) {
    StartWith(60s);
    auto cancelled = std::chrono::steady_clock::now();
    peer->listener->uploadRecords().CancelRow(0);
    ASSERT_TRUE(WaitFor([&] { return Row()->IsFinished(); }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 5s);
    EXPECT_EQ(Row()->Cell(kColumnStatus), "Canceled...");
}

TEST_F(StalledUploadTest, StoppingTheListenerEndsEveryUploadAtOnce) {
    StartWith(60s);
    auto stopping = std::chrono::steady_clock::now();
    peer->listener->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
    EXPECT_EQ(Row()->Cell(kColumnStatus), "Canceled...");
}

// Both workers together, the downloader against a real listener.
class PeerToPeerTest : public UploadTest {
  protected:
    std::shared_ptr<DownloadRecord> Download(const std::string& remoteName, long long length) {
        PeerOptions options = test::LoopbackOptions();
        options.port = peer.port();
        auto record = std::make_shared<DownloadRecord>(
            remoteName, LocalNameFor(remoteName), "127.0.0.1", "me", "DSL,Cable", length,
            std::to_string(length), into.str() + "/", options);
        downloads.Append(record);
        EXPECT_TRUE(record->Start(threads));
        EXPECT_TRUE(WaitFor([&] { return record->IsFinished(); }, 20s));
        return record;
    }

    test::TempDir into;
    TransferTable downloads;
    ThreadGroup threads;
};

TEST_F(PeerToPeerTest, AFileArrivesWhole) {
    const std::string content = test::PatternBytes((3 << 20) + 17);
    peer.Share("music\\mix.bin", content);
    auto record = Download("music\\mix.bin", static_cast<long long>(content.size()));
    EXPECT_EQ(record->Cell(kColumnStatus), "File Complete...");
    EXPECT_EQ(test::ReadWholeFile(into.path() / "mix.bin"), content);
    ASSERT_TRUE(RowFinished(0));
    EXPECT_EQ(uploads().Record(0)->Cell(kColumnUser), "me");
}

TEST_F(PeerToPeerTest, AShrunkenFileLeavesTheDownloaderWithAnErrorAndNoFile) {
    peer.Share("song.mp3", std::string(3000, 's'), 5000);
    auto record = Download("song.mp3", 5000);
    EXPECT_EQ(record->Cell(kColumnStatus), "Transfer Error...");
    EXPECT_TRUE(test::EntriesButKey(into.path()).empty());
}

}  // namespace
}  // namespace brindle
