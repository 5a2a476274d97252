// Where every page control of the main window goes, as a pure function of the
// tab control's client rectangle and the height of its tab strip.
#pragma once

#include <QRect>

namespace brindle {

struct PageLayout {
    // Messages page
    QRect messagesLabel, messageView, userNameLabel, userNameEdit, messageLabel, messageEdit,
        sendButton;
    // Search page
    QRect fileNameLabel, fileNameEdit, extensionLabel, extensionCombo, maxResultsLabel,
        maxResultsEdit, searchButton, resultsList;
    // Transfer page
    QRect downloadsLabel, downloadTable, uploadsLabel, uploadTable, clearButton, cancelButton;
};

// The page area is the client rectangle less a 5-pixel margin and the tab strip.
// Sizes are handed on as computed: a client area too small for the fixed
// margins gives zero or negative widths and heights.
PageLayout ComputePageLayout(const QRect& client, int tabHeight);

// Width of each of the `columns` columns of a page list, set once when the
// window is created: (W - 10) / columns. The list spans the client width less
// the two 5-pixel margins, and its own frame lies inside that span, so W is the
// client width less the frame on both sides: the columns then fit inside the
// list and no horizontal scroll bar is needed while it has no vertical one.
int ListColumnWidth(int clientWidth, int listFrameWidth, int columns);

}  // namespace brindle
