// Partial download files as an interrupted download leaves them, for the
// suites that check how a later download continues or discards them.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace brindle::test {

// Writes the partial file a download of `remoteName` from `userName` with the
// published `fileLength` keeps, last modified `age` ago. Gives its path.
std::filesystem::path WritePartialDownload(const std::filesystem::path& directory,
                                           const std::string& userName,
                                           const std::string& remoteName, long long fileLength,
                                           const std::string& contents,
                                           std::chrono::hours age = std::chrono::hours(0));

// The entries of a directory a shared-folder scan would list (partial
// download files left out), sorted.
std::vector<std::string> VisibleEntries(const std::filesystem::path& directory);

// The entries that are partial download files, sorted.
std::vector<std::string> PartialEntries(const std::filesystem::path& directory);

}  // namespace brindle::test
