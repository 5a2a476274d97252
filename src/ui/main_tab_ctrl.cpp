#include "ui/main_tab_ctrl.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>

#include <algorithm>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "base/texts.h"
#include "peer/download.h"
#include "ui/page_layout.h"
#include "ui/qt_ports.h"
#include "ui/qt_text.h"
#include "ui/report_view.h"
#include "ui/search_results_model.h"
#include "ui/transfer_table_model.h"

namespace brindle {

const std::array<const char*, 24> kFileTypes = {
    "*.mp3", "*.wav", "*.doc", "*.txt", "*.htm", "*.html", "*.zip",  "*.exe",
    "*.dll", "*.h",   "*.c",   "*.cc",  "*.cpp", "*.cxx",  "*.java", "*.class",
    "*.cgi", "*.pl",  "*.gif", "*.jpg", "*.bmp", "*.gz",   "*.tar",  "*.*"};

namespace {

constexpr int kEditHeight = 27;
constexpr char kMenuOpenFile[] = "&Open";
constexpr char kMenuOpenFolder[] =
    "Open containing &folder";  // the height of a one-line field in the layout

// Marks a blocking command as running; a second command arriving from a nested
// event loop (a message box, a progress window) is dropped.
class BusyGuard {
  public:
    explicit BusyGuard(bool& busy) : busy_(busy), entered_(!busy) { busy_ = true; }
    ~BusyGuard() {
        if (entered_) {
            busy_ = false;
        }
    }
    bool entered() const { return entered_; }

