// A report-view list: columns with headers, one selected row at most, the
// whole row selected, the selection kept visible without focus, and the row
// under a resting mouse pointer selected after a short hover. A click on a
// column header sorts the rows by that column's kSortRole value; the view shows
// its model through a sorting proxy, and every row number it takes or gives is
// the model's own, so row k stays record k however the rows are shown.
#pragma once

#include <QPersistentModelIndex>
#include <QSortFilterProxyModel>
#include <QTimer>
#include <QTreeView>

namespace brindle {

class CReportView : public QTreeView {
    Q_OBJECT
  public:
    // What a model gives under this role orders its rows: numbers as numbers.
    static constexpr int kSortRole = Qt::UserRole + 1;

    explicit CReportView(QWidget* parent = nullptr);

    // Shows `model` through the sorting proxy (model() is the proxy).
    void setModel(QAbstractItemModel* model) override;
    [[nodiscard]] QAbstractItemModel* sourceModel() const { return proxy_->sourceModel(); }

    // The selected row of the model (not of the sorted view), or -1.
    [[nodiscard]] int SelectedRow() const;
    // Selects model row `row`, wherever the sort shows it.
    void SelectRow(int row);
    // The model row shown at view row `viewRow`, or -1.
    [[nodiscard]] int SourceRow(int viewRow) const;
    // The model row under viewport point `pos`, or -1.
    [[nodiscard]] int SourceRowAt(const QPoint& pos) const;
    // Sets every column to `width` pixels, once; later size changes keep them.
    void SetColumnWidths(int width);

    static constexpr int kHoverSelectMs = 400;

  signals:
    // A double-click anywhere in the list, on a row or on empty space.
    void doubleClickedAnywhere();

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    QSortFilterProxyModel* proxy_;  // a child, so it outlives the view's use of it
    QTimer hoverTimer_;
    QPersistentModelIndex hovered_;
};

}  // namespace brindle
