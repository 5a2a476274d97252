// A report-view list: columns with headers, one selected row at most, the
// whole row selected, the selection kept visible without focus, and the row
// under a resting mouse pointer selected after a short hover.
#pragma once

#include <QPersistentModelIndex>
#include <QTimer>
#include <QTreeView>

namespace brindle {

class CReportView : public QTreeView {
    Q_OBJECT
  public:
    explicit CReportView(QWidget* parent = nullptr);

    // The selected row, or -1.
    int SelectedRow() const;
    void SelectRow(int row);
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
    QTimer hoverTimer_;
    QPersistentModelIndex hovered_;
};

}  // namespace brindle
