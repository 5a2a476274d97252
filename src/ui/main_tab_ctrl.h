// The tab control of the main window: the tab strip "Messages", "Search",
// "Transfer" over a framed pane, and the switching between the three pages.
// Each page (MessagesPage, SearchPage, TransferPage) owns its controls, places
// them and carries out its commands; the tab control places the strip and
// hands every page the page area on each size change.
#pragma once

#include <QList>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "ui/messages_page.h"
#include "ui/search_page.h"
#include "ui/tab_page.h"
#include "ui/transfer_page.h"

class QFrame;
class QTabBar;

namespace brindle {

class CMainTabCtrl : public QWidget {
    Q_OBJECT
  public:
    enum Page { kMessagesPage = 0, kSearchPage = 1, kTransferPage = 2 };

    CMainTabCtrl(CShareApp& app, QtMessageDisplay& display, QWidget* parent = nullptr);
    ~CMainTabCtrl() override;

    // Column widths from the window's client width at creation (ListColumnWidth):
    // four columns in the results list, seven in each transfer table. Set once.
    void SetColumnWidths(int clientWidth);
    // Peer port and time limits for downloads and messages (tests use their own).
    void SetPeerOptions(PeerOptions options) { context_.peerOptions = std::move(options); }

    // Places the tab strip and every page's controls, hidden or not.
    void LayoutPages();
    // Shows or hides every control of the selected page.
    void ShowPage(bool show);
    // Switches pages as a click on a tab does: hide the old, select, show the new.
    void SelectPage(int page);
    [[nodiscard]] int currentPage() const;
    // The controls of page `page`; none for a page that is not there.
    [[nodiscard]] QList<QWidget*> PageControls(int page) const;
    [[nodiscard]] int TabHeight() const;
    [[nodiscard]] QTabBar* tabBar() const { return tabBar_; }

    [[nodiscard]] MessagesPage* messagesPage() const { return messagesPage_; }
    [[nodiscard]] SearchPage* searchPage() const { return searchPage_; }
    [[nodiscard]] TransferPage* transferPage() const { return transferPage_; }

    // Shortcuts to the pages' commands and controls, for the window and the tests.
    void SendInstantMessage() { messagesPage_->SendInstantMessage(); }
    void RunSearch() { searchPage_->RunSearch(); }
    void StartDownload() { searchPage_->StartDownload(); }
    void CancelSelectedTransfers() { transferPage_->CancelSelectedTransfers(); }
    void ClearFinishedTransfers() { transferPage_->ClearFinishedTransfers(); }
    void RefreshTransfers() { transferPage_->RefreshTransfers(); }
    void AttachUploadTable(const TransferTable& uploads) {
        transferPage_->AttachUploadTable(uploads);
    }
    std::unique_ptr<QMenu> TransferRowMenu(CReportView* list, int row);
    void SetUrlOpener(std::function<bool(const QUrl&)> opener) {
        transferPage_->SetUrlOpener(std::move(opener));
    }
    [[nodiscard]] int ActiveDownloads() const { return transferPage_->ActiveDownloads(); }
    [[nodiscard]] int ActiveUploads() const { return transferPage_->ActiveUploads(); }
    [[nodiscard]] const SearchResultsTable& results() const { return searchPage_->results(); }

    [[nodiscard]] QLabel* messagesLabel() const { return messagesPage_->messagesLabel(); }
    [[nodiscard]] QPlainTextEdit* messageView() const { return messagesPage_->messageView(); }
    [[nodiscard]] QLabel* userNameLabel() const { return messagesPage_->userNameLabel(); }
    [[nodiscard]] QLineEdit* userNameEdit() const { return messagesPage_->userNameEdit(); }
    [[nodiscard]] QLabel* messageLabel() const { return messagesPage_->messageLabel(); }
    [[nodiscard]] QLineEdit* messageEdit() const { return messagesPage_->messageEdit(); }
    [[nodiscard]] QPushButton* sendButton() const { return messagesPage_->sendButton(); }
    [[nodiscard]] QLabel* fileNameLabel() const { return searchPage_->fileNameLabel(); }
    [[nodiscard]] QLineEdit* fileNameEdit() const { return searchPage_->fileNameEdit(); }
    [[nodiscard]] QLabel* extensionLabel() const { return searchPage_->extensionLabel(); }
    [[nodiscard]] QComboBox* extensionCombo() const { return searchPage_->extensionCombo(); }
    [[nodiscard]] QLabel* maxResultsLabel() const { return searchPage_->maxResultsLabel(); }
    [[nodiscard]] QLineEdit* maxResultsEdit() const { return searchPage_->maxResultsEdit(); }
    [[nodiscard]] QPushButton* searchButton() const { return searchPage_->searchButton(); }
    [[nodiscard]] CReportView* resultsList() const { return searchPage_->resultsList(); }
    [[nodiscard]] QLabel* downloadsLabel() const { return transferPage_->downloadsLabel(); }
    [[nodiscard]] CReportView* downloadTable() const { return transferPage_->downloadTable(); }
    [[nodiscard]] QLabel* uploadsLabel() const { return transferPage_->uploadsLabel(); }
    [[nodiscard]] CReportView* uploadTable() const { return transferPage_->uploadTable(); }
    [[nodiscard]] QPushButton* clearButton() const { return transferPage_->clearButton(); }
    [[nodiscard]] QPushButton* cancelButton() const { return transferPage_->cancelButton(); }

  signals:
    // The transfer views were brought up to date.
    void transfersRefreshed();
    // A download completed (true) or failed (false).
    void downloadEnded(const QString& fileName, bool completed);

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    // The page behind tab `page`, or null.
    [[nodiscard]] TabPage* PageAt(int page) const;

    PageContext context_;
    int shownPage_ = kMessagesPage;
    QTabBar* tabBar_ = nullptr;
    QFrame* pane_ = nullptr;
    MessagesPage* messagesPage_ = nullptr;
    SearchPage* searchPage_ = nullptr;
    TransferPage* transferPage_ = nullptr;
    std::array<TabPage*, 3> pages_{};
};

}  // namespace brindle
