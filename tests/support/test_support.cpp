#include "support/test_support.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

namespace brindle {

void PrintTo(const LookupResult& result, std::ostream* out) {
    switch (result.kind) {
        case LookupResult::Kind::Address:
            *out << "Address \"" << result.address << '"';
            return;
        case LookupResult::Kind::NotRegistered:
            *out << "NotRegistered";
            return;
        case LookupResult::Kind::NotLoggedIn:
            *out << "NotLoggedIn";
            return;
        case LookupResult::Kind::Failed:
            *out << "Failed";
            return;
    }
}

}  // namespace brindle

namespace brindle::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brindlenet-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        abort();
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Restore permissions a test may have taken away, so everything can go.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::WriteFile(const std::string& relative,
                                         const std::string& contents) const {
    auto target = path_ / relative;
    std::filesystem::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << contents;
    return target;
}

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= end) {
            return predicate();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool RunOnSmallDisk(const std::filesystem::path& mountPoint, std::size_t bytes,
                    const std::function<void()>& body) {
    bool mounted = false;
    // unshare gives this thread alone a private copy of the mounts; the tmpfs
    // is never seen by the rest of the process and goes when the thread ends.
    std::thread([&] {
        std::string options = "size=" + std::to_string(bytes);
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            return;
        }
        mounted = true;
        body();
        ::umount2(mountPoint.c_str(), MNT_DETACH);
    }).join();
    return mounted;
}

void FillDisk(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
}

void RunWithoutPermissionOverride(const std::function<void()>& body) {
    std::thread([&] {
        // Capabilities belong to the thread: dropping them here leaves every
        // other thread of the process as it was.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        if (::syscall(SYS_capget, &header, data) == 0) {
            for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
                data[cap / 32].effective &= ~(1u << (cap % 32));
                data[cap / 32].permitted &= ~(1u << (cap % 32));
            }
            ::syscall(SYS_capset, &header, data);
        }
        body();
    }).join();
}

std::vector<std::string> DirectoryEntries(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string PatternBytes(std::size_t length, unsigned seed) {
    std::string data(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        data[i] = static_cast<char>((i * 7 + i / 251 + seed * 131) & 0xFF);
    }
    return data;
}

void FakeMessageBox::ShowMessage(const std::string& text, MessageIcon icon) {
    std::lock_guard<std::mutex> hold(lock_);
    shown_.push_back({text, icon});
}

Answer FakeMessageBox::AskYesNoCancel(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    questions_.push_back(text);
    if (answers_.empty()) {
        return Answer::Yes;
    }
    Answer next = answers_.front();
    answers_.erase(answers_.begin());
    return next;
}

std::vector<FakeMessageBox::Shown> FakeMessageBox::shown() const {
    std::lock_guard<std::mutex> hold(lock_);
    return shown_;
}

std::vector<std::string> FakeMessageBox::texts() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> out;
    for (const auto& s : shown_) {
        out.push_back(s.text);
    }
    return out;
}

std::vector<std::string> FakeMessageBox::questions() const {
    std::lock_guard<std::mutex> hold(lock_);
    return questions_;
}

void FakeMessageBox::AnswerWith(std::vector<Answer> answers) {
    std::lock_guard<std::mutex> hold(lock_);
    answers_ = std::move(answers);
}

namespace {

class FakeProgressWindow : public IProgressWindow {
  public:
    explicit FakeProgressWindow(FakeProgressFactory& owner) : owner_(owner) {
        owner_.Record("open");
    }
    ~FakeProgressWindow() override { owner_.Record("close"); }
    void SetStatus(const std::string& text) override { owner_.Record("status:" + text); }
    void SetRange(long long maximum) override { owner_.Record("range:" + std::to_string(maximum)); }
    void SetStep(long long step) override {
        step_ = step;
        owner_.Record("step:" + std::to_string(step));
    }
    void StepIt() override {
        owner_.Advance(step_);
        owner_.Record("stepit");
    }
    void Hide() override { owner_.Record("hide"); }

  private:
    FakeProgressFactory& owner_;
    long long step_ = 10;
};

}  // namespace

std::unique_ptr<IProgressWindow> FakeProgressFactory::OpenProgress() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++opened_;
    }
    return std::make_unique<FakeProgressWindow>(*this);
}

void FakeProgressFactory::Record(const std::string& event) {
    std::lock_guard<std::mutex> hold(lock_);
    log_.push_back(event);
}

void FakeProgressFactory::Advance(long long by) {
    std::lock_guard<std::mutex> hold(lock_);
    position_ += by;
}

std::vector<std::string> FakeProgressFactory::log() const {
    std::lock_guard<std::mutex> hold(lock_);
    return log_;
}

long long FakeProgressFactory::position() const {
    std::lock_guard<std::mutex> hold(lock_);
    return position_;
}

int FakeProgressFactory::opened() const {
    std::lock_guard<std::mutex> hold(lock_);
    return opened_;
}

void FakeConfigDialog::ShowModal(AppSettings& values) {
    openedWith_.push_back(values);
    if (steps_.empty()) {
        // An unscripted showing would loop for ever in the caller: fail loudly.
        abort();
    }
    Step step = std::move(steps_.front());
    steps_.erase(steps_.begin());
    if (step.ok && step.edit) {
        step.edit(values);
    }
}

long long ResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoll(line.substr(6)) * 1024;  // given in kB
        }
    }
    return -1;
}

bool SanitizedBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

}  // namespace brindle::test
