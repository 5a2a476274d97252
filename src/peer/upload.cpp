#include "peer/upload.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <vector>

#include "base/file_handle.h"
#include "base/signal_waiter.h"
#include "base/strings.h"
#include "net/socket.h"
#include "peer/content_digest.h"
#include "peer/instant_message.h"
#include "peer/progress.h"
#include "peer/rate_limiter.h"
#include "peer/transfer_limits.h"

namespace brindle {

namespace {

// A write to a peer that is gone must end with EPIPE, not end the process,
// whatever call makes it. The signal is blocked on this worker thread only.
void BlockBrokenPipeSignal() {
    BlockSignals({SIGPIPE});
}

// Opens a regular file for reading; a FIFO or device put in its place can
// neither block the open nor be served.
FileHandle OpenRegularFile(const std::string& path, long long* length) {
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!file || ::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return FileHandle();
    }
    *length = static_cast<long long>(info.st_size);
    return file;
}

}  // namespace

std::string TrimRequestLine(std::string line) {
    return TrimTrailing(std::move(line), "\n\r\t ");
}

bool IsPlainRelativeName(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) {
        return false;
    }
    // Each part, up to the next separator or the end; a leading separator
    // (an absolute name) makes an empty first part.
    for (;;) {
        std::size_t end = name.find_first_of("\\/");
        std::string_view part = name.substr(0, end);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        name.remove_prefix(end + 1);
    }
}

std::optional<long long> ParseRangeOffset(std::string_view text) {
    // Read unsigned, so that no sign is taken; more than 19 digits (leading
    // zeros included) is refused.
    if (text.size() > 19) {
        return std::nullopt;
    }
    std::optional<unsigned long long> value = ParseDecimal<unsigned long long>(text, 0, LLONG_MAX);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<long long>(*value);
}

bool IsServableName(const SharedFileList& files, const std::string& fileName) {
    return LookupSharedFileSize(files, fileName) >= 0 && IsPlainRelativeName(fileName);
}

UploadSlots::Slot& UploadSlots::Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        Release();
        owner_ = std::exchange(other.owner_, nullptr);
        user_ = std::move(other.user_);
    }
    return *this;
}

void UploadSlots::Slot::Release() {
    if (owner_ != nullptr) {
        std::exchange(owner_, nullptr)->Give(user_);
    }
}

UploadSlots::Slot UploadSlots::TryTake(std::size_t limit, const std::string& user) {
    limit = std::min(limit, ceiling_);
    std::size_t now = taken_.load();
    do {
        if (now >= limit) {
            return Slot();
        }
    } while (!taken_.compare_exchange_weak(now, now + 1));
    {
        std::lock_guard<std::mutex> hold(usersLock_);
        ++byUser_[user];
    }
    return Slot(this, user);
}

void UploadSlots::Give(const std::string& user) {
    {
        std::lock_guard<std::mutex> hold(usersLock_);
        auto found = byUser_.find(user);
        if (found != byUser_.end() && --found->second == 0) {
            byUser_.erase(found);
        }
    }
    taken_.fetch_sub(1);
    if (releaseHook_) {
        releaseHook_();
    }
}

std::map<std::string, std::size_t> UploadSlots::TakenByUser() const {
    std::lock_guard<std::mutex> hold(usersLock_);
    return byUser_;
}

UploadRecord::UploadRecord(std::string fileName, std::string userName, std::string connectionText,
                           Socket socket, const UploadContext& context, UploadSlots::Slot slot,
                           long long offset, bool proveStart, std::string firstLine)
    : TransferRecord(std::move(socket)),
      fileName_(std::move(fileName)),
      userName_(std::move(userName)),
      connectionText_(std::move(connectionText)),
      context_(context),
      slot_(std::move(slot)),
      offset_(offset),
      proveStart_(proveStart),
      firstLine_(std::move(firstLine)) {}

void UploadRecord::Refuse() {
    CloseSocket();
}

