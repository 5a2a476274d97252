// The hidden file a download is received into, and the kept partial files a
// later download of the same file continues.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "base/file_handle.h"

namespace brindle {

// A partial file no longer than this is not kept.
inline constexpr long long kMinKeptPartBytes = 64LL * 1024;
// A partial file untouched for this long is discarded.
inline constexpr std::chrono::hours kPartialFileLifetime{24 * 30};

// The secret of a shared folder that names its kept partial files, in the
// folder as ".brindlenet-key" (readable by its owner only). Nobody else can
// tell the name a kept part has, so no remote name can be made to meet one.
// ReadPartKey gives none when there is no usable key; MakePartKey makes one
// when there is none (replacing an unusable one).
inline constexpr char kPartKeyName[] = ".brindlenet-key";
[[nodiscard]] std::optional<std::string> ReadPartKey(const std::string& directory);
[[nodiscard]] std::optional<std::string> MakePartKey(const std::string& directory);

// The hidden name under which a download of `remoteName` from `ownerUserName`
// with the published length is kept in the folder whose key is `key`.
[[nodiscard]] std::string ResumablePartName(const std::string& key,
                                            const std::string& ownerUserName,
                                            const std::string& remoteName, long long fileLength);

// The file being received, beside the destination under a hidden name, mode
// 0600 until it is complete. The kept part of the download is taken when the
// folder has a key (made here when it has none), no other download holds it
// and this user wrote it; otherwise a private one. On success it is renamed over the destination
// with the mode a new file gets; on failure one holding more than kMinKeptPartBytes is kept under
// the download's name for a later download, and any other goes.
class PartFile {
  public:
    PartFile() = default;
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    ~PartFile() { Release(); }

    // `directory` ends in "/". Also discards the partial files of the folder
    // that no download will continue.
    [[nodiscard]] bool Open(const std::string& directory, const std::string& ownerUserName,
                            const std::string& remoteName, long long fileLength);

    [[nodiscard]] long long length() const { return length_; }

    // The digest of everything the file holds (PrefixDigestHex).
    [[nodiscard]] std::optional<std::string> Digest(const std::function<bool()>& stop) const;

    [[nodiscard]] bool Truncate();
    [[nodiscard]] bool Write(const char* data, std::size_t length);

    // Closes the file and renames it over `destination`.
    [[nodiscard]] bool Commit(const std::string& destination);

    // Keeps or removes the file as described above.
    void Release();

  private:
    bool OpenKept(const std::string& path);
    bool CreatePrivate();
    bool Keep();

    FileHandle file_;
    std::string directory_;
    std::string path_;
    std::string ownerUserName_;
    std::string remoteName_;
    long long fileLength_ = 0;
    long long length_ = 0;
    bool resumable_ = false;  // the kept part's own name
    bool keepable_ = false;   // private only for want of a key: may become the kept part
};

}  // namespace brindle
