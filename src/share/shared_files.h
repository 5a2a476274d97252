// The shared-file list: every regular file below the shared directory, named
// relative to it with "\" between levels, as peers and the server name them.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/published.h"
#include "base/ui_ports.h"

namespace brindle {

struct SharedFile {
    std::string name;    // relative path, "\" between levels, never starting with "\"
    long long size = 0;  // the file's length in bytes

    bool operator==(const SharedFile&) const = default;
};

using SharedFileList = std::vector<SharedFile>;

// One scan: the folder it walked and the files it found there. The names only
// mean something below that folder, so the two always travel together.
struct SharedFolder {
    std::string directory;  // as scanned, ending in "/"; empty before the first scan
    SharedFileList files;
};

// The published scan. A rescan builds a new one and publishes it whole, so an
// upload sees the old folder with its list or the new folder with its list,
// never a half-built list and never one folder's names with another's files.
using SharedFilesHolder = Published<SharedFolder>;

// Downloads are received into ".brindlenet-<pid>-<n>.part" in the shared
// directory; a rescan never publishes such a file.
inline constexpr char kPartialDownloadPrefix[] = ".brindlenet-";
inline constexpr char kPartialDownloadSuffix[] = ".part";
[[nodiscard]] bool IsPartialDownloadName(const std::string& name);

// Every name starting with ".brindlenet-" is this program's own (partial
// downloads, the secret that names them): never published, never written by
// a download.
[[nodiscard]] bool IsReservedName(const std::string& name);

// Size of the first file whose name matches exactly (case-sensitive), or -1.
long long LookupSharedFileSize(const SharedFileList& files, const std::string& name);

// Makes a directory setting absolute and normal, ending in "/". Empty stays empty.
std::string NormalizeSharedDirectory(const std::string& directory);

// Passes "Found: " texts to a progress window at most once per interval, so a
// scan of many files is not slowed by painting every name.
class ThrottledStatus {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    ThrottledStatus(IProgressWindow* window, std::chrono::milliseconds interval, Clock clock);
    void Set(const std::string& text);
    // Shows the last text offered, if it was held back.
    void Flush();

  private:
    IProgressWindow* window_;
    std::chrono::milliseconds interval_;
    Clock clock_;
    std::chrono::steady_clock::time_point lastShown_{};
    bool shownOnce_ = false;
    bool hasPending_ = false;
    std::string pending_;
};

// Walks `directory` (absolute, ending in "/") depth first in the order the file
// system returns entries, appending every regular file (or symlink to one) to
// `files` named relative to `sharedRoot`. Symlinked directories are not entered;
// sockets, FIFOs and devices are skipped, and so are entries whose names cannot
// travel on the wire (holding "\", CR or LF, or a relative name over 1022 bytes).
// False when this directory cannot be enumerated or is not below `sharedRoot`.
[[nodiscard]] bool ScanSharedDirectory(const std::string& directory, const std::string& sharedRoot,
                                       SharedFileList& files, ThrottledStatus& status);

struct RescanResult {
    bool ok = false;
    std::string sharedDirectory;  // normalised, ending in "/" (empty when the setting was)
    SharedFileList files;         // empty when !ok
};

// Rebuilds the list from a directory setting, showing "Found: " + name in a
// progress window while it runs.
[[nodiscard]] RescanResult RescanSharedFiles(const std::string& sharedDirectory,
                                             IProgressFactory& progress);

}  // namespace brindle
