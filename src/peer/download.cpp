#include "peer/download.h"

#include "base/strings.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "base/preferences.h"
#include "net/socket.h"
#include "peer/instant_message.h"
#include "peer/progress.h"
#include "peer/rate_limiter.h"
#include "peer/transfer_limits.h"
#include "share/shared_files.h"

namespace brindle {

// The file being received, beside the destination under a hidden name. The
// resumable name of a download is taken when no other download holds it;
// otherwise a private one. On success it is renamed over the destination; on
// failure it stays for a later download when it holds more than the bytes a
// resumed download checks again (a private one is always removed).
class PartFile {
  public:
    ~PartFile() { Release(); }

    bool Open(const std::string& directory, const std::string& resumableName) {
        std::string path = directory + resumableName;
        Socket file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
        struct stat opened {};
        struct stat named {};
        // The lock and the same inode under the name: no other download has it
        // and it was not removed between the open and the lock.
        if (file && ::flock(file.fd(), LOCK_EX | LOCK_NB) == 0 &&
            ::fstat(file.fd(), &opened) == 0 && S_ISREG(opened.st_mode) &&
            ::stat(path.c_str(), &named) == 0 && named.st_ino == opened.st_ino &&
            named.st_dev == opened.st_dev && ::lseek(file.fd(), 0, SEEK_END) >= 0) {
            file_ = std::move(file);
            path_ = std::move(path);
            length_ = static_cast<long long>(opened.st_size);
            resumable_ = true;
            return true;
        }
        return CreatePrivate(directory);
    }

    long long length() const { return length_; }

