// The console standing in for the window's message boxes and message view.
#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

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

// While one lives, the console message boxes shown on its thread are also kept
// in it, and the question is answered with its answer: the web page's requests
// run the core's steps this way and send the texts back.
class MessageCapture {
  public:
    explicit MessageCapture(Answer answer = Answer::No);
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;
    [[nodiscard]] const std::vector<std::string>& texts() const { return texts_; }
    [[nodiscard]] Answer answer() const { return answer_; }
    void Add(const std::string& text) { texts_.push_back(text); }
    // The capture of the calling thread; null when none.
    static MessageCapture* Current();

  private:
    Answer answer_;
    std::vector<std::string> texts_;
    MessageCapture* outer_;
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
