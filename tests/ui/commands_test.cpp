#include <poll.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QtTest/QTest>

#include <atomic>

#include "app/app_commands.h"
#include "net/socket.h"
#include "peer/transfer_record.h"
#include "support/scripted_server.h"
#include "ui/report_view.h"
#include "ui_test_support.h"
#include "window_fixture.h"

namespace brindle::test {
namespace {

// A sharing peer: reads the four request lines ("GET\n", name, user,
// connection), records them, and answers with
// `contents` (or, when `stall` is set, with its first byte only, then waits
// for the downloader to go away).
class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::string contents, bool stall = false)
        : contents_(std::move(contents)), stall_(stall), server_([this](int fd) { Serve(fd); }) {}
    int port() const { return server_.port(); }
    std::vector<std::string> requestLines() const {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }

  private:
    void Serve(int fd) {
        for (int i = 0; i < 4; ++i) {
            std::string line;
            if (!ReceiveLine(fd, line)) {
                return;
            }
            std::lock_guard<std::mutex> hold(lock_);
            lines_.push_back(line);
        }
        if (!stall_) {
            static_cast<void>(SendAll(fd, contents_));
            return;
        }
        static_cast<void>(SendAll(fd, contents_.substr(0, 1)));
        pollfd wait{fd, POLLIN, 0};
        ::poll(&wait, 1, 10000);  // until the downloader closes, at most 10 s
    }

    std::string contents_;
    bool stall_;
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
    ScriptedServer server_;
};

// One search result at 127.0.0.1, named with two folders before its file name.
std::string OneResult(size_t length) {
    return HttpReply("1\nmusic\\live\\song.mp3\nbob\nDSL,Cable\n" + std::to_string(length) +
                     "\n127.0.0.1\n");
}

// Transfer rows written directly, as a worker would.
class RowRecord : public TransferRecord {
  public:
    RowRecord(const std::string& name, TransferStatus status) {
        TransferRow row = NewTransferRow(name, "bob", "T1", 5);
        row.status = status;
        InitRow(row);
    }
    void Run() override {}
};

class CommandsTest : public WindowFixture {
  protected:
    std::string Status(size_t row) {
        auto record = app.downloadRecords().Record(row);
        return record ? record->Cell(kColumnStatus) : std::string();
    }
    QString ViewCell(CReportView* view, int row, int column) {
        return view->model()->index(row, column).data().toString();
    }
};

TEST_F(CommandsTest, SearchFillsTheResultsListFromTheServer) {
    HttpScriptedServer server(
        HttpReply("2\nmusic\\a.mp3\nbob\nT1\n1234\n10.0.0.2\nb.mp3\r\ncat\r\nISDN-56K\r\n99\r\n10."
                  "0.0.3\r\n"));
    UseSettings(server.url());
    tabs->SelectPage(CMainTabCtrl::kSearchPage);
    tabs->fileNameEdit()->setText("a b");
    QTest::mouseClick(tabs->searchButton(), Qt::LeftButton);

    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.LastBody(), "event=onSearch&qs=a+b&max=100&ext=*.mp3&userName=ann");
    CReportView* list = tabs->resultsList();
    ASSERT_EQ(list->model()->rowCount(), 2);
    EXPECT_EQ(ViewCell(list, 0, 0), "music\\a.mp3");
    EXPECT_EQ(ViewCell(list, 0, 1), "1234");
    EXPECT_EQ(ViewCell(list, 0, 2), "bob");
    EXPECT_EQ(ViewCell(list, 0, 3), "T1");
    EXPECT_EQ(ViewCell(list, 1, 0), "b.mp3");
    EXPECT_EQ(ViewCell(list, 1, 3), "ISDN-56K");
    EXPECT_EQ(tabs->results().resultAddresses(),
              std::vector<std::string>({"10.0.0.2", "10.0.0.3"}));
    EXPECT_TRUE(messages.shown().empty());

    // Bad input leaves the rows as they were.
    tabs->maxResultsEdit()->setText("0");
    tabs->RunSearch();
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Max results must be greater then zero!"});
    EXPECT_EQ(list->model()->rowCount(), 2);
}

