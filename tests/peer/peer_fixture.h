// What the peer suites share: a recording message display, a listener wired to
// a sandbox shared directory on a loopback port, and small socket helpers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/settings.h"
#include "share/shared_files.h"
#include "net/socket.h"
#include "peer/peer_listener.h"
#include "peer/peer_options.h"
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

// A connected loopback socket to `port` (invalid when the connect failed).
inline Socket ConnectLoopback(int port) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return Socket();
    }
    return socket;
}

// Reads until the peer closes or the deadline passes.
inline std::string ReadUntilClosed(int fd,
                                   std::chrono::milliseconds deadline = std::chrono::seconds(10),
                                   bool* closed = nullptr) {
    std::string data;
    auto end = std::chrono::steady_clock::now() + deadline;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            if (closed != nullptr) {
                *closed = false;
            }
            return data;
        }
        ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got <= 0) {
            if (closed != nullptr) {
                *closed = true;
            }
            return data;
        }
        data.append(chunk.data(), static_cast<std::size_t>(got));
    }
}

// Deterministic file contents that hold every byte value.
inline std::string PatternBytes(std::size_t length) {
    std::string data(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return data;
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
        listener = std::make_unique<PeerListener>(display, messages, settings, files, options_);
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

}  // namespace brindle::test
