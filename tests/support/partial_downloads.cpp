#include "support/partial_downloads.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "peer/download.h"
#include "share/shared_files.h"
#include "support/test_support.h"

namespace brindle::test {

std::filesystem::path KeptPartPath(const std::filesystem::path& directory,
                                   const std::string& userName, const std::string& remoteName,
                                   long long fileLength) {
    std::optional<std::string> key = MakePartKey(directory.string() + "/");
    return directory / ResumablePartName(key.value_or(""), userName, remoteName, fileLength);
}

std::filesystem::path WritePartialDownload(const std::filesystem::path& directory,
                                           const std::string& userName,
                                           const std::string& remoteName, long long fileLength,
                                           const std::string& contents, std::chrono::hours age,
                                           unsigned mode) {
    auto path = KeptPartPath(directory, userName, remoteName, fileLength);
    { std::ofstream(path, std::ios::binary) << contents; }
    ::chmod(path.c_str(), mode);
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - age);
    return path;
}

unsigned FileMode(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::vector<std::string> VisibleEntries(const std::filesystem::path& directory) {
    std::vector<std::string> entries = DirectoryEntries(directory);
    std::erase_if(entries, [](const std::string& name) { return IsReservedName(name); });
    return entries;
}

std::vector<std::string> EntriesButKey(const std::filesystem::path& directory) {
    std::vector<std::string> entries = DirectoryEntries(directory);
    std::erase(entries, std::string(kPartKeyName));
    return entries;
}

std::vector<std::string> PartialEntries(const std::filesystem::path& directory) {
    std::vector<std::string> entries = DirectoryEntries(directory);
    std::erase_if(entries, [](const std::string& name) { return !IsPartialDownloadName(name); });
    return entries;
}

}  // namespace brindle::test