void UploadRecord::UploadFile() {
    BlockBrokenPipeSignal();
    // The listener checked the name already; the list may have been rebuilt
    // since. This one scan names the file, gives its size and the folder it is
    // read from, however the settings change while the bytes go out.
    auto folder = context_.sharedFiles.Get();
    long long size = LookupSharedFileSize(folder->files, fileName_);
    // A ranged request past the end is refused like an unknown name.
    if (!IsServableName(folder->files, fileName_) || offset_ > size) {
        Refuse();
        return;
    }

    // From here on the upload has its row, and every ending is shown in it.
    InitRow(NewTransferRow(fileName_, userName_, connectionText_, size));
    context_.uploadTable.Append(std::static_pointer_cast<TransferRecord>(shared_from_this()));

    std::string directory = DirectoryPrefix(folder->directory);
    std::string relative = fileName_;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    long long length = 0;
    FileHandle file =
        directory.empty() ? FileHandle() : OpenRegularFile(directory + relative, &length);
    if (file.fd() < 0) {
        Finish(TransferStatus::Error);
        return;
    }
    // A file that has become shorter than published is not padded: the peer
    // sees the connection end early and reports its own error.
    if (length < size) {
        file.Close();
        Finish(TransferStatus::Error);
        return;
    }
    if (IsCancelRequested()) {
        file.Close();
        Finish(TransferStatus::Canceled);
        return;
    }
    // A reader must keep taking bytes at a least rate while the upload waits
    // for it, or it gives its slot back to those waiting.
    SendStallGuard guard{context_.options.stallTimeout, context_.options.minUploadBytes};
    SetIdleTimeout(socketFd(), context_.options.stallTimeout);
    bool sent =
        (firstLine_.empty() || SendAllGuarded(socketFd(), firstLine_.data(),
                                              static_cast<long long>(firstLine_.size()), guard)) &&
        (!proveStart_ || SendProof(file.fd(), size, guard)) && SendBlocks(file.fd(), size, guard);
    file.Close();
    if (!sent) {
        Finish(IsCancelRequested() ? TransferStatus::Canceled : TransferStatus::Error);
        return;
    }
    Finish(TransferStatus::Complete);
}

bool UploadRecord::SendProof(int fileFd, long long size, SendStallGuard& guard) {
    std::optional<std::string> digest =
        PrefixDigestHex(fileFd, offset_, [this] { return IsCancelRequested(); });
    if (!digest) {
        return false;
    }
    const std::string line = ResumeProofLine(size, *digest);
    return SendAllGuarded(socketFd(), line.data(), static_cast<long long>(line.size()), guard);
}

bool UploadRecord::SendBlocks(int fileFd, long long size, SendStallGuard& guard) {
    int fd = socketFd();
    // Never a buffer larger than the file: small files cost little memory.
    std::size_t block = static_cast<std::size_t>(
        std::clamp<long long>(size, 1, std::max<long long>(context_.options.blockSize, 1)));
    // The bytes are copied into the socket, never sent from the page cache by
    // reference (sendfile): a file cut short while they still wait in the
    // socket would otherwise have them turn into zeros on the way.
    std::vector<char> buffer(block);
    ProgressMeter meter(size, context_.options.clock, offset_);
    // Every upload shares the upload limit; without one a block goes as it is.
    TransferPacer pacer;
    if (context_.options.limits) {
        pacer.Add(&context_.options.limits->uploads());
    }
    const std::function<bool()> stop = [this] { return IsCancelRequested(); };
    off_t offset = static_cast<off_t>(offset_);
    while (offset < size) {
        if (IsCancelRequested()) {
            return false;
        }
        auto want = static_cast<std::size_t>(
            std::min<long long>(static_cast<long long>(block), size - offset));
        want = pacer.Acquire(want, stop);
        if (want == 0) {
            return false;  // cancelled while waiting for its turn
        }
        ssize_t moved = ::pread(fileFd, buffer.data(), want, offset);
        if (moved >= 0 && static_cast<std::size_t>(moved) < want) {
            pacer.Return(want - static_cast<std::size_t>(moved));
        }
        if (moved > 0) {
            if (!SendAllGuarded(fd, buffer.data(), moved, guard)) {
                return false;
            }
            offset += moved;
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        // An error, a stall past the time limit, or a file that shrank while sent.
        if (moved <= 0) {
            return false;
        }
        const bool pointPassed = meter.Advance(offset);
        ShowProgress(TransferStatus::Uploading, meter, pointPassed);
    }
    return true;
}

}  // namespace brindle
