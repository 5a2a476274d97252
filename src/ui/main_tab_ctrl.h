// The tab control of the main window: the tab strip "Messages", "Search",
// "Transfer" and every control of the three pages, placed by ComputePageLayout
// on each size change. It also carries out the pages' commands: send a
// message, search, start a download, cancel and clear transfers.
#pragma once

#include <QList>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "directory/search.h"
#include "peer/peer_options.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
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

    // The right-click menu of model row `row` of `list` (the download or the
    // upload view): Open, Open containing folder, Cancel, Clear. Null for
    // another list or a row that is not there.
    std::unique_ptr<QMenu> TransferRowMenu(CReportView* list, int row);
    // What opens files and folders (QDesktopServices::openUrl; tests replace it).
    void SetUrlOpener(std::function<bool(const QUrl&)> opener) { openUrl_ = std::move(opener); }
    // Rows connecting or moving bytes, in the download and the upload view.
    int ActiveDownloads() const;
    int ActiveUploads() const;
    TransferTableModel* downloadModel() const { return downloadModel_; }

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

  signals:
    // The transfer views were brought up to date.
    void transfersRefreshed();
    // A download completed (true) or failed (false).
    void downloadEnded(const QString& fileName, bool completed);

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void CreateControls();
    QLabel* MakeLabel(const char* text, Qt::Alignment horizontal);
    QLineEdit* MakeEdit(const QString& text, bool tabStop);
    QPushButton* MakeButton(const char* text, bool tabStop);
    CReportView* MakeList();
    void ShowTransferMenu(CReportView* list, const QPoint& pos);
    // The table behind `list`, or null (no listener yet, or not a transfer view).
    TransferTable* TableOf(const CReportView* list) const;
    TransferTableModel* ModelOf(const CReportView* list) const;

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
    std::function<bool(const QUrl&)> openUrl_;
};

// The file types of the Search page, "*.mp3" first (selected at start).
extern const std::array<const char*, 24> kFileTypes;

}  // namespace brindle
