#include "ui/report_view.h"

#include <QHeaderView>
#include <QMouseEvent>

namespace brindle {

CReportView::CReportView(QWidget* parent) : QTreeView(parent) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setFrameShape(QFrame::StyledPanel);
    header()->setStretchLastSection(false);
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
        if (hovered_.isValid()) {
            SelectRow(hovered_.row());
        }
    });
}

int CReportView::SelectedRow() const {
    if (selectionModel() == nullptr) {
        return -1;
    }
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void CReportView::SelectRow(int row) {
    if (model() == nullptr || selectionModel() == nullptr) {
        return;
    }
    if (row < 0 || row >= model()->rowCount()) {
        selectionModel()->clearSelection();
        return;
    }
    const QModelIndex index = model()->index(row, 0);
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