  private:
    bool& busy_;
    bool entered_;
};

// Until the listener exists the upload view shows an empty table.
const TransferTable& NoUploads() {
    static const TransferTable empty;
    return empty;
}

// The current row of `record` in `table`, or -1 once it has gone.
int TableRowOf(const TransferTable& table, const TransferRecord* record) {
    const auto records = table.Records();
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].get() == record) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

CMainTabCtrl::CMainTabCtrl(CShareApp& app, QtMessageDisplay& display, QWidget* parent)
    : QWidget(parent),
      app_(app),
      display_(display),
      openUrl_([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    CreateControls();
    display_.SetView(messageView_);
    refreshTimer_.setInterval(kRefreshIntervalMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &CMainTabCtrl::RefreshTransfers);
    refreshTimer_.start();
}

CMainTabCtrl::~CMainTabCtrl() = default;

QLabel* CMainTabCtrl::MakeLabel(const char* text, Qt::Alignment horizontal) {
    auto* label = new QLabel(QString::fromUtf8(text), this);
    // Text at the top of its box, level with the text of a field beside it.
    label->setAlignment(horizontal | Qt::AlignTop);
    const int lift = std::max(0, (kEditHeight - label->fontMetrics().height()) / 2);
    label->setContentsMargins(0, lift, 0, 0);
    return label;
}

QLineEdit* CMainTabCtrl::MakeEdit(const QString& text, bool tabStop) {
    auto* edit = new QLineEdit(text, this);
    edit->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    return edit;
}

QPushButton* CMainTabCtrl::MakeButton(const char* text, bool tabStop) {
    auto* button = new QPushButton(QString::fromUtf8(text), this);
    button->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    button->setAutoDefault(false);
    return button;
}

CReportView* CMainTabCtrl::MakeList() {
    auto* list = new CReportView(this);
    list->setFocusPolicy(Qt::ClickFocus);
    return list;
}

void CMainTabCtrl::CreateControls() {
    tabBar_ = new QTabBar(this);
    tabBar_->setExpanding(false);  // tabs as wide as their text
    tabBar_->setDrawBase(false);
    tabBar_->addTab(QString::fromUtf8(kTabMessages));
    tabBar_->addTab(QString::fromUtf8(kTabSearch));
    tabBar_->addTab(QString::fromUtf8(kTabTransfer));
    tabBar_->setCurrentIndex(kMessagesPage);
    pane_ = new QFrame(this);
    pane_->setFrameShape(QFrame::StyledPanel);

    // Messages page
    messagesLabel_ = MakeLabel(kMessagesLabel, Qt::AlignLeft);
    messageView_ = new QPlainTextEdit(this);
    messageView_->setReadOnly(true);
    messageView_->setLineWrapMode(QPlainTextEdit::NoWrap);
    messageView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    messageView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    messageView_->setFocusPolicy(Qt::ClickFocus);
    userNameLabel_ = MakeLabel(kRecipientLabel, Qt::AlignLeft);
    userNameEdit_ = MakeEdit(QString(), true);
    messageLabel_ = MakeLabel(kMessageLabel, Qt::AlignLeft);
    messageEdit_ = MakeEdit(QString(), true);
    sendButton_ = MakeButton(kSendButton, true);

    // Search page
    fileNameLabel_ = MakeLabel(kFileNameLabel, Qt::AlignRight);
    fileNameEdit_ = MakeEdit(QString(), true);
    extensionLabel_ = MakeLabel(kFileExtLabel, Qt::AlignRight);
    extensionCombo_ = new QComboBox(this);
    extensionCombo_->setFocusPolicy(Qt::ClickFocus);
    for (const char* type : kFileTypes) {
        extensionCombo_->addItem(QString::fromUtf8(type));
    }
    extensionCombo_->setCurrentIndex(0);
    maxResultsLabel_ = MakeLabel(kMaxResultsLabel, Qt::AlignRight);
    maxResultsEdit_ = MakeEdit(QStringLiteral("100"), false);
    searchButton_ = MakeButton(kSearchButton, true);
    resultsList_ = MakeList();
    resultsModel_ = new SearchResultsModel(this);
    resultsList_->setModel(resultsModel_);

    // Transfer page
    downloadsLabel_ = MakeLabel(kDownloadsLabel, Qt::AlignLeft);
    downloadTable_ = MakeList();
    downloadModel_ = new TransferTableModel(app_.downloadRecords(), this);
    downloadTable_->setModel(downloadModel_);
    uploadsLabel_ = MakeLabel(kUploadsLabel, Qt::AlignLeft);
    uploadTable_ = MakeList();
    uploadModel_ = new TransferTableModel(NoUploads(), this);
    uploadTable_->setModel(uploadModel_);
    clearButton_ = MakeButton(kClearButton, false);
    cancelButton_ = MakeButton(kCancelButton, false);

    setTabOrder(userNameEdit_, messageEdit_);
    setTabOrder(messageEdit_, sendButton_);
    setTabOrder(fileNameEdit_, searchButton_);

    for (int page : {kSearchPage, kTransferPage}) {
        for (QWidget* control : PageControls(page)) {
            control->hide();
        }
    }

    connect(tabBar_, &QTabBar::currentChanged, this, [this](int page) {
        // Hide what was shown, then show the page now selected.
        for (QWidget* control : PageControls(shownPage_)) {
            control->hide();
        }
        shownPage_ = page;
        ShowPage(true);
    });
    connect(sendButton_, &QPushButton::clicked, this, &CMainTabCtrl::SendInstantMessage);
    connect(searchButton_, &QPushButton::clicked, this, &CMainTabCtrl::RunSearch);
    connect(clearButton_, &QPushButton::clicked, this, &CMainTabCtrl::ClearFinishedTransfers);
    connect(cancelButton_, &QPushButton::clicked, this, &CMainTabCtrl::CancelSelectedTransfers);
    connect(resultsList_, &CReportView::doubleClickedAnywhere, this, &CMainTabCtrl::StartDownload);
    // Enter in a field runs its page's command.
    connect(userNameEdit_, &QLineEdit::returnPressed, this, &CMainTabCtrl::SendInstantMessage);
    connect(messageEdit_, &QLineEdit::returnPressed, this, &CMainTabCtrl::SendInstantMessage);
    connect(fileNameEdit_, &QLineEdit::returnPressed, this, &CMainTabCtrl::RunSearch);
    connect(maxResultsEdit_, &QLineEdit::returnPressed, this, &CMainTabCtrl::RunSearch);
    connect(downloadModel_, &TransferTableModel::transferEnded, this, &CMainTabCtrl::downloadEnded);
    for (CReportView* list : {downloadTable_, uploadTable_}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint& pos) { ShowTransferMenu(list, pos); });
    }
}

void CMainTabCtrl::SetColumnWidths(int clientWidth) {
    for (CReportView* list : {resultsList_, downloadTable_, uploadTable_}) {
        list->SetColumnWidths(
            ListColumnWidth(clientWidth, list->frameWidth(), list->model()->columnCount()));
    }
}

void CMainTabCtrl::AttachUploadTable(const TransferTable& uploads) {
    const int width = uploadTable_->header()->sectionSize(0);
    auto* model = new TransferTableModel(uploads, this);
    uploadTable_->setModel(model);
    delete uploadModel_;
    uploadModel_ = model;
    uploadTable_->SetColumnWidths(width);
    uploadModel_->Refresh();
}

