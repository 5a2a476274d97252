#include "share/shared_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <utility>

#include "base/texts.h"

namespace brindle {

bool IsPartialDownloadName(const std::string& name) {
    std::string_view view(name);
    return view.starts_with(kPartialDownloadPrefix) && view.ends_with(kPartialDownloadSuffix);
}

bool IsReservedName(const std::string& name) {
    return std::string_view(name).starts_with(kPartialDownloadPrefix);
}

long long LookupSharedFileSize(const SharedFileList& files, const std::string& name) {
    for (const SharedFile& file : files) {
        if (file.name == name) {
            return file.size;
        }
    }
    return -1;
}

std::string NormalizeSharedDirectory(const std::string& directory) {
    if (directory.empty()) {
        return {};
    }
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(directory, error);
    if (error) {
        absolute = directory;
    }
    std::string normal = absolute.lexically_normal().string();
    if (normal.empty() || normal.back() != '/') {
        normal += '/';
    }
    return normal;
}

ThrottledStatus::ThrottledStatus(IProgressWindow* window, std::chrono::milliseconds interval,
                                 Clock clock)
    : window_(window), interval_(interval), clock_(std::move(clock)) {}

void ThrottledStatus::Set(const std::string& text) {
    if (window_ == nullptr) {
        return;
    }
    auto now = clock_();
    if (shownOnce_ && now - lastShown_ < interval_) {
        pending_ = text;
        hasPending_ = true;
        return;
    }
    window_->SetStatus(text);
    lastShown_ = now;
    shownOnce_ = true;
    hasPending_ = false;
}

void ThrottledStatus::Flush() {
    if (window_ == nullptr || !hasPending_) {
        return;
    }
    window_->SetStatus(pending_);
    lastShown_ = clock_();
    hasPending_ = false;
}

namespace {

struct DirEntry {
    std::string name;
    unsigned char type;
};

using DirId = std::pair<dev_t, ino_t>;

// Reads every entry of a directory, in the order the file system returns them,
// and closes it before the caller descends: a deep tree never holds more than
// one directory open.
bool ReadEntries(const std::string& directory, std::vector<DirEntry>& entries) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            entries.push_back({std::move(name), entry->d_type});
        }
    }
    ::closedir(dir);
    return true;
}

// A name that cannot travel on the wire: "\" separates levels there, a line
// feed or carriage return would break the line it is sent in.
bool UnsendableName(const std::string& name) {
    return name.find_first_of("\\\r\n") != std::string::npos;
}

// Longest relative name that still fits one 1023-byte line with its line feed.
constexpr std::size_t kMaxWireName = 1022;

class Walker {
  public:
    Walker(SharedFileList& files, ThrottledStatus& status) : files_(files), status_(status) {}

    bool Walk(const std::string& directory, const std::string& relative,
              std::vector<DirId>& ancestors) {
        std::vector<DirEntry> entries;
        if (!ReadEntries(directory, entries)) {
            return false;
        }
        for (const DirEntry& entry : entries) {
            if (UnsendableName(entry.name) || IsReservedName(entry.name)) {
                continue;
            }
            std::string path = directory + entry.name;
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0) {
                continue;
            }
            if (S_ISDIR(info.st_mode)) {
                Descend(path + "/", relative + entry.name + "\\", {info.st_dev, info.st_ino},
                        ancestors);
            } else if (S_ISREG(info.st_mode) ||
                       (S_ISLNK(info.st_mode) && ::stat(path.c_str(), &info) == 0 &&
                        S_ISREG(info.st_mode))) {
                // A link to a regular file is served as that file; a link to a
                // directory is never entered, so a link loop cannot trap the walk.
                Add(relative + entry.name, info.st_size);
            }
        }
        return true;
    }

  private:
    void Descend(const std::string& directory, const std::string& relative, DirId id,
                 std::vector<DirId>& ancestors) {
        // A directory mounted inside itself would otherwise repeat until paths overflow.
        if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
            return;
        }
        ancestors.push_back(id);
        Walk(directory, relative, ancestors);
        ancestors.pop_back();
    }

    void Add(std::string name, long long size) {
        if (name.size() > kMaxWireName) {
            return;
        }
        status_.Set(kProgressFoundPrefix + name);
        files_.push_back({std::move(name), size});
    }

    SharedFileList& files_;
    ThrottledStatus& status_;
};

}  // namespace

bool ScanSharedDirectory(const std::string& directory, const std::string& sharedRoot,
                         SharedFileList& files, ThrottledStatus& status) {
    if (directory.empty()) {
        return false;
    }
    std::string dir = directory.back() == '/' ? directory : directory + "/";
    std::string root =
        sharedRoot.empty() || sharedRoot.back() == '/' ? sharedRoot : sharedRoot + "/";
    if (dir.compare(0, root.size(), root) != 0) {
        return false;
    }
    std::string relative = dir.substr(root.size());
    std::replace(relative.begin(), relative.end(), '/', '\\');

    std::vector<DirId> ancestors;
    struct stat info {};
    if (::stat(dir.c_str(), &info) == 0) {
        ancestors.push_back({info.st_dev, info.st_ino});
    }
    return Walker(files, status).Walk(dir, relative, ancestors);
}

RescanResult RescanSharedFiles(const std::string& sharedDirectory, IProgressFactory& progress) {
    constexpr std::chrono::milliseconds kStatusInterval{50};
    auto window = progress.OpenProgress();
    RescanResult result;
    result.sharedDirectory = NormalizeSharedDirectory(sharedDirectory);
    if (result.sharedDirectory.empty()) {
        return result;
    }
    ThrottledStatus status(window.get(), kStatusInterval,
                           [] { return std::chrono::steady_clock::now(); });
    result.ok =
        ScanSharedDirectory(result.sharedDirectory, result.sharedDirectory, result.files, status);
    status.Flush();
    if (!result.ok) {
        result.files.clear();
    }
    return result;
}

}  // namespace brindle
