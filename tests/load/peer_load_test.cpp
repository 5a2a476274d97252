// The peer side under load, on loopback: more downloads from one peer at once
// than it serves at a time, a crowd of peers that ask and never read, a burst
// of messages from many senders, and a crowd of silent connections that must
// not keep legitimate peers out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>

#include "faults/fault_support.h"
#include "peer/download.h"
#include "peer/instant_message.h"
#include "peer/peer_listener.h"
#include "peer/transfer_commands.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One sharing peer on loopback.
class SharingPeer {
  public:
    explicit SharingPeer(PeerOptions options) {
        options.port = 0;
        options.listenAddress = "127.0.0.1";
        listener = std::make_unique<PeerListener>(display, messages, files, options);
    }
    void Share(const std::string& name, const std::string& contents) {
        share.WriteFile(name, contents);
        list.push_back({name, static_cast<long long>(contents.size())});
        files.Publish({share.str() + "/", list});
    }
    // Every upload row has its final text.
    bool UploadsFinished() const {
        auto records = listener->uploadRecords().Records();
        return std::all_of(records.begin(), records.end(),
                           [](const auto& record) { return record->IsFinished(); });
    }

    TempDir share;
    SharedFilesHolder files;
    SharedFileList list;
    RecordingDisplay display;
    FakeMessageBox messages;
    std::unique_ptr<PeerListener> listener;
};

PeerOptions LoadOptions() {
    PeerOptions options;
    options.stallTimeout = 20s;
    options.requestTimeout = 10s;
    options.blockSize = 64 * 1024;
    return options;
}

TEST(PeerLoad, TwoHundredConcurrentDownloadsArriveWholeAndLeaveNothingBehind) {
    // A sanitizer starts a helper thread with the first thread made: make one
    // first, so the count below holds only what this test leaves.
    std::thread([] {}).join();
    const std::size_t fdsBefore = OpenDescriptorCount();
    const std::size_t threadsBefore = ThreadCount();
    constexpr int kDownloads = 200;
    // Sizes from empty to 1 MiB, most small: 28 MiB in all.
    const std::size_t sizes[] = {0, 1, 1023, 1024, 1025, 4096, 65536, 65537, 300000, 1 << 20};
    std::vector<std::string> contents;
    {
        SharingPeer peer(LoadOptions());
        std::size_t empty = 0;
        for (int i = 0; i < kDownloads; ++i) {
            contents.push_back(PatternBytes(sizes[i % std::size(sizes)], static_cast<unsigned>(i)));
            empty += contents.back().empty() ? 1 : 0;
            peer.Share("file" + std::to_string(i) + ".bin", contents.back());
        }
        ASSERT_TRUE(peer.listener->Start());

        TempDir into;
        FakeMessageBox messages;
        PeerOptions options = LoadOptions();
        options.port = peer.listener->port();
        Stopwatch watch;
        // All are asked for at once. More than the sharer serves at a time are
        // refused, as a user sees them: "Transfer Error...", and no file. Those
        // are asked for again, all at once, until every file has arrived.
        std::vector<int> wanted(kDownloads);
        std::iota(wanted.begin(), wanted.end(), 0);
        std::size_t completedAtFirst = 0;
        for (int round = 0; round < 20 && !wanted.empty(); ++round) {
            TransferTable downloads;
            ThreadGroup threads;
            DownloadStarter starter{downloads, threads, messages, into.str() + "/", options};
            for (int i : wanted) {
                SearchResultsTable results;
                results.Append({"file" + std::to_string(i) + ".bin", "peer", "T1",
                                std::to_string(contents[i].size()), "127.0.0.1"});
                ASSERT_EQ(StartDownloadRecord(starter, results, 0), StartDownloadResult::Started);
            }
            ASSERT_TRUE(WaitFor(
                [&] {
                    auto records = downloads.Records();
                    return std::all_of(records.begin(), records.end(),
                                       [](const auto& record) { return record->IsFinished(); });
                },
                120s));
            threads.JoinAll();
            std::vector<int> refused;
            for (std::size_t row = 0; row < wanted.size(); ++row) {
                const int i = wanted[row];
                const fs::path file = into.path() / ("file" + std::to_string(i) + ".bin");
                SCOPED_TRACE("download " + std::to_string(i));
                if (downloads.Record(row)->Cell(kColumnStatus) == kStatusComplete) {
                    EXPECT_TRUE(ReadWholeFile(file) == contents[static_cast<std::size_t>(i)]);
                } else {
                    EXPECT_EQ(downloads.Record(row)->Cell(kColumnStatus), kStatusError);
                    EXPECT_FALSE(fs::exists(file));
                    refused.push_back(i);
                }
            }
            if (round == 0) {
                completedAtFirst = wanted.size() - refused.size();
            }
            wanted = std::move(refused);
            ASSERT_TRUE(WaitFor(
                [&] { return peer.UploadsFinished() && peer.listener->runningUploads() == 0; }));
        }
        const auto elapsed = watch.elapsed();
        EXPECT_TRUE(wanted.empty()) << wanted.size() << " never arrived";
        EXPECT_GE(completedAtFirst, kMaxRunningUploads);
        // Only served requests have a row: one per file, but a refused request
        // for an empty file looks complete to its downloader.
        const std::size_t rows = peer.listener->uploadRecords().RowCount();
        EXPECT_LE(rows, static_cast<std::size_t>(kDownloads));
        EXPECT_GE(rows, kDownloads - empty);
        std::printf(
            "200 downloads, %zu MiB, %zu at the first try, in %lld ms\n",
            [&] {
                std::size_t total = 0;
                for (const auto& c : contents)
                    total += c.size();
                return total >> 20;
            }(),
            completedAtFirst, static_cast<long long>(elapsed.count()));
        peer.listener->Stop();
    }
    // Every worker thread has ended and every socket and file is closed.
    EXPECT_TRUE(WaitFor(
        [&] { return OpenDescriptorCount() == fdsBefore && ThreadCount() == threadsBefore; }));
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST(PeerLoad, ThreeHundredStalledDownloadsDoNotSwellThePeer) {
    constexpr int kReaders = 300;
    constexpr long long kMiB = 1 << 20;
    // The block size the program itself uses, not the small one of the other loads.
    SharingPeer peer{PeerOptions{}};
    // A sparse file: large to serve, cheap to make.
    fs::resize_file(peer.share.WriteFile("movie.bin", ""), 64 * kMiB);
    peer.list.push_back({"movie.bin", 64 * kMiB});
    peer.files.Publish({peer.share.str() + "/", peer.list});
    ASSERT_TRUE(peer.listener->Start());
    const int port = peer.listener->port();
    const long long before = ResidentBytes();
    ASSERT_GT(before, 0);

    std::vector<Socket> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.push_back(OpenStalledReader(port, "GET\nmovie.bin\nann\nT1\n"));
        ASSERT_TRUE(readers.back());
    }
    // Every request is answered: with data while uploads are free, closed
    // unanswered once they are all taken.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int served = 0;
    int closed = 0;
    for (const Socket& reader : readers) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        PeerReply reply = WaitForReply(reader.fd(), left);
        served += reply == PeerReply::Data ? 1 : 0;
        closed += reply == PeerReply::Closed ? 1 : 0;
    }
    EXPECT_EQ(served, static_cast<int>(kMaxRunningUploads));
    EXPECT_EQ(closed, kReaders - static_cast<int>(kMaxRunningUploads));
    EXPECT_EQ(peer.listener->runningUploads(), kMaxRunningUploads);
    EXPECT_EQ(peer.listener->uploadRecords().RowCount(), kMaxRunningUploads);
    const long long grown = ResidentBytes() - before;
    EXPECT_LT(grown, 150 * kMiB) << "grew by " << grown / kMiB << " MiB";
    std::printf("%d stalled downloads: %d served, %d refused, %lld MiB more memory\n", kReaders,
                served, closed, grown / kMiB);

    // The listener still takes messages at once.
    Stopwatch watch;
    Socket sender = ConnectLoopback(port);
    ASSERT_TRUE(SendAll(sender.fd(), "MESSAGE\n<ann> still there?\n"));
    EXPECT_TRUE(WaitFor([&] { return peer.display.count() == 1; }, 1s))
        << "after " << watch.elapsed().count() << " ms";
    peer.listener->Stop();
}

