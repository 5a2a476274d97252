// Serving one file to a peer that asked for it with "GET\n".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "peer/peer_options.h"
#include "peer/transfer_record.h"
#include "share/shared_files.h"

namespace brindle {

// What every upload reads: the published scan (the shared folder with its
// list; the folder setting itself is never used to find a file) and the table
// its row goes into. All outlive the uploads.
struct UploadContext {
    const SharedFilesHolder& sharedFiles;
    TransferTable& uploadTable;
    PeerOptions options;
};

// The name a request line names: without trailing line feeds, carriage
// returns, tabs and spaces.
std::string TrimRequestLine(std::string line);

// True when the name stays below the directory it is taken in: not absolute,
// no NUL byte, and no part between "\" or "/" separators that is empty, "."
// or "..". Full stops inside a part ("a..b.txt") are ordinary characters.
bool IsPlainRelativeName(std::string_view name);

// True when the name is on the shared-file list (exactly, case and all) and
// is a plain relative name.
bool IsServableName(const SharedFileList& files, const std::string& fileName);

// The offset line of a ranged request: decimal digits only, at most 2^63-1.
std::optional<long long> ParseRangeOffset(std::string_view text);

// Counts the uploads that run at once, up to a ceiling, in all and per
// requesting user: a slot is taken when a request is accepted and given back
// when its worker ends.
class UploadSlots {
  public:
    // Holds one slot until it goes; an empty one holds nothing.
    class Slot {
      public:
        Slot() = default;
        ~Slot() { Release(); }
        Slot(Slot&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), user_(std::move(other.user_)) {}
        Slot& operator=(Slot&& other) noexcept;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        explicit operator bool() const { return owner_ != nullptr; }

      private:
        friend class UploadSlots;
        Slot(UploadSlots* owner, std::string user) : owner_(owner), user_(std::move(user)) {}
        void Release();

        UploadSlots* owner_ = nullptr;
        std::string user_;
    };

    explicit UploadSlots(std::size_t ceiling) : ceiling_(ceiling) {}
    UploadSlots(const UploadSlots&) = delete;
    UploadSlots& operator=(const UploadSlots&) = delete;

    // A held slot, or an empty one when `limit` (or the ceiling, the lower of
    // the two) are taken already.
    // The slot counts for `user` (the requesting user) while held.
    [[nodiscard]] Slot TryTake(std::size_t limit = SIZE_MAX, const std::string& user = {});
    [[nodiscard]] std::size_t taken() const { return taken_.load(); }
    // The slots held now per user.
    [[nodiscard]] std::map<std::string, std::size_t> TakenByUser() const;
    // Called (on the releasing thread) each time a slot is given back. Set
    // before any slot is taken.
    void SetReleaseHook(std::function<void()> hook) { releaseHook_ = std::move(hook); }

  private:
    void Give(const std::string& user);

    const std::size_t ceiling_;
    std::atomic<std::size_t> taken_{0};
    mutable std::mutex usersLock_;
    std::map<std::string, std::size_t> byUser_;
    std::function<void()> releaseHook_;
};

class UploadRecord : public TransferRecord {
  public:
    // `socket` is the accepted connection, all four request lines read; the
    // texts are the trimmed lines 2, 3 and 4. `slot` is given back when Run ends.
    // `offset` is where a ranged request starts (0 for a whole one); with
    // `proveStart` the bytes are preceded by the proof line of the bytes
    // before the offset (a request continuing a kept part). A non-empty
    // `firstLine` goes before everything else once the request is accepted.
    UploadRecord(std::string fileName, std::string userName, std::string connectionText,
                 Socket socket, const UploadContext& context, UploadSlots::Slot slot = {},
                 long long offset = 0, bool proveStart = false, std::string firstLine = {});

    void Run() override {
        UploadSlots::Slot held = std::move(slot_);
        UploadFile();
    }

    // Checks the name, adds the row and sends the published bytes from the offset on.
    void UploadFile();

    const std::string& fileName() const { return fileName_; }

  private:
    void Refuse();
    bool SendProof(int fileFd, long long size, SendStallGuard& guard);
    bool SendBlocks(int fileFd, long long size, SendStallGuard& guard);

    const std::string fileName_;
    const std::string userName_;
    const std::string connectionText_;
    const UploadContext& context_;
    UploadSlots::Slot slot_;
    const long long offset_;
    const bool proveStart_;
    const std::string firstLine_;
};

}  // namespace brindle
