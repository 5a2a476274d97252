#include "ui/search_results_model.h"

#include "ui/qt_text.h"
#include "ui/report_view.h"
#include "ui/size_text.h"
#include "ui/window_texts.h"

namespace brindle {

SearchResultsModel::SearchResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

void SearchResultsModel::Reload(const SearchResultsTable& table) {
    beginResetModel();
    rows_ = table.rows();
    endResetModel();
}

int SearchResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int SearchResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant SearchResultsModel::data(const QModelIndex& index, int role) const {
    // The tooltip holds the whole text of a cell cut short by its column.
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole && role != CReportView::kSortRole) ||
        !index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const SearchResult& row = rows_[static_cast<size_t>(index.row())];
    if (index.column() == 1 && role != Qt::DisplayRole) {
        // Sizes sort by their bytes; a listed text that is no number sorts first.
        const std::optional<long long> bytes = ParseByteCount(row.length);
        if (role == CReportView::kSortRole) {
            return bytes ? QVariant(static_cast<qlonglong>(*bytes)) : QVariant(qlonglong{-1});
        }
        return bytes ? SizeTip(*bytes) : ToQ(row.length);
    }
    switch (index.column()) {
        case 0:
            return ToQ(row.fileName);
        case 1:
            return ToQ(row.length);
        case 2:
            return ToQ(row.userName);
        case 3:
            return ToQ(row.connection);
        default:
            return {};
    }
}

QVariant SearchResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 4) {
        return QString::fromUtf8(kSearchResultHeaders[section]);
    }
    return {};
}

}  // namespace brindle
