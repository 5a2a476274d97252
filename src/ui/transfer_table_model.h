// A view of one transfer table. Refresh() compares the table with what the
// view shows and reports only the differences (rows gone, rows added at the
// bottom, cells changed), so rows keep their places and the selection stays.
// The window calls it from a timer a few times a second: workers write their
// records freely and never wait for the window.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <memory>
#include <vector>

#include "peer/transfer_record.h"

namespace brindle {

class TransferTableModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit TransferTableModel(const TransferTable& table, QObject* parent = nullptr);

    // Brings the view up to date; cheap when the table has not changed.
    void Refresh();

    // The record shown in row `row` (null when out of range).
    [[nodiscard]] std::shared_ptr<const TransferRecord> RecordAt(int row) const;
    // The row's state as last shown.
    [[nodiscard]] const TransferRow* RowAt(int row) const;
    // How many shown rows are connecting or moving bytes.
    [[nodiscard]] int ActiveCount() const;

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override;

  signals:
    // A shown row went from a running state to Complete or Error.
    void transferEnded(const QString& fileName, bool completed);

  private:
    struct Row {
        // Identity of the row; held so its address cannot be reused by a new record.
        std::shared_ptr<const TransferRecord> record;
        // The texts the row shows; a change that alters none of them is no change.
        TransferCells cells;
        // The typed state behind the texts (sorting and tooltips).
        TransferRow row;
    };

    const TransferTable& table_;
    std::vector<Row> rows_;
    std::uint64_t shownChanges_ = 0;
    bool loaded_ = false;
};

}  // namespace brindle
