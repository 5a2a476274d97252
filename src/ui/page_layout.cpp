#include "ui/page_layout.h"

namespace brindle {

PageLayout ComputePageLayout(const QRect& client, int tabHeight) {
    // Edges of the page area; right and bottom are exclusive, as widths are R - L.
    const int L = client.left() + 5;
    const int T = client.top() + tabHeight + 5;
    const int R = client.left() + client.width() - 5;
    const int B = client.top() + client.height() - 5;
    const int M = T + (B - T) / 2;  // top of the upload half
    const int V = (R - L) / 2;      // width of the Clear button

    PageLayout l;
    l.messagesLabel = QRect(L, T, R - L, 32);
    l.messageView = QRect(L, T + 32, R - L, B - T - 101);
    // The label's box ends at x = 100 and reaches over the message row.
    l.userNameLabel = QRect(L, B - 64, 100 - L, 59);
    l.userNameEdit = QRect(L + 100, B - 64, R - L - 100, 27);
    l.messageLabel = QRect(L, B - 32, 100, 27);
    l.messageEdit = QRect(L + 100, B - 32, R - L - 155, 27);
    l.sendButton = QRect(R - 50, B - 32, 50, 27);

    l.fileNameLabel = QRect(L, T, 100, 32);
    l.fileNameEdit = QRect(L + 100, T, R - L - 100, 27);
    l.extensionLabel = QRect(L, T + 32, 100, 27);
    // Qt opens a combo box's list in a pop-up of its own, so the box is one row high.
    l.extensionCombo = QRect(L + 100, T + 32, R - L - 100, 27);
    l.maxResultsLabel = QRect(L, T + 64, 100, 27);
    l.maxResultsEdit = QRect(L + 100, T + 64, R - L - 205, 27);
    l.searchButton = QRect(R - 100, T + 64, 100, 27);
    l.resultsList = QRect(L, T + 96, R - L, B - T - 96);

    l.downloadsLabel = QRect(L, T, R - L, 27);
    l.downloadTable = QRect(L, T + 32, R - L, (B - T) / 2 - 32);
    l.uploadsLabel = QRect(L, M, R - L, 27);
    l.uploadTable = QRect(L, M + 32, R - L, B - 37 - (M + 32));
    l.clearButton = QRect(L, B - 32, V, 32);
    l.cancelButton = QRect(L + V, B - 32, R - (L + V), 32);
    return l;
}

int ListColumnWidth(int clientWidth, int listFrameWidth, int columns) {
    const int W = clientWidth - 2 * listFrameWidth;
    return (W - 10) / columns;
}

}  // namespace brindle
