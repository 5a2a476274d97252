#include <gtest/gtest.h>

#include "ui/messages_page.h"
#include "ui/page_layout.h"
#include "ui/search_page.h"
#include "ui/transfer_page.h"

namespace brindle {
namespace {

const PageArea kArea = PageArea::Of(QRect(0, 0, 600, 500), 20);

// A tab control 500 pixels high whose tab strip is 20 high: the page area runs
// from y = 25 to 495, the download table is 203 high, the uploads label sits at
// y = 260 and the upload table runs from 292 to 458.
TEST(PageLayoutTest, TransferPageSplitsTheHeightInHalves) {
    const TransferPage::Layout l = TransferPage::ComputeLayout(kArea);
    EXPECT_EQ(l.downloadsLabel, QRect(5, 25, 590, 27));
    EXPECT_EQ(l.downloadTable, QRect(5, 57, 590, 203));
    EXPECT_EQ(l.uploadsLabel, QRect(5, 260, 590, 27));
    EXPECT_EQ(l.uploadTable.top(), 292);
    EXPECT_EQ(l.uploadTable.top() + l.uploadTable.height(), 458);
    // Clear and Cancel share the bottom 32 pixels, half the width each.
    EXPECT_EQ(l.clearButton, QRect(5, 463, 295, 32));
    EXPECT_EQ(l.cancelButton, QRect(300, 463, 295, 32));
}

TEST(PageLayoutTest, MessagesPageKeepsTwoRowsUnderTheDisplay) {
    const MessagesPage::Layout l = MessagesPage::ComputeLayout(kArea);
    EXPECT_EQ(l.messagesLabel, QRect(5, 25, 590, 32));
    EXPECT_EQ(l.messageView, QRect(5, 57, 590, 369));  // ends 69 above the bottom
    // The label's box ends at x = 100 and reaches down over the message row.
    EXPECT_EQ(l.userNameLabel, QRect(5, 431, 95, 59));
    EXPECT_EQ(l.userNameEdit, QRect(105, 431, 490, 27));
    EXPECT_EQ(l.messageLabel, QRect(5, 463, 100, 27));
    EXPECT_EQ(l.messageEdit, QRect(105, 463, 435, 27));
    EXPECT_EQ(l.sendButton, QRect(545, 463, 50, 27));
}

TEST(PageLayoutTest, SearchPageHasThreeRowsAboveTheResults) {
    const SearchPage::Layout l = SearchPage::ComputeLayout(kArea);
    EXPECT_EQ(l.fileNameLabel, QRect(5, 25, 100, 32));
    EXPECT_EQ(l.fileNameEdit, QRect(105, 25, 490, 27));
    EXPECT_EQ(l.extensionLabel, QRect(5, 57, 100, 27));
    EXPECT_EQ(l.extensionCombo, QRect(105, 57, 490, 27));
    EXPECT_EQ(l.maxResultsLabel, QRect(5, 89, 100, 27));
    EXPECT_EQ(l.maxResultsEdit, QRect(105, 89, 385, 27));
    EXPECT_EQ(l.searchButton, QRect(495, 89, 100, 27));
    EXPECT_EQ(l.resultsList, QRect(5, 121, 590, 374));
}

TEST(PageLayoutTest, HalvesTruncateAndAnOffsetClientMovesEverything) {
    // 501 high: (B - T) = 471, halves truncate to 235.
    const TransferPage::Layout odd =
        TransferPage::ComputeLayout(PageArea::Of(QRect(0, 0, 601, 501), 20));
    EXPECT_EQ(odd.downloadTable.height(), 235 - 32);
    EXPECT_EQ(odd.uploadsLabel.top(), 25 + 235);
    EXPECT_EQ(odd.clearButton.width(), 295);
    EXPECT_EQ(odd.cancelButton.width(), 296);

    const MessagesPage::Layout moved =
        MessagesPage::ComputeLayout(PageArea::Of(QRect(10, 20, 600, 500), 20));
    EXPECT_EQ(moved.messagesLabel, QRect(15, 45, 590, 32));
    EXPECT_EQ(moved.sendButton, QRect(555, 483, 50, 27));
}

}  // namespace
}  // namespace brindle
