// The geometry every page shares: the page area inside the tab control, the
// height of a one-line field, and the column widths of a page list. Each page
// computes the places of its own controls from the page area.
#pragma once

#include <QRect>

class QWidget;

namespace brindle {

// The height of a one-line field (edit, combo box, button) in every page.
inline constexpr int kFieldHeight = 27;

// The part of the tab control's client rectangle the pages are laid out in:
// the client rectangle less a 5-pixel margin and the tab strip. Right and
// bottom are exclusive, so a width is right - left.
struct PageArea {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    // Sizes are handed on as computed: a client area too small for the fixed
    // margins gives zero or negative widths and heights.
    static PageArea Of(const QRect& client, int tabHeight);
};

// Moves `control` to `place`; too small a window gives negative sizes, which
// are taken as empty.
void PlaceControl(QWidget* control, const QRect& place);

// Width of each of the `columns` columns of a page list, set once when the
// window is created: (W - 10) / columns. The list spans the client width less
// the two 5-pixel margins, and its own frame lies inside that span, so W is the
// client width less the frame on both sides: the columns then fit inside the
// list and no horizontal scroll bar is needed while it has no vertical one.
int ListColumnWidth(int clientWidth, int listFrameWidth, int columns);

}  // namespace brindle
