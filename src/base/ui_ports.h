// The small interfaces through which the core reaches its user: message boxes,
// the progress window, the configuration dialog and the message display. The
// window, the headless peer and the tests each provide their own.
#pragma once

#include <memory>
#include <string>

#include "base/settings.h"
#include "base/texts.h"

namespace brindle {

enum class MessageIcon { None, Error };
enum class Answer { Yes, No, Cancel };

// Modal message boxes captioned with the application's name, one OK button.
class IMessageBox {
  public:
    virtual ~IMessageBox() = default;
    virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
    // The Yes/No/Cancel question (overwrite a local file).
    [[nodiscard]] virtual Answer AskYesNoCancel(const std::string& text) = 0;
};

// A modeless status window: one status line and one progress bar.
class IProgressWindow {
  public:
    virtual ~IProgressWindow() = default;
    virtual void SetStatus(const std::string& text) = 0;
    virtual void SetRange(long long maximum) = 0;  // the bar runs from 0 to maximum
    virtual void SetStep(long long step) = 0;
    virtual void StepIt() = 0;  // advance the bar by the step
    virtual void Hide() = 0;    // taken off screen before a message box
};

class IProgressFactory {
  public:
    virtual ~IProgressFactory() = default;
    // Shown and painted at once; closed and destroyed when the pointer goes.
    virtual std::unique_ptr<IProgressWindow> OpenProgress() = 0;
};

// The configuration dialog, shown modally. On OK `values` holds the edited texts;
// on Esc or the close box it is left as it was.
class IConfigDialog {
  public:
    virtual ~IConfigDialog() = default;
    virtual void ShowModal(AppSettings& values) = 0;
};

// The message display of the Messages tab. Called from any thread; each line is
// appended whole.
class IMessageDisplay {
  public:
    virtual ~IMessageDisplay() = default;
    virtual void AppendLine(const std::string& line) = 0;
};

// Do-nothing progress window for front ends that show none.
class NullProgressFactory : public IProgressFactory {
  public:
    std::unique_ptr<IProgressWindow> OpenProgress() override;
};

}  // namespace brindle
