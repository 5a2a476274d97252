#include <gtest/gtest.h>

#include <filesystem>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "peer_fixture.h"
#include "support/scripted_server.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

SearchResultsTable Results(const std::vector<SearchResult>& rows) {
    SearchResultsTable table;
    for (const auto& row : rows) {
        table.Append(row);
    }
    return table;
}

class StartDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sharer.StartListener());
        sharer.Share("music\\song.mp3", test::PatternBytes(3000));
    }

    StartDownloadResult Start(const std::string& name, const std::string& size = "3000") {
        PeerOptions options = test::LoopbackOptions();
        options.port = sharer.port();
        DownloadStarter starter{downloads, threads, messages, local.str() + "/", options};
        auto results = Results({{"intro.mp3", "zed", "T1", "1", "127.0.0.1"},
                                {name, "ann", "DSL,Cable", size, "127.0.0.1"}});
        return StartDownloadRecord(starter, results, 1);
    }

    bool LastFinished() {
        return WaitFor([&] {
            auto record = downloads.Record(downloads.RowCount() - 1);
            return record && record->IsFinished();
        });
    }

    test::PeerHarness sharer;
    test::TempDir local;
    test::FakeMessageBox messages;
    TransferTable downloads;
    ThreadGroup threads;
};

TEST_F(StartDownloadTest, AddsARowNamedAfterTheLastPartAndFetchesTheWholeName) {
    EXPECT_EQ(Start("music\\song.mp3"), StartDownloadResult::Started);
    ASSERT_EQ(downloads.RowCount(), 1u);
    ASSERT_TRUE(LastFinished());
    EXPECT_EQ(downloads.Record(0)->Cell(kColumnStatus), "File Complete...");
    EXPECT_EQ(test::ReadWholeFile(local.path() / "song.mp3"), test::PatternBytes(3000));
    EXPECT_TRUE(messages.shown().empty());
    EXPECT_TRUE(messages.questions().empty());
}

TEST_F(StartDownloadTest, AsksBeforeOverwritingAndOnlyYesGoesOn) {
    local.WriteFile("song.mp3", "mine");
    messages.AnswerWith({Answer::No, Answer::Cancel});
    EXPECT_EQ(Start("music\\song.mp3"), StartDownloadResult::Declined);
    EXPECT_EQ(Start("music\\song.mp3"), StartDownloadResult::Declined);
    EXPECT_EQ(downloads.RowCount(), 0u);
    EXPECT_EQ(messages.questions(), std::vector<std::string>(2,
                                                             "The file (song.mp3) alrady exists.\n"
                                                             "Do you want to overwrite it?"));
    EXPECT_EQ(test::ReadWholeFile(local.path() / "song.mp3"), "mine");
}

TEST_F(StartDownloadTest, RefusesANameAlreadyOnTheTableAfterTheQuestion) {
    EXPECT_EQ(Start("music\\song.mp3"), StartDownloadResult::Started);
    ASSERT_TRUE(LastFinished());
    // The file exists now: the question comes first, then the table's refusal.
    EXPECT_EQ(Start("other\\song.mp3"), StartDownloadResult::AlreadyListed);
    EXPECT_EQ(messages.questions().size(), 1u);
    // Another letter case is another file here, but the same row of the table.
    EXPECT_EQ(Start("other\\SONG.MP3"), StartDownloadResult::AlreadyListed);
    EXPECT_EQ(messages.questions().size(), 1u);
    EXPECT_EQ(messages.texts(),
              (std::vector<std::string>{"The file (song.mp3) is alrady on the download table...",
                                        "The file (SONG.MP3) is alrady on the download table..."}));
    EXPECT_EQ(downloads.RowCount(), 1u);
}

