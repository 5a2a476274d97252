#include "ui/report_view.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QStyleOptionHeader>

namespace brindle {

namespace {

// A header whose sort arrow points the way the rows run: up over rows that rise
// (ascending), down over rows that fall (descending), as users read it.
class SortArrowHeader : public QHeaderView {
  public:
    explicit SortArrowHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}

  protected:
    void initStyleOptionForIndex(QStyleOptionHeader* option, int logicalIndex) const override {
        QHeaderView::initStyleOptionForIndex(option, logicalIndex);
        if (option->sortIndicator != QStyleOptionHeader::None) {
            option->sortIndicator = sortIndicatorOrder() == Qt::AscendingOrder
                                        ? QStyleOptionHeader::SortUp
                                        : QStyleOptionHeader::SortDown;
        }
    }
};

}  // namespace

CReportView::CReportView(QWidget* parent)
    : QTreeView(parent), proxy_(new QSortFilterProxyModel(this)) {
    setHeader(new SortArrowHeader(this));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    proxy_->setSortRole(kSortRole);
    proxy_->setSortCaseSensitivity(Qt::CaseInsensitive);
    proxy_->setDynamicSortFilter(true);
    // Unsorted until a header is clicked: the rows in the model's order.
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    setFrameShape(QFrame::StyledPanel);
    // The last column takes whatever width the others leave.
    header()->setStretchLastSection(true);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    hoverTimer_.setSingleShot(true);
    hoverTimer_.setInterval(kHoverSelectMs);
    connect(this, &QAbstractItemView::entered, this, [this](const QModelIndex& index) {
        hovered_ = index;
        hoverTimer_.start();
    });
    connect(&hoverTimer_, &QTimer::timeout, this, [this] {
        if (hovered_.isValid() && selectionModel() != nullptr) {
            // The view reports its own (sorted) rows; a model row is mapped first.
            const QModelIndex shown = hovered_.model() == proxy_ ? QModelIndex(hovered_)
                                                                 : proxy_->mapFromSource(hovered_);
            selectionModel()->setCurrentIndex(
                shown.sibling(shown.row(), 0),
                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
    });
}

void CReportView::setModel(QAbstractItemModel* model) {
    proxy_->setSourceModel(model);
    if (QTreeView::model() != proxy_) {
        QTreeView::setModel(proxy_);
    }
}

int CReportView::SelectedRow() const {
    if (selectionModel() == nullptr) {
        return -1;
    }
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : SourceRow(rows.first().row());
}

int CReportView::SourceRow(int viewRow) const {
    if (viewRow < 0 || viewRow >= proxy_->rowCount()) {
        return -1;
    }
    return proxy_->mapToSource(proxy_->index(viewRow, 0)).row();
}

int CReportView::SourceRowAt(const QPoint& pos) const {
    const QModelIndex index = indexAt(pos);
    return index.isValid() ? SourceRow(index.row()) : -1;
}

void CReportView::SelectRow(int row) {
    if (sourceModel() == nullptr || selectionModel() == nullptr) {
        return;
    }
    if (row < 0 || row >= sourceModel()->rowCount()) {
        selectionModel()->clearSelection();
        return;
    }
    const QModelIndex index = proxy_->mapFromSource(sourceModel()->index(row, 0));
    selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void CReportView::SetColumnWidths(int width) {
    if (model() == nullptr) {
        return;
    }
    for (int column = 0; column < model()->columnCount(); ++column) {
        header()->resizeSection(column, width);
    }
}

void CReportView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) {
        emit doubleClickedAnywhere();
    }
}

void CReportView::leaveEvent(QEvent* event) {
    hoverTimer_.stop();
    hovered_ = QPersistentModelIndex();
    QTreeView::leaveEvent(event);
}

}  // namespace brindle
