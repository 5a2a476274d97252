#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTabBar>

#include "support/scripted_server.h"
#include "ui/page_layout.h"
#include "ui/report_view.h"
#include "ui/system_tray.h"
#include "ui_test_support.h"
#include "window_fixture.h"

namespace brindle::test {
namespace {

using MainWindowTest = WindowFixture;

QStringList Headers(const CReportView* list) {
    QStringList headers;
    for (int c = 0; c < list->model()->columnCount(); ++c) {
        headers << list->model()->headerData(c, Qt::Horizontal).toString();
    }
    return headers;
}

QStringList MenuTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        texts << action->text();
    }
    return texts;
}

TEST_F(MainWindowTest, WindowTabsAndMenus) {
    EXPECT_EQ(window->windowTitle(), "Brindlenet V1.0");
    // The frame is 640 x 480; the offscreen platform reports 2-pixel margins.
    window->show();
    EXPECT_EQ(window->frameGeometry().size(), QSize(640, 480));
    EXPECT_EQ(window->size(), QSize(636, 476));
    EXPECT_FALSE(window->windowIcon().isNull());
    ASSERT_EQ(tabs->tabBar()->count(), 3);
    EXPECT_EQ(tabs->tabBar()->tabText(0), "Messages");
    EXPECT_EQ(tabs->tabBar()->tabText(1), "Search");
    EXPECT_EQ(tabs->tabBar()->tabText(2), "Transfer");
    EXPECT_EQ(tabs->currentPage(), CMainTabCtrl::kMessagesPage);

    const QList<QAction*> menus = window->menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), "&File");
    EXPECT_EQ(MenuTexts(menus[0]->menu()),
              QStringList({"&Close", "Confi&guation", "&Preferences...", "&Exit"}));
    EXPECT_EQ(menus[1]->text(), "&Help");
    EXPECT_EQ(MenuTexts(menus[1]->menu()), QStringList({"&About"}));
}

TEST_F(MainWindowTest, PageControlsCarryTheirTextsAndInitialContents) {
    EXPECT_EQ(tabs->messagesLabel()->text(), "Messages Sent To You:");
    EXPECT_EQ(tabs->userNameLabel()->text(), "User Name:");
    EXPECT_EQ(tabs->messageLabel()->text(), "Message:");
    EXPECT_EQ(tabs->sendButton()->text(), "Send");
    EXPECT_TRUE(tabs->messageView()->isReadOnly());
    EXPECT_TRUE(tabs->messageView()->toPlainText().isEmpty());

    EXPECT_EQ(tabs->fileNameLabel()->text(), "File Name: ");
    EXPECT_EQ(tabs->extensionLabel()->text(), "File Ext: ");
    EXPECT_EQ(tabs->maxResultsLabel()->text(), "Max Results: ");
    EXPECT_TRUE(tabs->fileNameLabel()->alignment() & Qt::AlignRight);
    EXPECT_TRUE(tabs->messagesLabel()->alignment() & Qt::AlignLeft);
    EXPECT_EQ(tabs->maxResultsEdit()->text(), "100");
    EXPECT_EQ(tabs->searchButton()->text(), "Search");

    QComboBox* types = tabs->extensionCombo();
    EXPECT_FALSE(types->isEditable());
    ASSERT_EQ(types->count(), 24);
    EXPECT_EQ(types->currentText(), "*.mp3");
    EXPECT_EQ(types->itemText(5), "*.html");
    EXPECT_EQ(types->itemText(22), "*.tar");
    EXPECT_EQ(types->itemText(23), "*.*");

    EXPECT_EQ(tabs->downloadsLabel()->text(), "Currently Downloading Files:");
    EXPECT_EQ(tabs->uploadsLabel()->text(), "Currently Uploading Files:");
    EXPECT_EQ(tabs->clearButton()->text(), "Clear");
    EXPECT_EQ(tabs->cancelButton()->text(), "Cancel");

    // Tab stops: the two message fields, Send, the query field and Search only.
    EXPECT_TRUE(tabs->userNameEdit()->focusPolicy() & Qt::TabFocus);
    EXPECT_TRUE(tabs->sendButton()->focusPolicy() & Qt::TabFocus);
    EXPECT_TRUE(tabs->fileNameEdit()->focusPolicy() & Qt::TabFocus);
    EXPECT_FALSE(tabs->maxResultsEdit()->focusPolicy() & Qt::TabFocus);
    EXPECT_FALSE(tabs->clearButton()->focusPolicy() & Qt::TabFocus);
    EXPECT_FALSE(tabs->cancelButton()->focusPolicy() & Qt::TabFocus);
}

