#include "headless/console_ports.h"

namespace brindle {

namespace {
thread_local MessageCapture* currentCapture = nullptr;
}  // namespace

MessageCapture::MessageCapture(Answer answer) : answer_(answer), outer_(currentCapture) {
    currentCapture = this;
}

MessageCapture::~MessageCapture() {
    currentCapture = outer_;
}

MessageCapture* MessageCapture::Current() {
    return currentCapture;
}

void Console::Out(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    out_ << text << std::flush;
}

void Console::Err(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    err_ << text << std::flush;
}

void ConsoleMessageBox::ShowMessage(const std::string& text, MessageIcon icon) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++shown_;
    }
    if (MessageCapture* capture = MessageCapture::Current()) {
        capture->Add(text);
    }
    console_.Err(text + "\n");
}

Answer ConsoleMessageBox::AskYesNoCancel(const std::string&) {
    if (const MessageCapture* capture = MessageCapture::Current()) {
        return capture->answer();
    }
    return answer_;
}

int ConsoleMessageBox::shown() const {
    std::lock_guard<std::mutex> hold(lock_);
    return shown_;
}

void ConsoleMessageDisplay::AppendLine(const std::string& line) {
    console_.Out(!line.empty() && line.back() == '\n' ? line : line + "\n");
}

}  // namespace brindle
