#include "ui/main_tab_ctrl.h"

#include <QFrame>
#include <QMenu>
#include <QTabBar>

#include "ui/window_texts.h"

namespace brindle {

CMainTabCtrl::CMainTabCtrl(CShareApp& app, QtMessageDisplay& display, QWidget* parent)
    : QWidget(parent), context_{app, PeerOptions{}} {
    tabBar_ = new QTabBar(this);
    tabBar_->setExpanding(false);  // tabs as wide as their text
    tabBar_->setDrawBase(false);
    tabBar_->addTab(QString::fromUtf8(kTabMessages));
    tabBar_->addTab(QString::fromUtf8(kTabSearch));
    tabBar_->addTab(QString::fromUtf8(kTabTransfer));
    tabBar_->setCurrentIndex(kMessagesPage);
    pane_ = new QFrame(this);
    pane_->setFrameShape(QFrame::StyledPanel);

    messagesPage_ = new MessagesPage(this, context_, display);
    searchPage_ = new SearchPage(this, context_);
    transferPage_ = new TransferPage(this, context_);
    pages_ = {messagesPage_, searchPage_, transferPage_};  // in the order of the tabs
    searchPage_->SetVisible(false);
    transferPage_->SetVisible(false);

    connect(tabBar_, &QTabBar::currentChanged, this, [this](int page) {
        // Hide what was shown, then show the page now selected.
        if (TabPage* shown = PageAt(shownPage_)) {
            shown->SetVisible(false);
        }
        shownPage_ = page;
        ShowPage(true);
    });
    // A download from the results list is followed on the Transfer page.
    connect(searchPage_, &SearchPage::transferPageWanted, this,
            [this] { SelectPage(kTransferPage); });
    connect(searchPage_, &SearchPage::downloadStarted, transferPage_,
            &TransferPage::RefreshTransfers);
    connect(transferPage_, &TransferPage::transfersRefreshed, this,
            &CMainTabCtrl::transfersRefreshed);
    connect(transferPage_, &TransferPage::downloadEnded, this, &CMainTabCtrl::downloadEnded);
}

CMainTabCtrl::~CMainTabCtrl() = default;

TabPage* CMainTabCtrl::PageAt(int page) const {
    return page >= 0 && page < static_cast<int>(pages_.size()) ? pages_[page] : nullptr;
}

void CMainTabCtrl::SetColumnWidths(int clientWidth) {
    for (TabPage* page : pages_) {
        page->SetColumnWidths(clientWidth);
    }
}

QList<QWidget*> CMainTabCtrl::PageControls(int page) const {
    const TabPage* shown = PageAt(page);
    return shown != nullptr ? shown->Controls() : QList<QWidget*>();
}

std::unique_ptr<QMenu> CMainTabCtrl::TransferRowMenu(CReportView* list, int row) {
    return transferPage_->TransferRowMenu(list, row);
}

int CMainTabCtrl::currentPage() const {
    return tabBar_->currentIndex();
}

void CMainTabCtrl::ShowPage(bool show) {
    if (TabPage* page = PageAt(tabBar_->currentIndex())) {
        page->SetVisible(show);
    }
}

void CMainTabCtrl::SelectPage(int page) {
    tabBar_->setCurrentIndex(page);  // currentChanged swaps the pages
}

int CMainTabCtrl::TabHeight() const {
    return tabBar_->sizeHint().height();
}

void CMainTabCtrl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayoutPages();
}

void CMainTabCtrl::LayoutPages() {
    const int tabHeight = TabHeight();
    tabBar_->setGeometry(0, 0, width(), tabHeight);
    pane_->setGeometry(0, tabHeight, width(), height() - tabHeight);
    pane_->lower();
    const PageArea area = PageArea::Of(rect(), tabHeight);
    for (TabPage* page : pages_) {
        page->Place(area);
    }
}

}  // namespace brindle