TEST_F(CommandsTest, StartDownloadFetchesTheSelectedResult) {
    ScriptedPeer peer("hello");
    HttpScriptedServer server(OneResult(5));
    UseSettings(server.url());
    PeerOptions options;
    options.port = peer.port();
    tabs->SetPeerOptions(options);
    tabs->RunSearch();
    tabs->resultsList()->SelectRow(0);

    tabs->StartDownload();
    EXPECT_EQ(tabs->currentPage(), CMainTabCtrl::kTransferPage);
    ASSERT_EQ(app.downloadRecords().RowCount(), 1u);
    // The row shows at once, before the next timed refresh.
    EXPECT_EQ(ViewCell(tabs->downloadTable(), 0, 0), "song.mp3");
    EXPECT_EQ(ViewCell(tabs->downloadTable(), 0, 1), "bob");
    ASSERT_TRUE(WaitForUi([&] { return Status(0) == kStatusComplete; }));
    EXPECT_EQ(ReadWholeFile(dir.path() / "share" / "song.mp3"), "hello");
    // The whole remote name, backslashes included, is what the peer is asked for.
    EXPECT_EQ(peer.requestLines(), std::vector<std::string>({"GET\n", "music\\live\\song.mp3\n",
                                                             "bob\n", "DSL,Cable\n"}));
    // The view follows the worker through its timed refresh.
    EXPECT_TRUE(
        WaitForUi([&] { return ViewCell(tabs->downloadTable(), 0, 6) == kStatusComplete; }));
}

