#include "ui/transfer_page.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "peer/download.h"
#include "ui/qt_text.h"
#include "ui/report_view.h"
#include "ui/transfer_table_model.h"
#include "ui/window_texts.h"

namespace brindle {

namespace {

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

TransferPage::Layout TransferPage::ComputeLayout(const PageArea& area) {
    const int L = area.left;
    const int T = area.top;
    const int R = area.right;
    const int B = area.bottom;
    const int M = T + (B - T) / 2;  // top of the upload half
    const int V = (R - L) / 2;      // width of the Clear button
    Layout l;
    l.downloadsLabel = QRect(L, T, R - L, kFieldHeight);
    l.downloadTable = QRect(L, T + 32, R - L, (B - T) / 2 - 32);
    l.uploadsLabel = QRect(L, M, R - L, kFieldHeight);
    l.uploadTable = QRect(L, M + 32, R - L, B - 37 - (M + 32));
    l.clearButton = QRect(L, B - 32, V, 32);
    l.cancelButton = QRect(L + V, B - 32, R - (L + V), 32);
    return l;
}

TransferPage::TransferPage(QWidget* surface, PageContext& context)
    : TabPage(surface, context),
      openUrl_([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    downloadsLabel_ = MakeLabel(kDownloadsLabel, Qt::AlignLeft);
    downloadTable_ = MakeList();
    downloadModel_ = new TransferTableModel(app().downloadRecords(), surface);
    downloadTable_->setModel(downloadModel_);
    uploadsLabel_ = MakeLabel(kUploadsLabel, Qt::AlignLeft);
    uploadTable_ = MakeList();
    uploadModel_ = new TransferTableModel(NoUploads(), surface);
    uploadTable_->setModel(uploadModel_);
    clearButton_ = MakeButton(kClearButton, false);
    cancelButton_ = MakeButton(kCancelButton, false);

    connect(clearButton_, &QPushButton::clicked, this, &TransferPage::ClearFinishedTransfers);
    connect(cancelButton_, &QPushButton::clicked, this, &TransferPage::CancelSelectedTransfers);
    connect(downloadModel_, &TransferTableModel::transferEnded, this, &TransferPage::downloadEnded);
    for (CReportView* list : {downloadTable_, uploadTable_}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint& pos) { ShowTransferMenu(list, pos); });
    }
    refreshTimer_.setInterval(kRefreshIntervalMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &TransferPage::RefreshTransfers);
    refreshTimer_.start();
}

QList<QWidget*> TransferPage::Controls() const {
    return {downloadsLabel_, downloadTable_, uploadsLabel_,
            uploadTable_,    clearButton_,   cancelButton_};
}

void TransferPage::Place(const PageArea& area) {
    const Layout l = ComputeLayout(area);
    PlaceControl(downloadsLabel_, l.downloadsLabel);
    PlaceControl(downloadTable_, l.downloadTable);
    PlaceControl(uploadsLabel_, l.uploadsLabel);
    PlaceControl(uploadTable_, l.uploadTable);
    PlaceControl(clearButton_, l.clearButton);
    PlaceControl(cancelButton_, l.cancelButton);
}

void TransferPage::SetColumnWidths(int clientWidth) {
    for (CReportView* list : {downloadTable_, uploadTable_}) {
        list->SetColumnWidths(
            ListColumnWidth(clientWidth, list->frameWidth(), list->model()->columnCount()));
    }
}

void TransferPage::AttachUploadTable(const TransferTable& uploads) {
    const int width = uploadTable_->header()->sectionSize(0);
    auto* model = new TransferTableModel(uploads, surface());
    uploadTable_->setModel(model);
    delete uploadModel_;
    uploadModel_ = model;
    uploadTable_->SetColumnWidths(width);
    uploadModel_->Refresh();
}

void TransferPage::CancelSelectedTransfers() {
    // The selected rows' records, wherever the sort shows them and wherever
    // they stand in their tables now.
    auto tableRow = [this](CReportView* list) {
        const TransferTable* table = TableOf(list);
        const auto record = ModelOf(list)->RecordAt(list->SelectedRow());
        return table != nullptr && record ? TableRowOf(*table, record.get()) : -1;
    };
    CancelTransferRows(app(), tableRow(downloadTable_), tableRow(uploadTable_));
}

void TransferPage::ClearFinishedTransfers() {
    const CommandGuard guard(context());
    if (!guard.entered()) {
        return;
    }
    // The views must match the tables row for row before rows go, so the
    // selection follows the rows that stay.
    RefreshTransfers();
    ClearFinishedTransferRows(app());
    RefreshTransfers();
}

void TransferPage::RefreshTransfers() {
    downloadModel_->Refresh();
    uploadModel_->Refresh();
    emit transfersRefreshed();
}

int TransferPage::ActiveDownloads() const {
    return downloadModel_->ActiveCount();
}

int TransferPage::ActiveUploads() const {
    return uploadModel_->ActiveCount();
}

TransferTable* TransferPage::TableOf(const CReportView* list) const {
    if (list == downloadTable_) {
        return &app().downloadRecords();
    }
    if (list == uploadTable_ && app().peerListener() != nullptr) {
        return &app().peerListener()->uploadRecords();
    }
    return nullptr;
}

TransferTableModel* TransferPage::ModelOf(const CReportView* list) const {
    if (list == downloadTable_) {
        return downloadModel_;
    }
    return list == uploadTable_ ? uploadModel_ : nullptr;
}

void TransferPage::ShowTransferMenu(CReportView* list, const QPoint& pos) {
    const int row = list->SourceRowAt(pos);
    if (row < 0) {
        return;
    }
    list->SelectRow(row);  // the menu acts on the row it was opened on
    if (std::unique_ptr<QMenu> menu = TransferRowMenu(list, row)) {
        menu->exec(list->viewport()->mapToGlobal(pos));
    }
}

std::unique_ptr<QMenu> TransferPage::TransferRowMenu(CReportView* list, int row) {
    TransferTableModel* model = ModelOf(list);
    if (model == nullptr || model->RowAt(row) == nullptr) {
        return nullptr;
    }
    // The actions hold the record, not the row number: rows may move up while
    // the menu is open, and the record is found again when one is chosen.
    const std::shared_ptr<const TransferRecord> record = model->RecordAt(row);
    const TransferRow shown = *model->RowAt(row);
    const std::shared_ptr<const AppSettings> settings = app().settings();
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
