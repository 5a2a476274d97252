#include "ui/transfer_table_model.h"

#include <unordered_set>

#include "ui/qt_text.h"
#include "ui/report_view.h"
#include "ui/size_text.h"

namespace brindle {

TransferTableModel::TransferTableModel(const TransferTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table) {}

void TransferTableModel::Refresh() {
    const std::uint64_t changes = table_.changeCount();
    if (loaded_ && changes == shownChanges_) {
        return;
    }
    // The count is read before the rows, so a change made meanwhile is seen again.
    shownChanges_ = changes;
    loaded_ = true;
    std::vector<Row> next;
    for (const auto& record : table_.Records()) {
        TransferRow row = record->Row();
        TransferCells cells = FormatTransferRow(row);
        next.push_back(Row{record, std::move(cells), std::move(row)});
    }

    // Rows that went: removed from the bottom up so indexes stay right.
    std::unordered_set<const TransferRecord*> present;
    for (const Row& row : next) {
        present.insert(row.record.get());
    }
    for (int i = static_cast<int>(rows_.size()) - 1; i >= 0; --i) {
        if (present.count(rows_[static_cast<size_t>(i)].record.get()) == 0) {
            beginRemoveRows({}, i, i);
            rows_.erase(rows_.begin() + i);
            endRemoveRows();
        }
    }
    // What is left must be the top of the new list; anything else is shown afresh.
    bool samePrefix = rows_.size() <= next.size();
    for (size_t i = 0; samePrefix && i < rows_.size(); ++i) {
        samePrefix = rows_[i].record == next[i].record;
    }
    if (!samePrefix) {
        beginResetModel();
        rows_ = std::move(next);
        endResetModel();
        return;
    }
    for (size_t i = 0; i < rows_.size(); ++i) {
        const bool wasRunning = !IsFinalStatus(rows_[i].row.status);
        rows_[i].row = next[i].row;
        if (rows_[i].cells != next[i].cells) {
            rows_[i].cells = next[i].cells;
            const int r = static_cast<int>(i);
            emit dataChanged(index(r, 0), index(r, kTransferColumnCount - 1),
                             {Qt::DisplayRole, Qt::ToolTipRole, CReportView::kSortRole});
        }
        const TransferStatus now = rows_[i].row.status;
        if (wasRunning && (now == TransferStatus::Complete || now == TransferStatus::Error)) {
            emit transferEnded(ToQ(rows_[i].row.fileName), now == TransferStatus::Complete);
        }
    }
    if (next.size() > rows_.size()) {
        beginInsertRows({}, static_cast<int>(rows_.size()), static_cast<int>(next.size()) - 1);
        rows_.insert(rows_.end(), std::make_move_iterator(next.begin() + rows_.size()),
                     std::make_move_iterator(next.end()));
        endInsertRows();
    }
}

int TransferTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TransferTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kTransferColumnCount;
}

std::shared_ptr<const TransferRecord> TransferTableModel::RecordAt(int row) const {
    if (row < 0 || row >= rowCount()) {
        return nullptr;
    }
    return rows_[static_cast<size_t>(row)].record;
}

const TransferRow* TransferTableModel::RowAt(int row) const {
    if (row < 0 || row >= rowCount()) {
        return nullptr;
    }
    return &rows_[static_cast<size_t>(row)].row;
}

int TransferTableModel::ActiveCount() const {
    int count = 0;
    for (const Row& row : rows_) {
        count += IsFinalStatus(row.row.status) ? 0 : 1;
    }
    return count;
}

namespace {

// The total a row sorts by: its byte count once known, else the listed length.
long long TotalBytes(const TransferRow& row) {
    if (row.total > 0 || !row.listedTotal) {
        return row.total;
    }
    return ParseByteCount(*row.listedTotal).value_or(-1);
}

// The tooltip's words for why a row ended in Error; empty when nothing more is known.
QString FailureText(const TransferRow& row) {
    switch (row.failure) {
        case TransferFailure::NeitherAcceptsConnections:
            return QStringLiteral("Neither you nor %1 can accept connections.").arg(ToQ(row.user));
        case TransferFailure::None:
            break;
    }
    return {};
}

QVariant SortValue(const TransferRow& row, const QString& text, int column) {
    switch (column) {
        case kColumnSize:
            return static_cast<qlonglong>(TotalBytes(row));
        case kColumnRate:
            return row.rateKiBps;
        case kColumnDone:
            return row.percent;
        default:
            return text;
    }
}

}  // namespace

QVariant TransferTableModel::data(const QModelIndex& index, int role) const {
    // The tooltip holds the whole text of a cell cut short by its column.
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole && role != CReportView::kSortRole) ||
        !index.isValid() || index.row() >= rowCount() || index.column() >= kTransferColumnCount) {
        return {};
    }
    const Row& row = rows_[static_cast<size_t>(index.row())];
    const QString text = ToQ(row.cells[static_cast<size_t>(index.column())]);
    if (role == CReportView::kSortRole) {
        return SortValue(row.row, text, index.column());
    }
    if (role == Qt::ToolTipRole && index.column() == kColumnSize) {
        const long long total = TotalBytes(row.row);
        // The cell's own text first, then the amounts in readable units.
        if (total >= 1024) {
            return QStringLiteral("%1 bytes (%2 of %3)")
                .arg(text, ReadableSize(row.row.done), ReadableSize(total));
        }
        return text + QStringLiteral(" bytes");
    }
    if (role == Qt::ToolTipRole && index.column() == kColumnStatus &&
        row.row.status == TransferStatus::Error) {
        if (const QString reason = FailureText(row.row); !reason.isEmpty()) {
            return text + QStringLiteral("\n") + reason;
        }
    }
    return text;
}

QVariant TransferTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < kTransferColumnCount) {
        return QString::fromUtf8(kTransferColumnHeaders[section]);
    }
    return {};
}

}  // namespace brindle
