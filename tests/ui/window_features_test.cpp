#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTabBar>
#include <QtTest/QTest>

#include <fstream>
#include <vector>

#include "peer/transfer_record.h"
#include "support/scripted_server.h"
#include "ui/config_dialog.h"
#include "ui/desktop_notifier.h"
#include "ui/report_view.h"
#include "ui/size_text.h"
#include "ui/system_tray.h"
#include "ui/transfer_table_model.h"
#include "ui_test_support.h"
#include "window_fixture.h"

namespace brindle::test {
namespace {

class SizedRecord : public TransferRecord {
  public:
    SizedRecord(const std::string& name, long long total, TransferStatus status) {
        TransferRow row = NewTransferRow(name, "bob", "T1", total);
        row.listedTotal.reset();
        row.total = total;
        row.status = status;
        InitRow(row);
    }
    void Run() override {}
    using TransferRecord::UpdateRow;
};

class WindowFeaturesTest : public WindowFixture {
  protected:
    std::shared_ptr<SizedRecord> AddDownload(const std::string& name, long long total,
                                             TransferStatus status) {
        auto record = std::make_shared<SizedRecord>(name, total, status);
        app.downloadRecords().Append(record);
        return record;
    }
    QString Cell(CReportView* view, int row, int column) {
        return view->model()->index(row, column).data().toString();
    }
    // The enabled state and a trigger of each action of a row's menu, by text.
    static QAction* Action(QMenu& menu, const QString& text) {
        for (QAction* action : menu.actions()) {
            if (action->text() == text) {
                return action;
            }
        }
        return nullptr;
    }
};

// --- Sorting -----------------------------------------------------------------

TEST_F(WindowFeaturesTest, TransferSizesSortByBytesAndRowsStayTheirRecords) {
    AddDownload("a.mp3", 900, TransferStatus::Downloading);
    AddDownload("b.mp3", 10000, TransferStatus::Downloading);
    AddDownload("c.mp3", 25, TransferStatus::Downloading);
    tabs->RefreshTransfers();
    CReportView* view = tabs->downloadTable();
    view->sortByColumn(kColumnSize, Qt::AscendingOrder);
    EXPECT_EQ(Cell(view, 0, kColumnFileName), "c.mp3");
    EXPECT_EQ(Cell(view, 1, kColumnFileName), "a.mp3");
    EXPECT_EQ(Cell(view, 2, kColumnFileName), "b.mp3");
    view->SelectRow(0);  // the core's row 0 ("a.mp3") is shown second
    EXPECT_EQ(view->selectionModel()->selectedRows().first().row(), 1);
    EXPECT_EQ(view->SelectedRow(), 0);
    EXPECT_EQ(view->SourceRow(2), 1);
}

// Which way the sort arrow drawn in `column`'s header points: the pixels that
// the arrow changes widen downwards under an up arrow and narrow under a down one.
enum class Arrow { None, Up, Down };

Arrow DrawnSortArrow(QHeaderView* header, int column, Qt::SortOrder order) {
    header->setSortIndicator(column, order);
    const QImage with = header->grab().toImage();
    header->setSortIndicator(-1, order);
    const QImage without = header->grab().toImage();
    std::vector<int> changed;  // per row of pixels, in the section's right half
    const int left = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
    for (int y = 0; y < with.height(); ++y) {
        int count = 0;
        for (int x = left; x < left + header->sectionSize(column) / 2; ++x) {
            count += with.pixel(x, y) != without.pixel(x, y) ? 1 : 0;
        }
        if (count > 0 || !changed.empty()) {
            changed.push_back(count);
        }
    }
    while (!changed.empty() && changed.back() == 0) {
        changed.pop_back();
    }
    if (changed.size() < 2) {
        return Arrow::None;
    }
    const int top = changed.front() + changed[1];
    const int bottom = changed.back() + changed[changed.size() - 2];
    return top < bottom ? Arrow::Up : top > bottom ? Arrow::Down : Arrow::None;
}

TEST_F(WindowFeaturesTest, TheSortArrowPointsUpOverRisingRowsAndDownOverFallingOnes) {
    QHeaderView* header = tabs->resultsList()->header();
    EXPECT_EQ(DrawnSortArrow(header, 1, Qt::AscendingOrder), Arrow::Up);
    EXPECT_EQ(DrawnSortArrow(header, 1, Qt::DescendingOrder), Arrow::Down);
}

// --- Window state --------------------------------------------------------------

TEST_F(WindowFeaturesTest, SizeTabAndColumnWidthsComeBackInTheNextRun) {
    const QString file = QString::fromStdString((dir.path() / "window.ini").string());
    window->resize(700, 520);
    tabs->SelectPage(CMainTabCtrl::kTransferPage);
    tabs->downloadTable()->header()->resizeSection(0, 211);
    tabs->resultsList()->header()->resizeSection(1, 77);
    {
        QSettings settings(file, QSettings::IniFormat);
        window->SaveWindowState(settings);
    }
    window.reset();

    CMainWindow next(app, display, AppIcon());
    EXPECT_EQ(next.tabCtrl()->currentPage(), CMainTabCtrl::kMessagesPage);
    const QSettings settings(file, QSettings::IniFormat);
    next.RestoreWindowState(settings);
    EXPECT_EQ(next.tabCtrl()->currentPage(), CMainTabCtrl::kTransferPage);
    EXPECT_TRUE(next.tabCtrl()->downloadTable()->isVisibleTo(&next));
    EXPECT_EQ(next.tabCtrl()->downloadTable()->header()->sectionSize(0), 211);
    EXPECT_EQ(next.tabCtrl()->resultsList()->header()->sectionSize(1), 77);
    EXPECT_EQ(next.size(), QSize(700, 520));
}

// --- Keys ------------------------------------------------------------------------

TEST_F(WindowFeaturesTest, EnterSearchesOnTheSearchPageAndSendsOnTheMessagesPage) {
    HttpScriptedServer server(HttpReply("1\nd\\a.mp3\nbob\nT1\n12\n10.0.0.2\n"));
    UseSettings(server.url());
    tabs->SelectPage(CMainTabCtrl::kSearchPage);
    tabs->fileNameEdit()->setText("a");
    QTest::keyClick(tabs->fileNameEdit(), Qt::Key_Return);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(tabs->resultsList()->model()->rowCount(), 1);

    tabs->SelectPage(CMainTabCtrl::kMessagesPage);
    tabs->userNameEdit()->setText("bob");
    tabs->messageEdit()->setText("hello");
    QTest::keyClick(tabs->messageEdit(), Qt::Key_Enter);
    EXPECT_TRUE(tabs->messageEdit()->text().isEmpty());  // sent (the lookup then fails)
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(WindowFeaturesTest, CtrlQIsExit) {
    ASSERT_NE(window->exitAction(), nullptr);
    EXPECT_EQ(window->exitAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    QSignalSpy exiting(window.get(), &CMainWindow::exiting);
    window->show();
    QApplication::setActiveWindow(window.get());
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(window->exitStarted());
    EXPECT_EQ(exiting.count(), 1);
}

// --- The transfer rows' menu ---------------------------------------------------

TEST_F(WindowFeaturesTest, TheRowMenuOpensClearsAndCancelsItsOwnRecord) {
    UseSettings("http://127.0.0.1:1/");
    std::ofstream(dir.path() / "share" / "done.mp3") << "12345";
    auto running = AddDownload("run.mp3", 5, TransferStatus::Downloading);
    auto done = AddDownload("done.mp3", 5, TransferStatus::Complete);
    tabs->RefreshTransfers();
    std::vector<QUrl> opened;
    tabs->SetUrlOpener([&](const QUrl& url) {
        opened.push_back(url);
        return true;
    });
    CReportView* view = tabs->downloadTable();
    view->sortByColumn(kColumnFileName, Qt::AscendingOrder);  // "done" above "run"

    std::unique_ptr<QMenu> menu = tabs->TransferRowMenu(view, 1);
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(Action(*menu, "&Open")->isEnabled());
    EXPECT_FALSE(Action(*menu, "Cancel")->isEnabled());
    Action(*menu, "&Open")->trigger();
    Action(*menu, "Open containing &folder")->trigger();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0].toLocalFile().toStdString(), (dir.path() / "share" / "done.mp3").string());
    EXPECT_EQ(QDir(opened[1].toLocalFile()),
              QDir(QString::fromStdString((dir.path() / "share").string())));

    // A running download cannot be opened or cleared, only cancelled.
    std::unique_ptr<QMenu> runningMenu = tabs->TransferRowMenu(view, 0);
    EXPECT_FALSE(Action(*runningMenu, "&Open")->isEnabled());
    EXPECT_FALSE(Action(*runningMenu, "Clear")->isEnabled());

    // "Clear" on the finished row takes that record out, even after the row
    // above it has gone meanwhile.
    auto above = AddDownload("zz.mp3", 5, TransferStatus::Downloading);
    Action(*menu, "Clear")->trigger();
    ASSERT_EQ(app.downloadRecords().RowCount(), 2u);
    EXPECT_EQ(app.downloadRecords().Record(0), running);
    EXPECT_EQ(app.downloadRecords().Record(1), above);
    Action(*runningMenu, "Cancel")->trigger();
    EXPECT_TRUE(running->IsCancelRequested());
    EXPECT_FALSE(above->IsCancelRequested());
    EXPECT_EQ(tabs->TransferRowMenu(view, 5), nullptr);
}

// --- Notifications and the tray's tip ---------------------------------------------

TEST_F(WindowFeaturesTest, NotifiesOfMessagesAndEndedDownloadsOnlyWhileOutOfView) {
    QSignalSpy notes(window->notifier(), &CDesktopNotifier::notified);
    display.AppendLine("<bob> hi");  // the window has never been shown
    ASSERT_TRUE(WaitForUi([&] { return notes.count() == 1; }));
    EXPECT_EQ(notes[0][0].toString(), "Message");
    EXPECT_EQ(notes[0][1].toString(), "<bob> hi");

    window->show();
    display.AppendLine("<bob> again");
    ASSERT_TRUE(WaitForUi([&] { return tabs->messageView()->toPlainText().contains("again"); }));
    auto seen = AddDownload("seen.mp3", 5, TransferStatus::Downloading);
    tabs->RefreshTransfers();
    seen->SetStatus(TransferStatus::Complete);
    tabs->RefreshTransfers();
    EXPECT_EQ(notes.count(), 1);  // seen in the window: no notification

    window->hide();
    auto ok = AddDownload("ok.mp3", 5, TransferStatus::Downloading);
    auto bad = AddDownload("bad.mp3", 5, TransferStatus::Downloading);
    auto stopped = AddDownload("stop.mp3", 5, TransferStatus::Downloading);
    tabs->RefreshTransfers();
    ok->SetStatus(TransferStatus::Complete);
    bad->SetStatus(TransferStatus::Error);
    stopped->SetStatus(TransferStatus::Canceled);  // the user's own doing: no notification
    tabs->RefreshTransfers();
    ASSERT_EQ(notes.count(), 3);
    EXPECT_EQ(notes[1][0].toString(), "Download complete");
    EXPECT_EQ(notes[1][1].toString(), "ok.mp3");
    EXPECT_EQ(notes[2][0].toString(), "Download failed");
    EXPECT_EQ(notes[2][1].toString(), "bad.mp3");
    tabs->RefreshTransfers();
    EXPECT_EQ(notes.count(), 3);  // told once
}

// The status bar's line and tooltip for each kind of status, and the same
// line as the tray tip's last.
TEST_F(WindowFixture, ShowsReachabilityInTheStatusBarAndTheTrayTip) {
    EXPECT_EQ(window->reachabilityLabel(), nullptr);
    MappingSnapshot upnp;
    upnp.state = MappingState::Mapped;
    upnp.method = MappingMethod::Upnp;
    upnp.externalAddress = "203.0.113.7";
    MappingSnapshot none;
    none.state = MappingState::NoRouter;
    const struct {
        MappingSnapshot mapping;
        std::optional<ReachAnswer> probe;
        const char* line;
        const char* tipHolds;
    } cases[] = {
        {upnp, ReachAnswer::Reachable, "Reachable on port 2000 (UPnP)",
         "(UPnP, public address 203.0.113.7)"},
        {none, ReachAnswer::Reachable, "Reachable on port 2000", "other users can download"},
        {none, ReachAnswer::Unreachable, "Not reachable: other users cannot download from you",
         "Why: no router answered NAT-PMP or UPnP.\nWhat to do: turn on UPnP or NAT-PMP"},
        {upnp, ReachAnswer::Unreachable, "Not reachable: other users cannot download from you",
         "forward TCP port 2000"},
        {upnp, std::nullopt, "Reachability unknown", "some directory servers do not offer it"},
    };
    for (const auto& c : cases) {
        window->ShowReachability(CombineReachability(c.mapping, c.probe, 2000));
        ASSERT_NE(window->reachabilityLabel(), nullptr);
        EXPECT_EQ(window->reachabilityLabel()->text(), c.line);
        EXPECT_TRUE(window->reachabilityLabel()->toolTip().contains(c.tipHolds))
            << window->reachabilityLabel()->toolTip().toStdString();
    }
    EXPECT_EQ(CSystemTray::TipText("B", 2, 0, 0, "Reachable on port 2000 (UPnP)"),
              "B\n2 downloading\nReachable on port 2000 (UPnP)");
    EXPECT_EQ(CSystemTray::TipText("B", 0, 0, 0, "Reachability unknown"),
              "B\nReachability unknown");
    EXPECT_EQ(CSystemTray::TipText("B", 0, 1, 0, ""), "B\n1 uploading");
}

TEST(TrayTipTest, AddsTheRunningTransfers) {
    EXPECT_EQ(CSystemTray::TipText("B", 0, 0), "B");
    EXPECT_EQ(CSystemTray::TipText("B", 2, 1), "B\n2 downloading, 1 uploading");
    EXPECT_EQ(CSystemTray::TipText("B", 0, 3), "B\n3 uploading");
    EXPECT_EQ(CSystemTray::TipText("B", 0, 1, 3), "B\n1 uploading, 3 waiting");
    EXPECT_EQ(CSystemTray::TipText("B", 0, 0, 2), "B\n2 waiting");
}

// --- Sizes ---------------------------------------------------------------------------

struct SizeCase {
    long long bytes;
    const char* readable;
};

class ReadableSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ReadableSizeTest, UsesPowersOf1024) {
    EXPECT_EQ(ReadableSize(GetParam().bytes).toStdString(), GetParam().readable);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadableSizeTest,
                         ::testing::Values(SizeCase{0, "0 bytes"}, SizeCase{1023, "1023 bytes"},
                                           SizeCase{1536, "1.50 KiB"},
                                           SizeCase{12345678, "11.77 MiB"},
                                           SizeCase{3LL << 30, "3.00 GiB"}));

TEST(ParseByteCountTest, TakesOnlyWholeNonNegativeNumbers) {
    EXPECT_EQ(ParseByteCount("12"), 12);
    EXPECT_EQ(ParseByteCount("0"), 0);
    for (const char* bad : {"", "-1", "12a", " 12", "99999999999999999999"}) {
        EXPECT_EQ(ParseByteCount(bad), std::nullopt) << bad;
    }
}

// --- Browse for the shared directory ------------------------------------------------------

TEST(ConfigBrowseTest, PutsTheChosenFolderInTheFieldAndComesLastInTheTabOrder) {
    CConfigDialog dialog;
    QString askedFrom;
    QString answer = "/srv/music";
    dialog.SetDirectoryChooser([&](QWidget*, const QString& start) {
        askedFrom = start;
        return answer;
    });
    dialog.sharedDirectoryEdit()->setText("/old/");
    QTest::mouseClick(dialog.browseButton(), Qt::LeftButton);
    EXPECT_EQ(askedFrom, "/old/");
    EXPECT_EQ(dialog.sharedDirectoryEdit()->text(), "/srv/music/");
    answer.clear();  // cancelled: the field stays
    dialog.BrowseSharedDirectory();
    EXPECT_EQ(dialog.sharedDirectoryEdit()->text(), "/srv/music/");

    dialog.show();
    QApplication::setActiveWindow(&dialog);
    dialog.connectionCombo()->setFocus();
    ASSERT_TRUE(WaitForUi([&] { return dialog.connectionCombo()->hasFocus(); }));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), dialog.browseButton());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), dialog.okButton());
}

}  // namespace
}  // namespace brindle::test
