// The console standing in for the window's message boxes and message view.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

#include "base/ui_ports.h"

namespace brindle {

// Standard output and standard error, one whole text at a time.
class Console {
  public:
    Console(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}
    void Out(const std::string& text);
    void Err(const std::string& text);

  private:
    std::mutex lock_;
    std::ostream& out_;
    std::ostream& err_;
};

// Message boxes become lines on standard error; the one question (overwrite a
// local file) is answered from the command line without being printed.
class ConsoleMessageBox : public IMessageBox {
  public:
    explicit ConsoleMessageBox(Console& console) : console_(console) {}
    void ShowMessage(const std::string& text, MessageIcon icon) override;
    Answer AskYesNoCancel(const std::string& text) override;
    void SetAnswer(Answer answer) { answer_ = answer; }
    int shown() const;

  private:
    Console& console_;
    Answer answer_ = Answer::No;
    mutable std::mutex lock_;
    int shown_ = 0;
};

// Message lines go to standard output, each ending in a line feed.
class ConsoleMessageDisplay : public IMessageDisplay {
  public:
    explicit ConsoleMessageDisplay(Console& console) : console_(console) {}
    void AppendLine(const std::string& line) override;

  private:
    Console& console_;
};

}  // namespace brindle