TEST(PeerLoad, AThousandMessagesFromTwentySendersAreAllShownWhole) {
    SharingPeer peer(LoadOptions());
    ASSERT_TRUE(peer.listener->Start());
    PeerOptions options = LoadOptions();
    options.port = peer.listener->port();
    constexpr int kSenders = 20;
    constexpr int kEach = 50;
    std::atomic<int> failed{0};
    std::vector<std::thread> senders;
    std::set<std::string> sent;
    std::mutex sentLock;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int m = 0; m < kEach; ++m) {
                // Lengths up to the 1023-byte line limit, so any cut or merge shows.
                std::string text(static_cast<std::size_t>((s * 37 + m * 101) % 960), 'a' + s % 26);
                std::string line =
                    BuildMessageLine("sender" + std::to_string(s), std::to_string(m) + ":" + text);
                {
                    std::lock_guard<std::mutex> hold(sentLock);
                    sent.insert(line);
                }
                if (DeliverMessageLine("127.0.0.1", line, options) != MessageResult::Sent) {
                    ++failed;
                }
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(failed.load(), 0);
    ASSERT_TRUE(WaitFor([&] { return peer.display.count() >= kSenders * kEach; }, 60s));
    auto shown = peer.display.lines();
    EXPECT_EQ(shown.size(), static_cast<std::size_t>(kSenders * kEach));
    EXPECT_EQ(std::set<std::string>(shown.begin(), shown.end()), sent);
}

TEST(PeerLoad, AHundredSilentConnectionsDoNotKeepLegitimatePeersOut) {
    PeerOptions listenerOptions = LoadOptions();
    listenerOptions.requestTimeout = 2s;
    SharingPeer peer(listenerOptions);
    const std::string content = PatternBytes(100000, 1);
    peer.Share("song.mp3", content);
    ASSERT_TRUE(peer.listener->Start());
    const int port = peer.listener->port();

    std::vector<Socket> silent;
    for (int i = 0; i < 100; ++i) {
        Socket socket = ConnectLoopback(port);
        ASSERT_TRUE(socket);
        silent.push_back(std::move(socket));
    }

    PeerOptions options = LoadOptions();
    options.port = port;
    Stopwatch watch;
    std::thread message([&] {
        EXPECT_EQ(DeliverMessageLine("127.0.0.1", "<ann> still there?\n", options),
                  MessageResult::Sent);
    });
    TempDir into;
    auto record = std::make_shared<DownloadRecord>(
        "song.mp3", "song.mp3", "127.0.0.1", "ann", "T1", static_cast<long long>(content.size()),
        std::to_string(content.size()), into.str() + "/", options);
    record->DownloadFile();
    message.join();
    EXPECT_EQ(record->Cell(kColumnStatus), kStatusComplete);
    EXPECT_TRUE(WaitFor([&] { return peer.display.count() == 1; }, 10s));
    const auto served = watch.elapsed();
    EXPECT_LT(served, listenerOptions.requestTimeout) << "served after " << served.count() << " ms";
    EXPECT_TRUE(ReadWholeFile(into.path() / "song.mp3") == content);
}

}  // namespace
}  // namespace brindle::test