// Every list's columns share its width equally and fit inside it, so an empty
// list needs no horizontal scroll bar; later size changes keep the widths
// but for the last column, which stretches to the width of its list.
TEST_F(MainWindowTest, ListColumnsFitTheirListsAndKeepTheirCreationWidths) {
    const QStringList transfer = {"File Name", "User",   "Size",  "Connection",
                                  "Rate",      "% Done", "Status"};
    EXPECT_EQ(Headers(tabs->resultsList()),
              QStringList({"File Name", "File Size", "User", "Connection"}));
    EXPECT_EQ(Headers(tabs->downloadTable()), transfer);
    EXPECT_EQ(Headers(tabs->uploadTable()), transfer);
    for (const CReportView* list : {tabs->resultsList(), tabs->downloadTable()}) {
        EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
        EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    }

    window->show();
    tabs->SelectPage(CMainTabCtrl::kTransferPage);
    ASSERT_TRUE(WaitForUi([&] { return tabs->uploadTable()->width() > 0; }));
    const std::vector<CReportView*> lists = {tabs->resultsList(), tabs->downloadTable(),
                                             tabs->uploadTable()};
    std::vector<int> widths;
    for (const CReportView* list : lists) {
        const int columns = list->model()->columnCount();
        const int width = list->header()->sectionSize(0);
        int sum = 0;
        for (int c = 0; c < columns; ++c) {
            // The last column takes the division's remainder as well.
            if (c + 1 < columns) {
                EXPECT_EQ(list->header()->sectionSize(c), width);
            } else {
                EXPECT_GE(list->header()->sectionSize(c), width);
            }
            sum += list->header()->sectionSize(c);
        }
        const int inside = list->contentsRect().width();  // within its frame
        EXPECT_LE(sum, inside) << Headers(list).join(",").toStdString();
        EXPECT_GT(sum, inside - columns);
        widths.push_back(width);
    }
    EXPECT_TRUE(
        WaitForUi([&] { return !tabs->downloadTable()->horizontalScrollBar()->isVisible(); },
                  std::chrono::milliseconds(500)));

    window->resize(900, 700);
    ASSERT_TRUE(WaitForUi([&] { return tabs->width() == 900; }));
    // The other columns keep their widths; the last one stretches to the list's.
    for (size_t i = 0; i < lists.size(); ++i) {
        const int last = lists[i]->model()->columnCount() - 1;
        EXPECT_EQ(lists[i]->header()->sectionSize(last - 1), widths[i]);
        EXPECT_TRUE(WaitForUi([&] {
            return lists[i]->header()->sectionPosition(last) +
                       lists[i]->header()->sectionSize(last) ==
                   lists[i]->viewport()->width();
        }));
    }
}

TEST_F(MainWindowTest, ResizingPlacesHiddenPagesToo) {
    window->show();
    tabs->SelectPage(CMainTabCtrl::kTransferPage);
    window->resize(800, 600);
    ASSERT_TRUE(WaitForUi([&] { return tabs->width() == 800; }));
    const PageArea area = PageArea::Of(tabs->rect(), tabs->TabHeight());
    EXPECT_EQ(tabs->messageView()->geometry(), MessagesPage::ComputeLayout(area).messageView);
    EXPECT_EQ(tabs->resultsList()->geometry(), SearchPage::ComputeLayout(area).resultsList);
    EXPECT_EQ(tabs->uploadTable()->geometry(), TransferPage::ComputeLayout(area).uploadTable);
    EXPECT_EQ(tabs->sendButton()->geometry(), MessagesPage::ComputeLayout(area).sendButton);
}

// Each control on the tab control belongs to exactly one page, so switching
// pages hides it with its page, and each is placed on the pane below the strip.
TEST_F(MainWindowTest, EveryControlBelongsToOnePageAndLiesOnThePane) {
    window->show();
    window->resize(700, 520);
    ASSERT_TRUE(WaitForUi([&] { return tabs->width() == 700; }));
    QList<QWidget*> onPages;
    for (int page :
         {CMainTabCtrl::kMessagesPage, CMainTabCtrl::kSearchPage, CMainTabCtrl::kTransferPage}) {
        onPages += tabs->PageControls(page);
    }
    const QRect pane(0, tabs->TabHeight(), tabs->width(), tabs->height() - tabs->TabHeight());
    for (QWidget* control : onPages) {
        EXPECT_EQ(onPages.count(control), 1) << control->metaObject()->className();
        EXPECT_EQ(control->parentWidget(), tabs);
        EXPECT_FALSE(control->geometry().isEmpty()) << control->metaObject()->className();
        EXPECT_TRUE(pane.contains(control->geometry())) << control->metaObject()->className();
    }
    for (QWidget* child : tabs->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const bool strip = child == tabs->tabBar();
        const bool bareFrame = std::string(child->metaObject()->className()) == "QFrame";
        EXPECT_TRUE(strip || bareFrame || onPages.contains(child))
            << child->metaObject()->className() << " is on no page";
    }
}

