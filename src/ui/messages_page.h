// The Messages page: the display of sent and received messages, the
// recipient's name, the message line and Send.
#pragma once

#include <QRect>

#include "ui/tab_page.h"

class QPlainTextEdit;

namespace brindle {

class QtMessageDisplay;

class MessagesPage : public TabPage {
    Q_OBJECT
  public:
    struct Layout {
        QRect messagesLabel, messageView, userNameLabel, userNameEdit, messageLabel, messageEdit,
            sendButton;
    };
    // The display fills the page but for the two rows of recipient and message
    // below it.
    static Layout ComputeLayout(const PageArea& area);

    // The display shows what `display` is given.
    MessagesPage(QWidget* surface, PageContext& context, QtMessageDisplay& display);

    [[nodiscard]] QList<QWidget*> Controls() const override;
    void Place(const PageArea& area) override;

    // Sends the message line to the recipient; the line is emptied whatever
    // happens, and a sent message is shown at the bottom of the display.
    void SendInstantMessage();

    [[nodiscard]] QLabel* messagesLabel() const { return messagesLabel_; }
    [[nodiscard]] QPlainTextEdit* messageView() const { return messageView_; }
    [[nodiscard]] QLabel* userNameLabel() const { return userNameLabel_; }
    [[nodiscard]] QLineEdit* userNameEdit() const { return userNameEdit_; }
    [[nodiscard]] QLabel* messageLabel() const { return messageLabel_; }
    [[nodiscard]] QLineEdit* messageEdit() const { return messageEdit_; }
    [[nodiscard]] QPushButton* sendButton() const { return sendButton_; }

  private:
    QtMessageDisplay& display_;
    QLabel* messagesLabel_ = nullptr;
    QPlainTextEdit* messageView_ = nullptr;
    QLabel* userNameLabel_ = nullptr;
    QLineEdit* userNameEdit_ = nullptr;
    QLabel* messageLabel_ = nullptr;
    QLineEdit* messageEdit_ = nullptr;
    QPushButton* sendButton_ = nullptr;
};

}  // namespace brindle
