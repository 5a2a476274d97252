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

}  // namespace brindle
