// Helpers for fuzz targets: feed bytes into a socket the code under test reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/ui_ports.h"
#include "net/socket.h"

namespace brindle::fuzz {

// A connected socket pair whose far end writes `bytes` and then closes, from a
// thread of its own so inputs larger than the socket buffers still flow.
class FedSocket {
  public:
    explicit FedSocket(std::string bytes);
    ~FedSocket();
    FedSocket(const FedSocket&) = delete;
    FedSocket& operator=(const FedSocket&) = delete;
    int fd() const { return reader_.fd(); }

  private:
    Socket reader_;
    Socket writer_;
    std::string bytes_;
    std::thread feeder_;
};

// Keeps every message box text; questions are answered No.
class RecordingMessageBox : public IMessageBox {
  public:
    void ShowMessage(const std::string& text, MessageIcon) override { texts.push_back(text); }
    Answer AskYesNoCancel(const std::string&) override { return Answer::No; }
    std::vector<std::string> texts;
};

// A progress window that only counts its steps.
class CountingProgress : public IProgressWindow {
  public:
    void SetStatus(const std::string&) override {}
    void SetRange(long long) override {}
    void SetStep(long long) override {}
    void StepIt() override { ++steps; }
    void Hide() override {}
    long long steps = 0;
};

inline std::string AsString(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace brindle::fuzz