// Sorted by size (as numbers: 7 < 40 < 300, where text would give 300 < 40 < 7),
// the row the user sees selected is the one downloaded and then cancelled.
TEST_F(CommandsTest, CommandsActOnTheRowSelectedInASortedList) {
    ScriptedPeer peer("x", /*stall=*/true);
    HttpScriptedServer server(
        HttpReply("3\nd\\big.mp3\nbob\nT1\n300\n127.0.0.1\nd\\small.mp3\nbob\nT1\n7\n127.0.0.1\n"
                  "d\\mid.mp3\nbob\nT1\n40\n127.0.0.1\n"));
    UseSettings(server.url());
    PeerOptions options;
    options.port = peer.port();
    tabs->SetPeerOptions(options);
    tabs->RunSearch();
    CReportView* results = tabs->resultsList();
    ASSERT_EQ(results->model()->rowCount(), 3);
    results->sortByColumn(1, Qt::AscendingOrder);
    EXPECT_EQ(ViewCell(results, 0, 1), "7");
    EXPECT_EQ(ViewCell(results, 1, 1), "40");
    EXPECT_EQ(ViewCell(results, 2, 1), "300");
    results->selectionModel()->setCurrentIndex(
        results->model()->index(1, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EXPECT_EQ(results->SelectedRow(), 2);  // the core's row of "mid.mp3"
    tabs->StartDownload();
    ASSERT_EQ(app.downloadRecords().RowCount(), 1u);
    EXPECT_EQ(app.downloadRecords().Record(0)->Cell(kColumnFileName), "mid.mp3");

    // Two more rows; the list sorted by name, descending, puts "c.mp3" on top.
    auto first = std::make_shared<RowRecord>("a.mp3", TransferStatus::Downloading);
    auto last = std::make_shared<RowRecord>("c.mp3", TransferStatus::Downloading);
    app.downloadRecords().Append(first);
    app.downloadRecords().Append(last);
    tabs->RefreshTransfers();
    CReportView* downloads = tabs->downloadTable();
    downloads->sortByColumn(kColumnFileName, Qt::DescendingOrder);
    EXPECT_EQ(ViewCell(downloads, 0, kColumnFileName), "mid.mp3");
    EXPECT_EQ(ViewCell(downloads, 1, kColumnFileName), "c.mp3");
    downloads->selectionModel()->setCurrentIndex(
        downloads->model()->index(1, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTest::mouseClick(tabs->cancelButton(), Qt::LeftButton);
    EXPECT_TRUE(last->IsCancelRequested());
    EXPECT_FALSE(first->IsCancelRequested());
    app.downloadRecords().CancelRow(0);  // the stalled download ends with the test
}

TEST_F(CommandsTest, StartDownloadAsksBeforeOverwritingAndRefusesADuplicateRow) {
    ScriptedPeer peer("hello");
    HttpScriptedServer server(OneResult(5));
    UseSettings(server.url());
    dir.WriteFile("share/song.mp3", "old");
    PeerOptions options;
    options.port = peer.port();
    tabs->SetPeerOptions(options);
    tabs->RunSearch();
    tabs->resultsList()->SelectRow(0);
    const std::string question = "The file (song.mp3) alrady exists.\nDo you want to overwrite it?";

    // No and Cancel keep the file and create nothing.
    messages.AnswerWith({Answer::No, Answer::Cancel, Answer::Yes, Answer::Yes});
    tabs->StartDownload();
    tabs->StartDownload();
    EXPECT_EQ(app.downloadRecords().RowCount(), 0u);
    EXPECT_EQ(tabs->currentPage(), CMainTabCtrl::kTransferPage);
    EXPECT_EQ(ReadWholeFile(dir.path() / "share" / "song.mp3"), "old");

    // Yes replaces it.
    tabs->StartDownload();
    ASSERT_EQ(app.downloadRecords().RowCount(), 1u);
    ASSERT_TRUE(WaitForUi([&] { return Status(0) == kStatusComplete; }));
    EXPECT_EQ(ReadWholeFile(dir.path() / "share" / "song.mp3"), "hello");

    // Again before Clear: the question comes first, then the table refuses it.
    tabs->StartDownload();
    EXPECT_EQ(app.downloadRecords().RowCount(), 1u);
    EXPECT_EQ(messages.questions(), std::vector<std::string>(4, question));
    EXPECT_EQ(messages.texts(),
              std::vector<std::string>{"The file (song.mp3) is alrady on the download table..."});
    EXPECT_EQ(messages.shown().back().icon, MessageIcon::None);
}

TEST_F(CommandsTest, CancelStopsTheSelectedDownload) {
    ScriptedPeer peer(std::string(1000, 'x'), /*stall=*/true);
    HttpScriptedServer server(OneResult(1000));
    UseSettings(server.url());
    PeerOptions options;
    options.port = peer.port();
    tabs->SetPeerOptions(options);
    tabs->RunSearch();
    tabs->resultsList()->SelectRow(0);
    tabs->StartDownload();
    ASSERT_TRUE(WaitForUi([&] { return Status(0) == kStatusDownloading; }));

    tabs->downloadTable()->SelectRow(0);
    QTest::mouseClick(tabs->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitForUi([&] { return Status(0) == kStatusCanceled; }));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "share" / "song.mp3"));
    EXPECT_EQ(app.downloadRecords().RowCount(), 1u);  // the row stays until Clear
}

TEST_F(CommandsTest, CancelReachesTheSelectedRowOfEachTable) {
    PeerOptions options;
    options.port = 0;
    ASSERT_TRUE(StartPeerListener(app, display, options));
    tabs->AttachUploadTable(app.peerListener()->uploadRecords());
    auto download = std::make_shared<RowRecord>("a.mp3", TransferStatus::Downloading);
    auto otherDownload = std::make_shared<RowRecord>("b.mp3", TransferStatus::Downloading);
    auto upload = std::make_shared<RowRecord>("c.mp3", TransferStatus::Uploading);
    app.downloadRecords().Append(download);
    app.downloadRecords().Append(otherDownload);
    app.peerListener()->uploadRecords().Append(upload);
    tabs->RefreshTransfers();

    tabs->downloadTable()->SelectRow(1);
    tabs->uploadTable()->SelectRow(0);
    tabs->CancelSelectedTransfers();
    EXPECT_FALSE(download->IsCancelRequested());
    EXPECT_TRUE(otherDownload->IsCancelRequested());
    EXPECT_TRUE(upload->IsCancelRequested());
}

TEST_F(CommandsTest, ClearRemovesFinishedRowsAndTheSelectionStaysOnItsRow) {
    for (TransferStatus status :
         {TransferStatus::Complete, TransferStatus::Downloading, TransferStatus::Canceled,
          TransferStatus::Error, TransferStatus::Connecting}) {
        app.downloadRecords().Append(std::make_shared<RowRecord>(StatusText(status), status));
    }
    tabs->RefreshTransfers();
    tabs->downloadTable()->SelectRow(4);  // "Connecting..."

    QTest::mouseClick(tabs->clearButton(), Qt::LeftButton);
    ASSERT_EQ(app.downloadRecords().RowCount(), 2u);
    EXPECT_EQ(Status(0), kStatusDownloading);
    EXPECT_EQ(Status(1), kStatusConnecting);
    ASSERT_EQ(tabs->downloadTable()->model()->rowCount(), 2);
    EXPECT_EQ(tabs->downloadTable()->SelectedRow(), 1);
    EXPECT_EQ(ViewCell(tabs->downloadTable(), 1, 6), kStatusConnecting);
}

TEST_F(CommandsTest, AMessageFromTheListenerThreadAppearsInTheDisplay) {
    PeerOptions options;
    options.port = 0;
    ASSERT_TRUE(StartPeerListener(app, display, options));
    Socket peer = OpenServerConnection("127.0.0.1", app.peerListener()->port());
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(SendAll(peer.fd(), std::string("MESSAGE\n<bob> hi there\n")));
    EXPECT_TRUE(WaitForUi([&] { return tabs->messageView()->toPlainText() == "<bob> hi there"; }));
}

TEST_F(CommandsTest, SendShowsTheLineOnBothSidesAndScrollsToTheEnd) {
    PeerOptions options;
    options.port = 0;
    ASSERT_TRUE(StartPeerListener(app, display, options));
    options.port = app.peerListener()->port();
    tabs->SetPeerOptions(options);
    HttpScriptedServer server(HttpReply("127.0.0.1\r\n"));
    UseSettings(server.url());
    window->show();
    for (int i = 0; i < 100; ++i) {
        display.AppendLine("<old> line " + std::to_string(i) + "\n");
    }
    display.Flush();
    tabs->messageView()->verticalScrollBar()->setValue(0);

    tabs->userNameEdit()->setText("ann");
    tabs->messageEdit()->setText("hello me");
    QTest::mouseClick(tabs->sendButton(), Qt::LeftButton);
    EXPECT_TRUE(tabs->messageEdit()->text().isEmpty());
    EXPECT_EQ(tabs->userNameEdit()->text(), "ann");
    QScrollBar* bar = tabs->messageView()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    // The own line, then the same line as the listener received it.
    ASSERT_TRUE(WaitForUi([&] { return tabs->messageView()->document()->blockCount() == 102; }));
    EXPECT_EQ(tabs->messageView()->document()->findBlockByNumber(100).text(), "<ann> hello me");
    EXPECT_EQ(tabs->messageView()->document()->findBlockByNumber(101).text(), "<ann> hello me");
    EXPECT_TRUE(messages.shown().empty());
}

TEST_F(CommandsTest, AFailedSendClearsTheTextAndShowsTheReason) {
    HttpScriptedServer server(HttpReply("NOT-LOGGED-IN\n"));
    UseSettings(server.url());
    tabs->userNameEdit()->setText("zed");
    tabs->messageEdit()->setText("lost");
    tabs->SendInstantMessage();
    EXPECT_TRUE(tabs->messageEdit()->text().isEmpty());
    EXPECT_EQ(messages.texts(),
              std::vector<std::string>{"The user zed is currently not logged in."});
    EXPECT_TRUE(tabs->messageView()->toPlainText().isEmpty());
}

}  // namespace
}  // namespace brindle::test
