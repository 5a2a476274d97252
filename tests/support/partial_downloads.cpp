#include "support/partial_downloads.h"

#include <algorithm>
#include <fstream>

#include "peer/download.h"
#include "share/shared_files.h"
#include "support/test_support.h"

namespace brindle::test {

std::filesystem::path WritePartialDownload(const std::filesystem::path& directory,
                                           const std::string& userName,
                                           const std::string& remoteName, long long fileLength,
                                           const std::string& contents, std::chrono::hours age) {
    auto path = directory / ResumablePartName(userName, remoteName, fileLength);
    { std::ofstream(path, std::ios::binary) << contents; }
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - age);
    return path;
}

std::vector<std::string> VisibleEntries(const std::filesystem::path& directory) {
    std::vector<std::string> entries = DirectoryEntries(directory);
    std::erase_if(entries, [](const std::string& name) { return IsPartialDownloadName(name); });
    return entries;
}

std::vector<std::string> PartialEntries(const std::filesystem::path& directory) {
    std::vector<std::string> entries = DirectoryEntries(directory);
    std::erase_if(entries, [](const std::string& name) { return !IsPartialDownloadName(name); });
    return entries;
}

}  // namespace brindle::test
