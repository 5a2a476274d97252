// What the peer suites share: a recording message display, a listener wired to
// a sandbox shared directory on a loopback port.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/settings.h"
#include "net/socket.h"
#include "peer/download.h"
#include "peer/peer_listener.h"
#include "peer/peer_options.h"
#include "share/shared_files.h"
#include "support/test_support.h"

namespace brindle::test {

// A text written on a server thread and read on the test's.
class LockedText {
  public:
    void Set(std::string text) {
        std::lock_guard<std::mutex> hold(lock_);
        text_ = std::move(text);
    }
    std::string Get() const {
        std::lock_guard<std::mutex> hold(lock_);
        return text_;
    }

  private:
    mutable std::mutex lock_;
    std::string text_;
};

// Options for loopback tests: an ephemeral port and short limits.
inline PeerOptions LoopbackOptions() {
    PeerOptions options;
    options.port = 0;
    options.listenAddress = "127.0.0.1";
    options.stallTimeout = std::chrono::seconds(20);
    options.requestTimeout = std::chrono::seconds(5);
    return options;
}

// A shared directory with its settings and published list, and a listener on it.
class PeerHarness {
  public:
    explicit PeerHarness(PeerOptions options = LoopbackOptions()) : options_(std::move(options)) {
        AppSettings values;
        values.sharedDirectory = shared.str() + "/";
        values.userName = "me";
        values.serverUrl = "http://127.0.0.1:1/x";
        values.connection = "DSL,Cable";
        values.password = "pw";
        settings.Publish(values);
    }

    // Writes a file and publishes it with its size (or with `published`).
    void Share(const std::string& name, const std::string& contents, long long published = -1) {
        std::string path = name;
        for (char& c : path) {
            c = c == '\\' ? '/' : c;
        }
        shared.WriteFile(path, contents);
        list_.push_back(
            {name, published < 0 ? static_cast<long long>(contents.size()) : published});
        files.Publish({shared.str() + "/", list_});
    }

    bool StartListener() {
        listener = std::make_unique<PeerListener>(display, messages, files, options_);
        return listener->Start();
    }
    int port() const { return listener->port(); }
    const PeerOptions& options() const { return options_; }

    TempDir shared;
    SettingsHolder settings;
    SharedFilesHolder files;
    RecordingDisplay display;
    FakeMessageBox messages;
    std::unique_ptr<PeerListener> listener;

  private:
    PeerOptions options_;
    SharedFileList list_;
};

// A download of `remoteName` (`length` bytes) from the listener on `port` into
// the directory `into`, added to `table` and started on `threads`.
inline std::shared_ptr<DownloadRecord> StartLoopbackDownload(
    int port, const std::string& remoteName, long long length, const TempDir& into,
    TransferTable& table, ThreadGroup& threads, PeerOptions options = LoopbackOptions()) {
    options.port = port;
    auto record = std::make_shared<DownloadRecord>(
        remoteName, LocalNameFor(remoteName), "127.0.0.1", "me", "DSL,Cable", length,
        std::to_string(length), into.str() + "/", std::move(options));
    table.Append(record);
    return record->Start(threads) ? record : nullptr;
}

}  // namespace brindle::test
