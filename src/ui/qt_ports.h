// The window's side of the core's user interfaces: message boxes, the
// configuration dialog and the message display.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/ui_ports.h"

class QPlainTextEdit;
class QWidget;

namespace brindle {

// Application-modal message boxes captioned "Brindlenet". Called from another
// thread, a message is handed to the GUI thread and the caller goes on; a
// question from another thread waits for the answer.
class QtMessageBox : public IMessageBox {
  public:
    explicit QtMessageBox(std::function<QWidget*()> parent = {});
    void ShowMessage(const std::string& text, MessageIcon icon) override;
    Answer AskYesNoCancel(const std::string& text) override;

    // Without a user to answer (the screenshot tour): messages go to standard
    // error and questions are answered Yes.
    void SetUnattended(bool unattended) { unattended_ = unattended; }
    // Once the program is ending no box opens any more: messages go to
    // standard error and questions are answered Cancel (GUI thread only).
    void SetClosing() { closing_ = true; }
    // While held, messages wait and are shown when it ends (start-up holds them
    // while the splash picture, which stays on top, is up).
    void HoldMessages();
    void ReleaseMessages();

  private:
    struct Held {
        std::string text;
        MessageIcon icon;
    };
    [[nodiscard]] QWidget* Parent() const;

    std::function<QWidget*()> parent_;
    bool unattended_ = false;
    bool closing_ = false;
    bool holding_ = false;
    std::vector<Held> held_;
};

// Shows CConfigDialog over the main window.
class QtConfigDialogPort : public IConfigDialog {
  public:
    explicit QtConfigDialogPort(std::function<QWidget*()> parent = {});
    void ShowModal(AppSettings& values) override;

  private:
    std::function<QWidget*()> parent_;
};

// The message display. Any thread may append; lines are queued under a lock and
// the GUI thread takes the whole queue at once, so a busy sender never waits
// for the window and lines are never split or lost.
class QtMessageDisplay : public QObject, public IMessageDisplay {
    Q_OBJECT
  public:
    explicit QtMessageDisplay(QObject* parent = nullptr);
    void SetView(QPlainTextEdit* view);
    void AppendLine(const std::string& line) override;
    // Shows the queued lines now (GUI thread only).
    void Flush();

  signals:
    // Lines were added to the view.
    void linesShown(const QStringList& lines);

  private:
    std::mutex lock_;
    std::vector<std::string> pending_;
    bool flushPosted_ = false;
    QPointer<QPlainTextEdit> view_;
};

}  // namespace brindle
