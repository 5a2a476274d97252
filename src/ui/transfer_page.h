// The Transfer page: the download and upload views, Clear and Cancel, and the
// right-click menu of a transfer row. A timer brings both views up to date a
// few times a second.
#pragma once

#include <QRect>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>

#include "ui/tab_page.h"

class QMenu;

namespace brindle {

class TransferTable;
class TransferTableModel;

class TransferPage : public TabPage {
    Q_OBJECT
  public:
    static constexpr int kRefreshIntervalMs = 250;

    struct Layout {
        QRect downloadsLabel, downloadTable, uploadsLabel, uploadTable, clearButton, cancelButton;
    };
    // Downloads in the upper half, uploads in the lower, Clear and Cancel
    // side by side along the bottom.
    static Layout ComputeLayout(const PageArea& area);

    TransferPage(QWidget* surface, PageContext& context);

    [[nodiscard]] QList<QWidget*> Controls() const override;
    void Place(const PageArea& area) override;
    void SetColumnWidths(int clientWidth) override;

    // Shows the upload table once the peer listener exists.
    void AttachUploadTable(const TransferTable& uploads);

    // Cancels the selected download and the selected upload.
    void CancelSelectedTransfers();
    // Removes the finished rows of both tables.
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
    [[nodiscard]] int ActiveDownloads() const;
    [[nodiscard]] int ActiveUploads() const;
    [[nodiscard]] TransferTableModel* downloadModel() const { return downloadModel_; }

    [[nodiscard]] QLabel* downloadsLabel() const { return downloadsLabel_; }
    [[nodiscard]] CReportView* downloadTable() const { return downloadTable_; }
    [[nodiscard]] QLabel* uploadsLabel() const { return uploadsLabel_; }
    [[nodiscard]] CReportView* uploadTable() const { return uploadTable_; }
    [[nodiscard]] QPushButton* clearButton() const { return clearButton_; }
    [[nodiscard]] QPushButton* cancelButton() const { return cancelButton_; }

  signals:
    // The transfer views were brought up to date.
    void transfersRefreshed();
    // A download completed (true) or failed (false).
    void downloadEnded(const QString& fileName, bool completed);

  private:
    void ShowTransferMenu(CReportView* list, const QPoint& pos);
    // The table behind `list`, or null (no listener yet, or not a transfer view).
    TransferTable* TableOf(const CReportView* list) const;
    TransferTableModel* ModelOf(const CReportView* list) const;

    QLabel* downloadsLabel_ = nullptr;
    CReportView* downloadTable_ = nullptr;
    QLabel* uploadsLabel_ = nullptr;
    CReportView* uploadTable_ = nullptr;
    QPushButton* clearButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    TransferTableModel* downloadModel_ = nullptr;
    TransferTableModel* uploadModel_ = nullptr;
    QTimer refreshTimer_;
    std::function<bool(const QUrl&)> openUrl_;
};

}  // namespace brindle