QList<QWidget*> CMainTabCtrl::PageControls(int page) const {
    switch (page) {
        case kMessagesPage:
            return {messagesLabel_, messageView_, userNameLabel_, userNameEdit_,
                    messageLabel_,  messageEdit_, sendButton_};
        case kSearchPage:
            return {fileNameLabel_,   fileNameEdit_,   extensionLabel_, extensionCombo_,
                    maxResultsLabel_, maxResultsEdit_, searchButton_,   resultsList_};
        case kTransferPage:
            return {downloadsLabel_, downloadTable_, uploadsLabel_,
                    uploadTable_,    clearButton_,   cancelButton_};
        default:
            return {};
    }
}

int CMainTabCtrl::currentPage() const {
    return tabBar_->currentIndex();
}

void CMainTabCtrl::ShowPage(bool show) {
    const int page = tabBar_->currentIndex();
    if (page < 0) {
        return;
    }
    for (QWidget* control : PageControls(page)) {
        control->setVisible(show);
    }
}

void CMainTabCtrl::SelectPage(int page) {
    tabBar_->setCurrentIndex(page);  // currentChanged swaps the pages
}

int CMainTabCtrl::TabHeight() const {
    return tabBar_->sizeHint().height();
}

void CMainTabCtrl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayoutPages();
}

void CMainTabCtrl::LayoutPages() {
    const int tabHeight = TabHeight();
    tabBar_->setGeometry(0, 0, width(), tabHeight);
    pane_->setGeometry(0, tabHeight, width(), height() - tabHeight);
    pane_->lower();
    const PageLayout l = ComputePageLayout(rect(), tabHeight);
    const std::pair<QWidget*, QRect> places[] = {
        {messagesLabel_, l.messagesLabel},   {messageView_, l.messageView},
        {userNameLabel_, l.userNameLabel},   {userNameEdit_, l.userNameEdit},
        {messageLabel_, l.messageLabel},     {messageEdit_, l.messageEdit},
        {sendButton_, l.sendButton},         {fileNameLabel_, l.fileNameLabel},
        {fileNameEdit_, l.fileNameEdit},     {extensionLabel_, l.extensionLabel},
        {extensionCombo_, l.extensionCombo}, {maxResultsLabel_, l.maxResultsLabel},
        {maxResultsEdit_, l.maxResultsEdit}, {searchButton_, l.searchButton},
        {resultsList_, l.resultsList},       {downloadsLabel_, l.downloadsLabel},
        {downloadTable_, l.downloadTable},   {uploadsLabel_, l.uploadsLabel},
        {uploadTable_, l.uploadTable},       {clearButton_, l.clearButton},
        {cancelButton_, l.cancelButton},
    };
    for (const auto& [control, place] : places) {
        // Too small a window gives negative sizes; Qt takes them as empty.
        control->setGeometry(place.x(), place.y(), std::max(0, place.width()),
                             std::max(0, place.height()));
    }
}