TEST_F(StartDownloadTest, AnUnusableLocalNameAsksNothingAndFails) {
    EXPECT_EQ(Start("music\\.."), StartDownloadResult::Started);
    EXPECT_TRUE(messages.questions().empty());
    ASSERT_TRUE(LastFinished());
    EXPECT_EQ(downloads.Record(0)->Cell(kColumnStatus), "Transfer Error...");
    EXPECT_TRUE(std::filesystem::is_empty(local.path()));
}

TEST_F(StartDownloadTest, ALengthThatIsNoByteCountNeverReplacesTheLocalFile) {
    local.WriteFile("song.mp3", "a good file\n");
    messages.AnswerWith({Answer::Yes});
    EXPECT_EQ(Start("music\\song.mp3", "unknown"), StartDownloadResult::Started);
    ASSERT_TRUE(LastFinished());
    EXPECT_EQ(downloads.Record(0)->Cell(kColumnStatus), "Transfer Error...");
    EXPECT_EQ(test::ReadWholeFile(local.path() / "song.mp3"), "a good file\n");
    // Nothing would be overwritten, so nothing is asked, and the sharer is never asked either.
    EXPECT_TRUE(messages.questions().empty());
    EXPECT_EQ(sharer.listener->uploadRecords().RowCount(), 0u);
}

TEST_F(StartDownloadTest, CancelAndClearWorkOnTheSelectedAndFinishedRows) {
    ASSERT_EQ(Start("music\\song.mp3"), StartDownloadResult::Started);
    ASSERT_TRUE(LastFinished());
    // A second download that stays open: its peer never answers.
    test::ScriptedServer silent([](int fd) { test::ReadUntilClosed(fd, 10s); });
    PeerOptions options = test::LoopbackOptions();
    options.port = silent.port();
    DownloadStarter starter{downloads, threads, messages, local.str() + "/", options};
    ASSERT_EQ(
        StartDownloadRecord(starter, Results({{"slow.bin", "bob", "T1", "100", "127.0.0.1"}}), 0),
        StartDownloadResult::Started);

    ClearFinishedRows(downloads, nullptr);
    ASSERT_EQ(downloads.RowCount(), 1u);
    EXPECT_EQ(downloads.Record(0)->Cell(kColumnFileName), "slow.bin");
    CancelTableRows(downloads, 0, nullptr, -1);
    ASSERT_TRUE(LastFinished());
    EXPECT_EQ(downloads.Record(0)->Cell(kColumnStatus), "Canceled...");
    ClearFinishedRows(downloads, nullptr);
    EXPECT_EQ(downloads.RowCount(), 0u);
}

// The same commands on the application object, with its own listener.
TEST(PeerApp, SendsToItselfAndClosesItsListenerAtExit) {
    test::TempDir dir;
    test::FakeMessageBox messages;
    test::HttpScriptedServer directory(test::HttpReply("127.0.0.1\n"));
    CShareApp app(UiPorts{&messages, nullptr, nullptr}, dir.str() + "/config.txt");
    AppSettings settings;
    settings.serverUrl = directory.url();
    settings.userName = "me";
    settings.sharedDirectory = dir.str() + "/";
    settings.connection = "T1";
    settings.password = "pw";
    app.SetSettings(settings);
    app.SetRequestTimeouts({2000ms, 2000ms});

    test::RecordingDisplay display;
    ASSERT_TRUE(StartPeerListener(app, display, test::LoopbackOptions()));
    PeerOptions options = test::LoopbackOptions();
    options.port = app.peerListener()->port();
    EXPECT_EQ(SendMessageFromApp(app, display, "me", "note to self", options), MessageResult::Sent);
    ASSERT_TRUE(WaitFor([&] { return display.count() == 2; }));
    EXPECT_EQ(display.lines(), std::vector<std::string>(2, "<me> note to self\n"));

    app.ExitApplication();
    EXPECT_FALSE(test::ConnectLoopback(options.port).valid());
    EXPECT_TRUE(messages.shown().empty());
}

}  // namespace
}  // namespace brindle
