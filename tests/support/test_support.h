// Test fixtures shared by every suite: sandbox directories, deadline waits and
// scripted stand-ins for the user interface.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/ui_ports.h"
#include "directory/directory_client.h"
#include "support/net_helpers.h"

namespace brindle {

// A lookup answer in failure messages: "Address \"10.0.0.7\"", "NotLoggedIn".
void PrintTo(const LookupResult& result, std::ostream* out);

}  // namespace brindle

namespace brindle::test {

// The lookup answer that names `address`.
inline LookupResult LookupAddress(std::string address) {
    return {LookupResult::Kind::Address, std::move(address)};
}
inline const LookupResult kLookupFailed{LookupResult::Kind::Failed, {}};
inline const LookupResult kLookupNotRegistered{LookupResult::Kind::NotRegistered, {}};
inline const LookupResult kLookupNotLoggedIn{LookupResult::Kind::NotLoggedIn, {}};

// A fresh directory under the system's temporary folder, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    // Writes `contents` to the relative path, creating folders on the way.
    std::filesystem::path WriteFile(const std::string& relative, const std::string& contents) const;

  private:
    std::filesystem::path path_;
};

std::string ReadWholeFile(const std::filesystem::path& path);

// Polls `predicate` until it holds or the deadline passes; returns its last value.
bool WaitFor(const std::function<bool()>& predicate,
             std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Runs `body` on a thread of its own, in a mount namespace of its own, with a
// tmpfs of `bytes` mounted on `mountPoint`: a real small disk that fills up and
// goes away with the thread. False, without running `body`, where mounting is
// not allowed (it needs root).
bool RunOnSmallDisk(const std::filesystem::path& mountPoint, std::size_t bytes,
                    const std::function<void()>& body);

// Writes to `path` until the file system has no room left.
void FillDisk(const std::filesystem::path& path);

// Runs `body` on a thread of its own that cannot override file permissions, so
// a read-only file stays read-only even when the tests run as root.
void RunWithoutPermissionOverride(const std::function<void()>& body);

// The names in a directory, sorted.
std::vector<std::string> DirectoryEntries(const std::filesystem::path& directory);

// Deterministic file contents that hold every byte value; another `seed` gives
// other contents of the same length.
std::string PatternBytes(std::size_t length, unsigned seed = 0);

// Records every message box; answers questions from a script (Yes by default).
class FakeMessageBox : public IMessageBox {
  public:
    struct Shown {
        std::string text;
        MessageIcon icon;
        bool operator==(const Shown&) const = default;
    };
    void ShowMessage(const std::string& text, MessageIcon icon) override;
    Answer AskYesNoCancel(const std::string& text) override;
    std::vector<Shown> shown() const;
    std::vector<std::string> texts() const;
    std::vector<std::string> questions() const;
    void AnswerWith(std::vector<Answer> answers);

  private:
    mutable std::mutex lock_;
    std::vector<Shown> shown_;
    std::vector<std::string> questions_;
    std::vector<Answer> answers_;
};

// Records what progress windows were told, as one log of events.
class FakeProgressFactory : public IProgressFactory {
  public:
    std::unique_ptr<IProgressWindow> OpenProgress() override;
    std::vector<std::string> log()
        const;  // "open", "status:TEXT", "range:N", "step:N", "stepit", "hide", "close"
    long long position() const;  // sum of the steps taken
    int opened() const;

    void Record(const std::string& event);
    void Advance(long long by);

  private:
    mutable std::mutex lock_;
    std::vector<std::string> log_;
    long long position_ = 0;
    int opened_ = 0;
};

// Plays the configuration dialog from a script: each showing runs the next step;
// a step either presses OK with edits applied or presses Esc.
class FakeConfigDialog : public IConfigDialog {
  public:
    struct Step {
        bool ok = true;
        std::function<void(AppSettings&)> edit;
    };
    void Script(std::vector<Step> steps) { steps_ = std::move(steps); }
    void ShowModal(AppSettings& values) override;
    // The values the dialog was opened with, one entry per showing.
    const std::vector<AppSettings>& openedWith() const { return openedWith_; }
    int shown() const { return static_cast<int>(openedWith_.size()); }

  private:
    std::vector<Step> steps_;
    std::vector<AppSettings> openedWith_;
};

// Records every appended line.
class RecordingDisplay : public IMessageDisplay {
  public:
    void AppendLine(const std::string& line) override {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_.size();
    }

  private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// Resident memory of this process in bytes (VmRSS), or -1 when unknown.
long long ResidentBytes();

// True in AddressSanitizer and ThreadSanitizer builds, where work runs slower.
bool SanitizedBuild();

}  // namespace brindle::test
