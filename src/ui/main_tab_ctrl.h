// The tab control of the main window: the tab strip "Messages", "Search",
// "Transfer" and every control of the three pages, placed by ComputePageLayout
// on each size change. It also carries out the pages' commands: send a
// message, search, start a download, cancel and clear transfers.
#pragma once

#include <QList>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>

#include "directory/search.h"
#include "peer/peer_options.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabBar;

namespace brindle {

class CShareApp;
class CReportView;
class QtMessageDisplay;
class SearchResultsModel;
class TransferTable;
class TransferTableModel;

class CMainTabCtrl : public QWidget {
    Q_OBJECT
  public:
    enum Page { kMessagesPage = 0, kSearchPage = 1, kTransferPage = 2 };
    static constexpr int kRefreshIntervalMs = 250;

    CMainTabCtrl(CShareApp& app, QtMessageDisplay& display, QWidget* parent = nullptr);
    ~CMainTabCtrl() override;

    // Column widths from the window's client width at creation (ListColumnWidth):
    // four columns in the results list, seven in each transfer table. Set once.
    void SetColumnWidths(int clientWidth);
    // Shows the upload table once the peer listener exists.
    void AttachUploadTable(const TransferTable& uploads);
    // Peer port and time limits for downloads and messages (tests use their own).
    void SetPeerOptions(PeerOptions options) { peerOptions_ = std::move(options); }

    // Places every page control, hidden or not.
    void LayoutPages();
    // Shows or hides every control of the selected page.
    void ShowPage(bool show);
    // Switches pages as a click on a tab does: hide the old, select, show the new.
    void SelectPage(int page);
    int currentPage() const;
    QList<QWidget*> PageControls(int page) const;
    int TabHeight() const;

    // The page commands.
    void SendInstantMessage();
    void RunSearch();
    void StartDownload();
    void CancelSelectedTransfers();
    void ClearFinishedTransfers();
    // Brings both transfer views up to date with their tables.
    void RefreshTransfers();

    const SearchResultsTable& results() const { return results_; }

    QTabBar* tabBar() const { return tabBar_; }
    QLabel* messagesLabel() const { return messagesLabel_; }
    QPlainTextEdit* messageView() const { return messageView_; }
    QLabel* userNameLabel() const { return userNameLabel_; }
    QLineEdit* userNameEdit() const { return userNameEdit_; }
    QLabel* messageLabel() const { return messageLabel_; }
    QLineEdit* messageEdit() const { return messageEdit_; }
    QPushButton* sendButton() const { return sendButton_; }
    QLabel* fileNameLabel() const { return fileNameLabel_; }
    QLineEdit* fileNameEdit() const { return fileNameEdit_; }
    QLabel* extensionLabel() const { return extensionLabel_; }
    QComboBox* extensionCombo() const { return extensionCombo_; }
    QLabel* maxResultsLabel() const { return maxResultsLabel_; }
    QLineEdit* maxResultsEdit() const { return maxResultsEdit_; }
    QPushButton* searchButton() const { return searchButton_; }
    CReportView* resultsList() const { return resultsList_; }
    QLabel* downloadsLabel() const { return downloadsLabel_; }
    CReportView* downloadTable() const { return downloadTable_; }
    QLabel* uploadsLabel() const { return uploadsLabel_; }
    CReportView* uploadTable() const { return uploadTable_; }
    QPushButton* clearButton() const { return clearButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void CreateControls();
    QLabel* MakeLabel(const char* text, Qt::Alignment horizontal);
    QLineEdit* MakeEdit(const QString& text, bool tabStop);
    QPushButton* MakeButton(const char* text, bool tabStop);
    CReportView* MakeList();

    CShareApp& app_;
    QtMessageDisplay& display_;
    PeerOptions peerOptions_;
    SearchResultsTable results_;  // the rows of the results list and resultAddresses
    int shownPage_ = kMessagesPage;
    bool busy_ = false;  // a blocking command is running

    QTabBar* tabBar_ = nullptr;
    QFrame* pane_ = nullptr;
    QLabel* messagesLabel_ = nullptr;
    QPlainTextEdit* messageView_ = nullptr;
    QLabel* userNameLabel_ = nullptr;
    QLineEdit* userNameEdit_ = nullptr;
    QLabel* messageLabel_ = nullptr;
    QLineEdit* messageEdit_ = nullptr;
    QPushButton* sendButton_ = nullptr;
    QLabel* fileNameLabel_ = nullptr;
    QLineEdit* fileNameEdit_ = nullptr;
    QLabel* extensionLabel_ = nullptr;
    QComboBox* extensionCombo_ = nullptr;
    QLabel* maxResultsLabel_ = nullptr;
    QLineEdit* maxResultsEdit_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    CReportView* resultsList_ = nullptr;
    QLabel* downloadsLabel_ = nullptr;
    CReportView* downloadTable_ = nullptr;
    QLabel* uploadsLabel_ = nullptr;
    CReportView* uploadTable_ = nullptr;
    QPushButton* clearButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;

    SearchResultsModel* resultsModel_ = nullptr;
    TransferTableModel* downloadModel_ = nullptr;
    TransferTableModel* uploadModel_ = nullptr;
    QTimer refreshTimer_;
};

// The file types of the Search page, "*.mp3" first (selected at start).
extern const std::array<const char*, 24> kFileTypes;

}  // namespace brindle