void CMainTabCtrl::SendInstantMessage() {
    const BusyGuard guard(busy_);
    if (!guard.entered()) {
        return;
    }
    const std::string recipient = FromQ(userNameEdit_->text());
    const std::string text = FromQ(messageEdit_->text());
    messageEdit_->clear();  // the typed text goes whatever happens next
    const MessageResult result = SendMessageFromApp(app_, display_, recipient, text, peerOptions_);
    if (result == MessageResult::Sent) {
        display_.Flush();
        QScrollBar* bar = messageView_->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

void CMainTabCtrl::RunSearch() {
    const BusyGuard guard(busy_);
    if (!guard.entered()) {
        return;
    }
    SearchQuery query;
    query.query = FromQ(fileNameEdit_->text());
    if (extensionCombo_->currentIndex() >= 0) {
        query.fileType = FromQ(extensionCombo_->currentText());
    }
    query.maxResults = FromQ(maxResultsEdit_->text());
    app_.RunSearch(query, results_);
    resultsModel_->Reload(results_);
}

void CMainTabCtrl::StartDownload() {
    const BusyGuard guard(busy_);
    if (!guard.entered()) {
        return;
    }
    SelectPage(kTransferPage);
    const int row = resultsList_->SelectedRow();
    if (row < 0) {
        return;
    }
    StartDownloadOfResult(app_, results_, row, peerOptions_);
    RefreshTransfers();
}

void CMainTabCtrl::CancelSelectedTransfers() {
    // The selected rows' records, wherever the sort shows them and wherever
    // they stand in their tables now.
    auto tableRow = [this](CReportView* list) {
        const TransferTable* table = TableOf(list);
        const auto record = ModelOf(list)->RecordAt(list->SelectedRow());
        return table != nullptr && record ? TableRowOf(*table, record.get()) : -1;
    };
    CancelTransferRows(app_, tableRow(downloadTable_), tableRow(uploadTable_));
}

void CMainTabCtrl::ClearFinishedTransfers() {
    const BusyGuard guard(busy_);
    if (!guard.entered()) {
        return;
    }
    // The views must match the tables row for row before rows go, so the
    // selection follows the rows that stay.
    RefreshTransfers();
    ClearFinishedTransferRows(app_);
    RefreshTransfers();
}

void CMainTabCtrl::RefreshTransfers() {
    downloadModel_->Refresh();
    uploadModel_->Refresh();
    emit transfersRefreshed();
}

int CMainTabCtrl::ActiveDownloads() const {
    return downloadModel_->ActiveCount();
}

int CMainTabCtrl::ActiveUploads() const {
    return uploadModel_->ActiveCount();
}

TransferTable* CMainTabCtrl::TableOf(const CReportView* list) const {
    if (list == downloadTable_) {
        return &app_.downloadRecords();
    }
    if (list == uploadTable_ && app_.peerListener() != nullptr) {
        return &app_.peerListener()->uploadRecords();
    }
    return nullptr;
}

TransferTableModel* CMainTabCtrl::ModelOf(const CReportView* list) const {
    if (list == downloadTable_) {
        return downloadModel_;
    }
    return list == uploadTable_ ? uploadModel_ : nullptr;
}

void CMainTabCtrl::ShowTransferMenu(CReportView* list, const QPoint& pos) {
    const int row = list->SourceRowAt(pos);
    if (row < 0) {
        return;
    }
    list->SelectRow(row);  // the menu acts on the row it was opened on
    if (std::unique_ptr<QMenu> menu = TransferRowMenu(list, row)) {
        menu->exec(list->viewport()->mapToGlobal(pos));
    }
}

std::unique_ptr<QMenu> CMainTabCtrl::TransferRowMenu(CReportView* list, int row) {
    TransferTableModel* model = ModelOf(list);
    if (model == nullptr || model->RowAt(row) == nullptr) {
        return nullptr;
    }
    // The actions hold the record, not the row number: rows may move up while
    // the menu is open, and the record is found again when one is chosen.
    const std::shared_ptr<const TransferRecord> record = model->RecordAt(row);
    const TransferRow shown = *model->RowAt(row);
    const std::shared_ptr<const AppSettings> settings = app_.settings();
    const QString folder = settings ? ToQ(settings->sharedDirectory) : QString();
    const QString file = IsSafeLocalName(shown.fileName) && !folder.isEmpty()
                             ? QDir(folder).filePath(ToQ(shown.fileName))
                             : QString();
    const bool isDownload = list == downloadTable_;

    auto menu = std::make_unique<QMenu>(list);
    QAction* open = menu->addAction(QString::fromUtf8(kMenuOpenFile), this,
                                    [this, file] { openUrl_(QUrl::fromLocalFile(file)); });
    // A download is whole only once complete; an upload's file is already there.
    open->setEnabled(!file.isEmpty() && QFileInfo(file).isFile() &&
                     (!isDownload || shown.status == TransferStatus::Complete));
    QAction* openFolder = menu->addAction(QString::fromUtf8(kMenuOpenFolder), this, [this, folder] {
        openUrl_(QUrl::fromLocalFile(folder));
    });
    openFolder->setEnabled(!folder.isEmpty() && QFileInfo(folder).isDir());
    QAction* cancel = menu->addAction(QString::fromUtf8(kCancelButton), this, [this, list, record] {
        TransferTable* table = TableOf(list);
        const int at = table != nullptr ? TableRowOf(*table, record.get()) : -1;
        if (at >= 0) {
            table->CancelRow(static_cast<size_t>(at));
        }
    });
    cancel->setEnabled(!IsFinalStatus(shown.status));
    QAction* clear = menu->addAction(QString::fromUtf8(kClearButton), this, [this, list, record] {
        TransferTable* table = TableOf(list);
        const int at = table != nullptr ? TableRowOf(*table, record.get()) : -1;
        // Only a finished row goes; a running one is cancelled first by Cancel.
        if (at >= 0 && record->IsFinished()) {
            RefreshTransfers();
            (void)table->RemoveRecord(static_cast<size_t>(at));
            RefreshTransfers();
        }
    });
    clear->setEnabled(IsFinalStatus(shown.status));
    return menu;
}

}  // namespace brindle
