// Partial download files as an interrupted download leaves them, for the
// suites that check how a later download continues or discards them.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace brindle::test {

// The name under which the folder keeps a download of `remoteName` from
// `userName` with the published `fileLength` (making the folder's key).
std::filesystem::path KeptPartPath(const std::filesystem::path& directory,
                                   const std::string& userName, const std::string& remoteName,
                                   long long fileLength);

// Writes the partial file a download of `remoteName` from `userName` with the
// published `fileLength` keeps, with `mode`, last modified `age` ago. Gives its path.
std::filesystem::path WritePartialDownload(const std::filesystem::path& directory,
                                           const std::string& userName,
                                           const std::string& remoteName, long long fileLength,
                                           const std::string& contents,
                                           std::chrono::hours age = std::chrono::hours(0),
                                           unsigned mode = 0600);

// The permission bits of a file.
unsigned FileMode(const std::filesystem::path& path);

// The entries of a directory a shared-folder scan would list (this program's
// own hidden files left out), sorted.
std::vector<std::string> VisibleEntries(const std::filesystem::path& directory);

// Every entry of a directory but the key that names its kept parts, sorted.
std::vector<std::string> EntriesButKey(const std::filesystem::path& directory);

// The entries that are partial download files, sorted.
std::vector<std::string> PartialEntries(const std::filesystem::path& directory);

}  // namespace brindle::test