TEST_F(MainWindowTest, SwitchingPagesShowsOnlyTheSelectedPage) {
    auto shown = [&](int page) {
        for (QWidget* control : tabs->PageControls(page)) {
            if (control->isHidden()) {
                return false;
            }
        }
        return true;
    };
    auto hidden = [&](int page) {
        for (QWidget* control : tabs->PageControls(page)) {
            if (!control->isHidden()) {
                return false;
            }
        }
        return true;
    };
    EXPECT_EQ(tabs->PageControls(CMainTabCtrl::kSearchPage).size(), 8);
    EXPECT_EQ(tabs->PageControls(CMainTabCtrl::kTransferPage).size(), 6);
    EXPECT_TRUE(shown(0) && hidden(1) && hidden(2));

    tabs->tabBar()->setCurrentIndex(CMainTabCtrl::kSearchPage);  // as a click does
    EXPECT_TRUE(hidden(0) && shown(1) && hidden(2));
    tabs->SelectPage(CMainTabCtrl::kTransferPage);
    EXPECT_TRUE(hidden(0) && hidden(1) && shown(2));

    // A double-click with no result selected only switches to Transfer.
    tabs->SelectPage(CMainTabCtrl::kSearchPage);
    tabs->StartDownload();
    EXPECT_EQ(tabs->currentPage(), CMainTabCtrl::kTransferPage);
    EXPECT_TRUE(hidden(1) && shown(2));
    EXPECT_EQ(app.downloadRecords().RowCount(), 0u);
    EXPECT_TRUE(messages.shown().empty());
}

// Without a tray (the offscreen platform has none) Close, Hide and the close
// box minimise the window, so it can still be reached and ended.
TEST_F(MainWindowTest, WithoutATrayCloseMinimises) {
    ASSERT_FALSE(window->trayIcon()->iconAdded());
    window->show();
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());

    window->ShowMainWindow();
    EXPECT_FALSE(window->isMinimized());
    window->menuBar()->actions()[0]->menu()->actions()[0]->trigger();  // File, Close
    EXPECT_TRUE(window->isMinimized());
    window->ShowMainWindow();
    emit window->trayIcon()->hideRequested();
    EXPECT_TRUE(window->isMinimized());
    EXPECT_TRUE(window->isVisible());
}

class TrayWindow : public CMainWindow {
  public:
    using CMainWindow::CMainWindow;

  protected:
    bool HasTray() const override { return true; }
};

TEST_F(MainWindowTest, WithATrayCloseHidesAndShowBringsItBack) {
    TrayWindow trayed(app, display, AppIcon());
    trayed.show();
    EXPECT_FALSE(trayed.close());
    EXPECT_FALSE(trayed.isVisible());
    EXPECT_FALSE(trayed.isMinimized());
    emit trayed.trayIcon()->showRequested();
    EXPECT_TRUE(trayed.isVisible());
}

TEST_F(MainWindowTest, TrayMenuOffersShowAsTheDefaultThenHideAndExit) {
    QMenu* menu = window->trayIcon()->menu();
    EXPECT_EQ(MenuTexts(menu), QStringList({"&Show", "&Hide", "&Exit"}));
    EXPECT_EQ(menu->defaultAction(), menu->actions()[0]);
    window->showMinimized();
    window->trayIcon()->HandleDoubleClick();
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(window->isVisible());
}

// Trays that report single clicks only (the D-Bus trays): a click shows the
// window as a double-click does; the other activations leave it alone.
TEST_F(MainWindowTest, AClickOrADoubleClickOnTheTrayIconShowsTheWindow) {
    CSystemTray* tray = window->trayIcon();
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
        window->showMinimized();
        tray->HandleActivation(reason);
        EXPECT_FALSE(window->isMinimized()) << reason;
    }
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick}) {
        window->showMinimized();
        tray->HandleActivation(reason);
        EXPECT_TRUE(window->isMinimized()) << reason;
    }
}

TEST_F(MainWindowTest, ExitUnregistersThenClosesTheListener) {
    HttpScriptedServer server(HttpReply("OK\n"));
    UseSettings(server.url());
    bool listenerClosed = false;
    app.SetCloseListener([&] {
        EXPECT_EQ(server.requests().size(), 1u);  // the unregistration went first
        listenerClosed = true;
    });
    bool exiting = false;
    QObject::connect(window.get(), &CMainWindow::exiting, [&] { exiting = true; });
    window->ExitApplication();
    EXPECT_TRUE(listenerClosed);
    EXPECT_TRUE(exiting);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_NE(server.LastBody().find("event=onUnregisterUser"), std::string::npos);
}

}  // namespace
}  // namespace brindle::test
