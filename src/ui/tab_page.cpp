#include "ui/tab_page.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

#include "ui/report_view.h"

namespace brindle {

TabPage::TabPage(QWidget* surface, PageContext& context)
    : QObject(surface), surface_(surface), context_(context) {}

void TabPage::SetVisible(bool show) {
    for (QWidget* control : Controls()) {
        control->setVisible(show);
    }
}

QLabel* TabPage::MakeLabel(const char* text, Qt::Alignment horizontal) {
    auto* label = new QLabel(QString::fromUtf8(text), surface_);
    // Text at the top of its box, level with the text of a field beside it.
    label->setAlignment(horizontal | Qt::AlignTop);
    const int lift = std::max(0, (kFieldHeight - label->fontMetrics().height()) / 2);
    label->setContentsMargins(0, lift, 0, 0);
    return label;
}

QLineEdit* TabPage::MakeEdit(const QString& text, bool tabStop) {
    auto* edit = new QLineEdit(text, surface_);
    edit->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    return edit;
}

QPushButton* TabPage::MakeButton(const char* text, bool tabStop) {
    auto* button = new QPushButton(QString::fromUtf8(text), surface_);
    button->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    button->setAutoDefault(false);
    return button;
}

CReportView* TabPage::MakeList() {
    auto* list = new CReportView(surface_);
    list->setFocusPolicy(Qt::ClickFocus);
    return list;
}

}  // namespace brindle
