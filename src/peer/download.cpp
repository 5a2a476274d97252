#include "peer/download.h"

#include "base/strings.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "net/socket.h"
#include "peer/progress.h"
#include "share/shared_files.h"

namespace brindle {

namespace {

// The file being received: created beside the destination under a name of its
// own and removed again unless it was committed over the destination.
class PartFile {
  public:
    ~PartFile() { Discard(); }

    bool Create(const std::string& directory) {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = directory + kPartialDownloadPrefix +
                                    std::to_string(::getpid()) + "-" +
                                    std::to_string(counter.fetch_add(1)) + kPartialDownloadSuffix;
            Socket file(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
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

    bool Write(const char* data, std::size_t length) { return WriteAll(file_.fd(), data, length); }

    // Closes the file and renames it over `destination`.
    bool Commit(const std::string& destination) {
        if (!file_.Close() || ::rename(path_.c_str(), destination.c_str()) != 0) {
            return false;
        }
        path_.clear();
        return true;
    }

    void Discard() {
        file_.reset();
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            path_.clear();
        }
    }

  private:
    Socket file_;
    std::string path_;
};

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

int DownloadRecord::DownloadFile() {
    // A name that would leave the shared directory, or a length that is no byte
    // count, fails before anything is sent or written: with no length to stop
    // at, an empty or partial file would be taken for the whole one.
    if (fileLength_ < 0 || !IsSafeLocalName(localName_) || sharedDirectory_.empty()) {
        return Finish(TransferStatus::Error, 0);
    }
    auto failed = [this] {
        CloseSocket();
        return IsCancelRequested() ? Finish(TransferStatus::Canceled, 1)
                                   : Finish(TransferStatus::Error, 0);
    };

    AdoptSocket(NewStreamSocket());
    int fd = socketFd();
    std::uint32_t address = 0;
    if (fd < 0 || IsCancelRequested() || !ParseDottedAddress(peerAddress_, &address) ||
        !ConnectWithin(fd, address, options_.port, options_.stallTimeout) || IsCancelRequested()) {
        return failed();
    }
    SetIdleTimeout(fd, options_.stallTimeout);

    // The four request lines leave in one send, so no line waits for an ACK.
    std::string request =
        "GET\n" + remoteName_ + "\n" + ownerUserName_ + "\n" + ownerConnection_ + "\n";
    if (!SendAll(fd, request)) {
        return failed();
    }

    PartFile part;
    if (!part.Create(sharedDirectory_)) {
        return failed();
    }
    std::vector<char> buffer(std::max<std::size_t>(options_.blockSize, 1));
    ProgressMeter meter(fileLength_, options_.clock);
    long long received = 0;
    while (received < fileLength_) {
        if (IsCancelRequested()) {
            part.Discard();
            return failed();
        }
        // Never ask for more than is still expected: nothing past the file is read.
        auto want = static_cast<std::size_t>(
            std::min<long long>(static_cast<long long>(buffer.size()), fileLength_ - received));
        ssize_t got = ::recv(fd, buffer.data(), want, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || !part.Write(buffer.data(), static_cast<std::size_t>(got))) {
            part.Discard();
            return failed();
        }
        received += got;
        const bool pointPassed = meter.Advance(received);
        ShowProgress(TransferStatus::Downloading, meter, pointPassed);
    }
    CloseSocket();
    if (!part.Commit(sharedDirectory_ + localName_)) {
        part.Discard();
        return Finish(TransferStatus::Error, 0);
    }
    return Finish(TransferStatus::Complete, 1);
}

}  // namespace brindle
