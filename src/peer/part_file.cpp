#include "peer/part_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "peer/content_digest.h"
#include "share/shared_files.h"

namespace brindle {

namespace {

// The process's file mode creation mask, read without changing it (umask()
// would change it for every thread for a moment).
mode_t CurrentUmask() {
    static const mode_t mask = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("Umask:", 0) == 0) {
                return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
            }
        }
        return static_cast<mode_t>(022);
    }();
    return mask;
}

// The part of a kept part's name before its size: ".brindlenet-r<32 hex>-".
std::string ResumableStem(const std::string& key, const std::string& ownerUserName,
                          const std::string& remoteName) {
    return std::string(kPartialDownloadPrefix) + "r" +
           KeyedDigestHex(key, ownerUserName + "\n" + remoteName) + "-";
}

// A regular file of this user that nobody else may read or write.
bool OwnPrivateFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// Removes the partial files of the directory that no download will continue:
// those untouched for the partial lifetime, and those of this download kept
// for another size (`stem`, when not empty). One a running download holds stays.
void DiscardOutdatedPartials(const std::string& directory, const std::string& keep,
                             const std::string& stem) {
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    std::vector<std::string> outdated;
    while (const dirent* entry = ::readdir(listing)) {
        std::string name = entry->d_name;
        if (!IsPartialDownloadName(name) || name == keep) {
            continue;
        }
        struct stat info {};
        if (::lstat((directory + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
        if ((!stem.empty() && name.starts_with(stem)) || now - modified > kPartialFileLifetime) {
            outdated.push_back(std::move(name));
        }
    }
    ::closedir(listing);
    for (const std::string& name : outdated) {
        std::string path = directory + name;
        FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (file && ::flock(file.fd(), LOCK_EX | LOCK_NB) == 0) {
            ::unlink(path.c_str());
        }
    }
}

}  // namespace

std::optional<std::string> ReadPartKey(const std::string& directory) {
    FileHandle file(::open((directory + kPartKeyName).c_str(),
                           O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!file || ::fstat(file.fd(), &info) != 0 || !OwnPrivateFile(info) ||
        info.st_size != static_cast<off_t>(kDigestKeyBytes)) {
        return std::nullopt;
    }
    std::string key(kDigestKeyBytes, '\0');
    if (::pread(file.fd(), key.data(), key.size(), 0) != static_cast<ssize_t>(key.size())) {
        return std::nullopt;
    }
    return key;
}

std::optional<std::string> MakePartKey(const std::string& directory) {
    if (auto key = ReadPartKey(directory)) {
        return key;
    }
    std::string key = RandomBytes(kDigestKeyBytes);
    if (key.size() != kDigestKeyBytes) {
        return std::nullopt;
    }
    // Written whole under a name of its own first, so nobody ever reads half a
    // key; when two processes race, the first one named wins and both use it.
    static std::atomic<unsigned> counter{0};
    const std::string staged = directory + kPartKeyName + "-" + std::to_string(::getpid()) + "-" +
                               std::to_string(counter.fetch_add(1));
    const std::string path = directory + kPartKeyName;
    {
        FileHandle file(::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!file || !WriteAll(file.fd(), key.data(), key.size()) || !file.Close()) {
            ::unlink(staged.c_str());
            return std::nullopt;
        }
    }
    if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0 &&
        errno == EEXIST && !ReadPartKey(directory)) {
        // One that is there but unusable (another owner, mode or size) is replaced.
        ::rename(staged.c_str(), path.c_str());
    }
    ::unlink(staged.c_str());
    return ReadPartKey(directory);
}

std::string ResumablePartName(const std::string& key, const std::string& ownerUserName,
                              const std::string& remoteName, long long fileLength) {
    return ResumableStem(key, ownerUserName, remoteName) + std::to_string(fileLength) +
           kPartialDownloadSuffix;
}

bool PartFile::Open(const std::string& directory, const std::string& ownerUserName,
                    const std::string& remoteName, long long fileLength) {
    directory_ = directory;
    ownerUserName_ = ownerUserName;
    remoteName_ = remoteName;
    fileLength_ = fileLength;
    // The key is made before the first byte arrives, so even a download whose
    // process is killed leaves a part a later one continues.
    std::optional<std::string> key = MakePartKey(directory);
    if (!key) {
        DiscardOutdatedPartials(directory, {}, {});
        keepable_ = true;
        return CreatePrivate();
    }
    const std::string name = ResumablePartName(*key, ownerUserName, remoteName, fileLength);
    DiscardOutdatedPartials(directory, name, ResumableStem(*key, ownerUserName, remoteName));
    return OpenKept(directory + name) || CreatePrivate();
}

bool PartFile::OpenKept(const std::string& path) {
    FileHandle file(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    struct stat opened {};
    struct stat named {};
    // The lock and the same inode under the name: no other download has it
    // and it was not removed between the open and the lock. A file this user
    // did not write privately is never continued.
    if (!file || ::flock(file.fd(), LOCK_EX | LOCK_NB) != 0 || ::fstat(file.fd(), &opened) != 0 ||
        !OwnPrivateFile(opened) || ::stat(path.c_str(), &named) != 0 ||
        named.st_ino != opened.st_ino || named.st_dev != opened.st_dev ||
        ::lseek(file.fd(), 0, SEEK_END) < 0) {
        return false;
    }
    file_ = std::move(file);
    path_ = path;
    length_ = static_cast<long long>(opened.st_size);
    resumable_ = true;
    return true;
}

bool PartFile::CreatePrivate() {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = directory_ + kPartialDownloadPrefix + std::to_string(::getpid()) +
                                "-" + std::to_string(counter.fetch_add(1)) + kPartialDownloadSuffix;
        FileHandle file(::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (file) {
            file_ = std::move(file);
            path_ = std::move(candidate);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

std::optional<std::string> PartFile::Digest(const std::function<bool()>& stop) const {
    return PrefixDigestHex(file_.fd(), length_, stop);
}

bool PartFile::Truncate() {
    length_ = 0;
    return ::ftruncate(file_.fd(), 0) == 0 && ::lseek(file_.fd(), 0, SEEK_SET) == 0;
}

bool PartFile::Write(const char* data, std::size_t length) {
    if (!WriteAll(file_.fd(), data, length)) {
        return false;
    }
    length_ += static_cast<long long>(length);
    return true;
}

bool PartFile::Commit(const std::string& destination) {
    if (::fchmod(file_.fd(), 0666 & ~CurrentUmask()) != 0 || !file_.Close() ||
        ::rename(path_.c_str(), destination.c_str()) != 0) {
        return false;
    }
    path_.clear();
    return true;
}

bool PartFile::Keep() {
    if (length_ <= kMinKeptPartBytes) {
        return false;
    }
    if (resumable_) {
        return true;
    }
    if (!keepable_) {
        return false;
    }
    // The first part kept in this folder: made private, it takes the kept
    // name now, unless another download took that name meanwhile.
    std::optional<std::string> key = MakePartKey(directory_);
    if (!key) {
        return false;
    }
    const std::string kept =
        directory_ + ResumablePartName(*key, ownerUserName_, remoteName_, fileLength_);
    return ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0;
}

void PartFile::Release() {
    if (!path_.empty() && !Keep()) {
        ::unlink(path_.c_str());
    }
    path_.clear();
    file_.reset();
}

}  // namespace brindle