    bool ReadAt(char* data, std::size_t size, long long offset) const {
        while (size > 0) {
            ssize_t got = ::pread(file_.fd(), data, size, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            data += got;
            size -= static_cast<std::size_t>(got);
            offset += got;
        }
        return true;
    }

    bool Truncate() {
        length_ = 0;
        return ::ftruncate(file_.fd(), 0) == 0 && ::lseek(file_.fd(), 0, SEEK_SET) == 0;
    }

    bool Write(const char* data, std::size_t length) {
        if (!WriteAll(file_.fd(), data, length)) {
            return false;
        }
        length_ += static_cast<long long>(length);
        return true;
    }

    // Closes the file and renames it over `destination`.
    bool Commit(const std::string& destination) {
        if (!file_.Close() || ::rename(path_.c_str(), destination.c_str()) != 0) {
            return false;
        }
        path_.clear();
        return true;
    }

    void Release() {
        if (!path_.empty() && (!resumable_ || length_ <= kResumeCheckBytes)) {
            ::unlink(path_.c_str());
        }
        path_.clear();
        file_.reset();
    }

  private:
    bool CreatePrivate(const std::string& directory) {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = directory + kPartialDownloadPrefix +
                                    std::to_string(::getpid()) + "-" +
                                    std::to_string(counter.fetch_add(1)) + kPartialDownloadSuffix;
            Socket file(::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
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

    Socket file_;
    std::string path_;
    long long length_ = 0;
    bool resumable_ = false;
};

namespace {

// The part of a resumable name before its size: ".brindlenet-r<16 hex>-".
std::string ResumableStem(const std::string& ownerUserName, const std::string& remoteName) {
    // FNV-1a over the user name and the remote name, told apart by a line feed.
    std::uint64_t hash = 14695981039346656037ULL;
    for (char c : ownerUserName + "\n" + remoteName) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(kPartialDownloadPrefix) + "r" + hex + "-";
}

// Removes the partial files of the directory that no download will continue:
// those untouched for the partial lifetime, and those of this download kept
// for another size. One that a running download holds stays.
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
        if (name.starts_with(stem) || now - modified > kPartialFileLifetime) {
            outdated.push_back(std::move(name));
        }
    }
    ::closedir(listing);
    for (const std::string& name : outdated) {
        std::string path = directory + name;
        Socket file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (file && ::flock(file.fd(), LOCK_EX | LOCK_NB) == 0) {
            ::unlink(path.c_str());
        }
    }
}

}  // namespace

std::string LocalNameFor(const std::string& remoteName) {
    auto last = remoteName.find_last_of("\\/");
    return last == std::string::npos ? remoteName : remoteName.substr(last + 1);
}

bool IsSafeLocalName(const std::string& localName) {
    return !localName.empty() && localName != "." && localName != ".." &&
           localName.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::optional<long long> ParseFileLength(std::string_view text) {
    const LeadingNumber number = ReadLeadingNumber(text);
    if (!number.hasDigits || number.overflowed) {
        return std::nullopt;
    }
    if (number.value >= 0) {
        return number.value;
    }
    // A copy that keeps lengths in 32 bits publishes 2 GiB to 4 GiB as negative.
    constexpr long long kTwoTo31 = 1LL << 31;
    if (number.value < -kTwoTo31) {
        return std::nullopt;
    }
    return number.value + (1LL << 32);
}

std::string ResumablePartName(const std::string& ownerUserName, const std::string& remoteName,
                              long long fileLength) {
    return ResumableStem(ownerUserName, remoteName) + std::to_string(fileLength) +
           kPartialDownloadSuffix;
}

TransferRow NewDownloadRow(const std::string& localName, const std::string& ownerUserName,
                           const std::string& sizeText, const std::string& ownerConnection,
                           long long fileLength) {
    TransferRow row = NewTransferRow(localName, ownerUserName, ownerConnection, fileLength);
    row.listedTotal = sizeText;
    return row;
}

DownloadRecord::DownloadRecord(std::string remoteName, std::string localName,
                               std::string peerAddress, std::string ownerUserName,
                               std::string ownerConnection, long long fileLength,
                               std::string sizeText, std::string sharedDirectory,
                               PeerOptions options)
    : remoteName_(std::move(remoteName)),
      localName_(std::move(localName)),
      ownerUserName_(std::move(ownerUserName)),
      ownerConnection_(std::move(ownerConnection)),
      peerAddress_(std::move(peerAddress)),
      fileLength_(fileLength),
      sharedDirectory_(DirectoryPrefix(std::move(sharedDirectory))),
      options_(std::move(options)) {
    InitRow(NewDownloadRow(localName_, ownerUserName_, sizeText, ownerConnection_, fileLength_));
}

bool DownloadRecord::Connect(const std::string& request) {
    AdoptSocket(NewStreamSocket());
    int fd = socketFd();
    std::uint32_t address = 0;
    if (fd < 0 || IsCancelRequested() || !ParseDottedAddress(peerAddress_, &address) ||
        !ConnectWithin(fd, address, options_.port, options_.stallTimeout) || IsCancelRequested()) {
        return false;
    }
    SetIdleTimeout(fd, options_.stallTimeout);
    // The request lines leave in one send, so no line waits for an ACK.
    return SendAll(fd, request);
}

long long DownloadRecord::Receive(char* data, long long want) {
    for (;;) {
        ssize_t got = ::recv(socketFd(), data, static_cast<std::size_t>(want), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got;
    }
}

long long DownloadRecord::PacedReceive(TransferPacer& pacer, char* data, long long want) {
    const std::size_t allowed =
        pacer.Acquire(static_cast<std::size_t>(want), [this] { return IsCancelRequested(); });
    if (allowed == 0) {
        return -1;
    }
    const long long got = Receive(data, static_cast<long long>(allowed));
    if (got >= 0 && static_cast<std::size_t>(got) < allowed) {
        pacer.Return(allowed - static_cast<std::size_t>(got));
    }
    return got;
}

DownloadRecord::RangeResult DownloadRecord::CheckRange(PartFile& part, TransferPacer& pacer) {
    const long long resumeAt = part.length();
    const long long start = resumeAt - kResumeCheckBytes;
    std::string request = std::string(kRangedFileRequest) + remoteName_ + "\n" + ownerUserName_ +
                          "\n" + ownerConnection_ + "\n" + std::to_string(start) + "\n";
    if (!Connect(request)) {
        return RangeResult::Failed;
    }
    std::vector<char> again(kResumeCheckBytes);
    long long got = 0;
    while (got < kResumeCheckBytes) {
        if (IsCancelRequested()) {
            return RangeResult::Failed;
        }
        // The bytes checked again count against the limits like any others.
        long long moved = PacedReceive(pacer, again.data() + got, kResumeCheckBytes - got);
        if (moved <= 0) {
            // A peer that does not know the ranged form closes at its first
            // line (a reset when the other lines are still unread).
            return got == 0 && !IsCancelRequested() ? RangeResult::Refused : RangeResult::Failed;
        }
        got += moved;
    }
    std::vector<char> kept(kResumeCheckBytes);
    if (!part.ReadAt(kept.data(), kept.size(), start)) {
        return RangeResult::Failed;
    }
    return kept == again ? RangeResult::Resume : RangeResult::Changed;
}

int DownloadRecord::DownloadFile() {
    // A name that would leave the shared directory, or a length that is no byte
    // count, fails before anything is sent or written: with no length to stop
    // at, an empty or partial file would be taken for the whole one.
    if (fileLength_ < 0 || !IsSafeLocalName(localName_) || sharedDirectory_.empty()) {
        return Finish(TransferStatus::Error, 0);
    }
    // The partial file is kept or removed before the record says it finished,
    // so whoever sees the end sees the folder as it stays.
    PartFile part;
    auto failed = [this, &part] {
        CloseSocket();
        part.Release();
        return IsCancelRequested() ? Finish(TransferStatus::Canceled, 1)
                                   : Finish(TransferStatus::Error, 0);
    };

    const std::string partName = ResumablePartName(ownerUserName_, remoteName_, fileLength_);
    DiscardOutdatedPartials(sharedDirectory_, partName, ResumableStem(ownerUserName_, remoteName_));
    if (!part.Open(sharedDirectory_, partName)) {
        return failed();
    }
    // This download's own limit first, then the one all downloads share.
    // Bytes not read from the socket wait in it, and TCP slows the sender.
    RateLimiter ownLimit;
    TransferPacer pacer;
    if (options_.ownDownloadLimitKiB > 0) {
        ownLimit.SetRate(std::min(options_.ownDownloadLimitKiB, kMaxRateLimitKiB) * 1024);
        pacer.Add(&ownLimit);
    }
    if (options_.limits) {
        pacer.Add(&options_.limits->downloads());
    }
    // A partial file continues only when it holds more than the bytes checked
    // again and no more than the file; the peer sends again the last of them,
    // and a file that changed there is received whole.
    bool resumed = false;
    if (part.length() > kResumeCheckBytes && part.length() <= fileLength_) {
        switch (CheckRange(part, pacer)) {
            case RangeResult::Resume:
                resumed = true;
                break;
            case RangeResult::Refused:
            case RangeResult::Changed:
                CloseSocket();
                break;
            case RangeResult::Failed:
                return failed();
        }
    }
    if (resumed) {
        resumedAt_ = part.length();
    } else {
        std::string request = std::string(kFileRequest) + remoteName_ + "\n" + ownerUserName_ +
                              "\n" + ownerConnection_ + "\n";
        if (!Connect(request)) {
            return failed();
        }
    }

    // Bytes kept but not continued go only once the whole file starts to arrive.
    bool keptToDrop = !resumed && part.length() > 0;
    std::vector<char> buffer(std::max<std::size_t>(options_.blockSize, 1));
    long long received = resumed ? part.length() : 0;
    ProgressMeter meter(fileLength_, options_.clock, received);
    while (received < fileLength_) {
        if (IsCancelRequested()) {
            return failed();
        }
        // Never ask for more than is still expected: nothing past the file is read.
        const long long want =
            std::min<long long>(static_cast<long long>(buffer.size()), fileLength_ - received);
        long long got = PacedReceive(pacer, buffer.data(), want);
        if (got > 0 && keptToDrop) {
            keptToDrop = false;
            if (!part.Truncate()) {
                return failed();
            }
        }
        if (got <= 0 || !part.Write(buffer.data(), static_cast<std::size_t>(got))) {
            return failed();
        }
        received += got;
        const bool pointPassed = meter.Advance(received);
        ShowProgress(TransferStatus::Downloading, meter, pointPassed);
    }
    CloseSocket();
    // An empty file leaves nothing kept behind in it.
    if ((keptToDrop && !part.Truncate()) || !part.Commit(sharedDirectory_ + localName_)) {
        part.Release();
        return Finish(TransferStatus::Error, 0);
    }
    return Finish(TransferStatus::Complete, 1);
}

}  // namespace brindle
