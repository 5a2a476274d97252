// brindlenet-peer's commands: serve, search, get and send, on the same core
// as the window, with the console standing in for message boxes and views.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "base/preferences.h"
#include "base/settings.h"
#include "base/ui_ports.h"
#include "headless/headless_cli.h"
#include "net/http_client.h"
#include "peer/peer_options.h"
#include "peer/transfer_record.h"

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

struct HeadlessEnvironment {
    std::string configPath = kConfigFileName;
    // Upload slots and rate limits; serve and get read it at start.
    std::string preferencesPath = DefaultPreferencesPath();
    PeerOptions peer;
    RequestTimeouts requestTimeouts;
    // Waits up to the given time for a stop request (SIGINT, SIGTERM); true when one came.
    std::function<bool(std::chrono::milliseconds)> waitForStop;
    // True once for each request (SIGHUP) to read preferences.conf again; serve asks
    // after every wait. None: never.
    std::function<bool()> takeReloadRequest;
    // A terminal gets a redrawn progress bar; anything else one line a second.
    bool progressBar = false;
};

// The progress line of a download:
// "[#####.....]  45.00%  1234 of 5678  567.89ks  0:07 left  Downloading..."
// The time left is there while bytes move ("-:-- left" before the rate is known).
std::string ProgressLine(const TransferRow& row);

// The text shown when config.txt cannot give all five settings.
std::string IncompleteConfigText(const std::string& configPath);

// Runs a parsed command; the result is the process's exit code.
int RunHeadless(const HeadlessCommand& command, HeadlessEnvironment& environment, Console& console);

// main: parses, blocks SIGINT and SIGTERM (and for serve SIGHUP) for
// sigtimedwait, and runs.
int HeadlessMain(int argc, char** argv);

}  // namespace brindle
