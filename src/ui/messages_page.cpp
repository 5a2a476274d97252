#include "ui/messages_page.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include "app/app_commands.h"
#include "ui/qt_ports.h"
#include "ui/qt_text.h"
#include "ui/window_texts.h"

namespace brindle {

MessagesPage::Layout MessagesPage::ComputeLayout(const PageArea& area) {
    const int L = area.left;
    const int T = area.top;
    const int R = area.right;
    const int B = area.bottom;
    Layout l;
    l.messagesLabel = QRect(L, T, R - L, 32);
    l.messageView = QRect(L, T + 32, R - L, B - T - 101);
    // The label's box ends at x = 100 and reaches over the message row.
    l.userNameLabel = QRect(L, B - 64, 100 - L, 59);
    l.userNameEdit = QRect(L + 100, B - 64, R - L - 100, kFieldHeight);
    l.messageLabel = QRect(L, B - 32, 100, kFieldHeight);
    l.messageEdit = QRect(L + 100, B - 32, R - L - 155, kFieldHeight);
    l.sendButton = QRect(R - 50, B - 32, 50, kFieldHeight);
    return l;
}

MessagesPage::MessagesPage(QWidget* surface, PageContext& context, QtMessageDisplay& display)
    : TabPage(surface, context), display_(display) {
    messagesLabel_ = MakeLabel(kMessagesLabel, Qt::AlignLeft);
    messageView_ = new QPlainTextEdit(surface);
    messageView_->setReadOnly(true);
    messageView_->setLineWrapMode(QPlainTextEdit::NoWrap);
    messageView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    messageView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    messageView_->setFocusPolicy(Qt::ClickFocus);
    userNameLabel_ = MakeLabel(kRecipientLabel, Qt::AlignLeft);
    userNameEdit_ = MakeEdit(QString(), true);
    messageLabel_ = MakeLabel(kMessageLabel, Qt::AlignLeft);
    messageEdit_ = MakeEdit(QString(), true);
    sendButton_ = MakeButton(kSendButton, true);
    QWidget::setTabOrder(userNameEdit_, messageEdit_);
    QWidget::setTabOrder(messageEdit_, sendButton_);
    display_.SetView(messageView_);

    connect(sendButton_, &QPushButton::clicked, this, &MessagesPage::SendInstantMessage);
    // Enter in either field sends.
    connect(userNameEdit_, &QLineEdit::returnPressed, this, &MessagesPage::SendInstantMessage);
    connect(messageEdit_, &QLineEdit::returnPressed, this, &MessagesPage::SendInstantMessage);
}

QList<QWidget*> MessagesPage::Controls() const {
    return {messagesLabel_, messageView_, userNameLabel_, userNameEdit_,
            messageLabel_,  messageEdit_, sendButton_};
}

void MessagesPage::Place(const PageArea& area) {
    const Layout l = ComputeLayout(area);
    PlaceControl(messagesLabel_, l.messagesLabel);
    PlaceControl(messageView_, l.messageView);
    PlaceControl(userNameLabel_, l.userNameLabel);
    PlaceControl(userNameEdit_, l.userNameEdit);
    PlaceControl(messageLabel_, l.messageLabel);
    PlaceControl(messageEdit_, l.messageEdit);
    PlaceControl(sendButton_, l.sendButton);
}

void MessagesPage::SendInstantMessage() {
    const CommandGuard guard(context());
    if (!guard.entered()) {
        return;
    }
    const std::string recipient = FromQ(userNameEdit_->text());
    const std::string text = FromQ(messageEdit_->text());
    messageEdit_->clear();  // the typed text goes whatever happens next
    const MessageResult result =
        SendMessageFromApp(app(), display_, recipient, text, context().peerOptions);
    if (result == MessageResult::Sent) {
        display_.Flush();
        QScrollBar* bar = messageView_->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

}  // namespace brindle
