#include "peer/download.h"

#include "base/strings.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "base/preferences.h"
#include "net/socket.h"
#include "peer/instant_message.h"
#include "peer/part_file.h"
#include "peer/progress.h"
#include "peer/rate_limiter.h"
#include "peer/transfer_limits.h"
#include "peer/upload.h"
#include "share/shared_files.h"

namespace brindle {

std::string LocalNameFor(const std::string& remoteName) {
    auto last = remoteName.find_last_of("\\/");
    return last == std::string::npos ? remoteName : remoteName.substr(last + 1);
}

bool IsSafeLocalName(const std::string& localName) {
    if (localName.empty() || localName.front() == '.') {
        return false;
    }
    for (char c : localName) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 32 || byte == 127) {
            return false;
        }
    }
    return true;
}

std::optional<long long> ParseFileLength(std::string_view text) {
    const bool negative = text.starts_with('-');
    if (negative) {
        text.remove_prefix(1);
    }
    // The digits are read unsigned, so that a second sign is refused; more
    // than 19 of them (leading zeros included) too.
    if (text.size() > 19) {
        return std::nullopt;
    }
    std::optional<unsigned long long> digits = ParseDecimal<unsigned long long>(text, 0, LLONG_MAX);
    if (!digits) {
        return std::nullopt;
    }
    const auto value = static_cast<long long>(*digits);
    if (!negative) {
        return value;
    }
    // A copy that keeps lengths in 32 bits publishes 2 GiB to 4 GiB as negative.
    constexpr long long kTwoTo31 = 1LL << 31;
    if (value > kTwoTo31) {
        return std::nullopt;
    }
    return value == 0 ? 0 : (1LL << 32) - value;
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
                               const std::string& sizeText, std::string sharedDirectory,
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

namespace {

constexpr std::chrono::milliseconds kPushConnectLimit{10000};

}  // namespace

bool DownloadRecord::Connect(const std::string& request) {
    // The socket is this record's before the connect, so a cancel can end the wait.
    IpAddress address;
    const bool numeric = ParseNumericAddress(peerAddress_, &address);
    AdoptSocket(NewStreamSocket(address));
    int fd = socketFd();
    if (fd < 0 || IsCancelRequested() || !numeric) {
        return false;
    }
    // With a push to fall back on, a connect is given up after the usual
    // 10 s connect limit rather than the whole stall time.
    const auto connectLimit = options_.pushConnect
                                  ? std::min(options_.stallTimeout, kPushConnectLimit)
                                  : options_.stallTimeout;
    if (!ConnectWithin(fd, address, options_.port, connectLimit)) {
        // A sharer that cannot accept connections may still connect out to us.
        if (IsCancelRequested() || !options_.pushConnect) {
            return false;
        }
        Socket pushed = options_.pushConnect(ownerUserName_, remoteName_,
                                             [this] { return IsCancelRequested(); });
        if (!pushed || IsCancelRequested()) {
            if (!pushed && !IsCancelRequested()) {
                UpdateRow([](TransferRow& row) {
                    row.failure = TransferFailure::NeitherAcceptsConnections;
                });
            }
            return false;
        }
        AdoptSocket(std::move(pushed));
        fd = socketFd();
    }
    if (IsCancelRequested()) {
        return false;
    }
    SetIdleTimeout(fd, options_.stallTimeout);
    // The request lines leave in one send, so no line waits for an ACK.
    return SendAll(fd, request);
}

std::size_t DownloadRecord::PacedReceive(TransferPacer& pacer, char* data, std::size_t want) {
    const std::size_t allowed = pacer.Acquire(want, [this] { return IsCancelRequested(); });
    if (allowed == 0) {
        return 0;
    }
    const Received got = ReceiveSome(socket(), data, allowed);
    if (got.kind == Received::Kind::Bytes || got.kind == Received::Kind::Closed) {
        pacer.Return(allowed - got.count);
    }
    return got.count;
}

std::string DownloadRecord::RequestText(const char* word, long long offset) const {
    return std::string(word) + remoteName_ + "\n" + ownerUserName_ + "\n" + ownerConnection_ +
           "\n" + std::to_string(offset) + "\n";
}

DownloadRecord::ProofResult DownloadRecord::ProveKeptPart(const PartFile& part,
                                                          const std::string& digest) {
    if (!Connect(RequestText(kResumeRequest, part.length()))) {
        return ProofResult::Failed;
    }
    std::string line;
    if (!ReceiveLine(socketFd(), line)) {
        // A peer that does not know the form, or has no free slot, closes at
        // its first line (a reset when the other lines are still unread).
        return line.empty() && !IsCancelRequested() ? ProofResult::Refused : ProofResult::Failed;
    }
    return CheckProofLine(line, digest);
}

DownloadRecord::ProofResult DownloadRecord::CheckProofLine(const std::string& line,
                                                           const std::string& digest) const {
    if (line.empty() || line.back() != '\n') {
        return ProofResult::Failed;
    }
    return line == ResumeProofLine(fileLength_, digest) ? ProofResult::Resume
                                                        : ProofResult::Changed;
}

DownloadRecord::ProofResult DownloadRecord::ProveKeptPartInLine(const PartFile& part,
                                                                const std::string& digest) {
    switch (WaitInLine(RequestText(kQueuedResumeRequest, part.length()))) {
        case QueueResult::Started:
            break;
        case QueueResult::Refused:
            return ProofResult::Refused;
        case QueueResult::Failed:
            return ProofResult::Failed;
    }
    std::string line;
    if (!ReceiveLine(socketFd(), line)) {
        return ProofResult::Failed;
    }
    return CheckProofLine(line, digest);
}

void DownloadRecord::DownloadFile() {
    // A name that would leave the shared directory, or a length that is no byte
    // count, fails before anything is sent or written: with no length to stop
    // at, an empty or partial file would be taken for the whole one.
    if (fileLength_ < 0 || !IsSafeLocalName(localName_) || sharedDirectory_.empty()) {
        Finish(TransferStatus::Error);
        return;
    }
    // The partial file is kept or removed before the record says it finished,
    // so whoever sees the end sees the folder as it stays.
    PartFile part;
    bool resumed = false;
    if (!part.Open(sharedDirectory_, ownerUserName_, remoteName_, fileLength_) ||
        !Request(part, resumed) || !ReceiveRest(part, resumed)) {
        CloseSocket();
        part.Release();
        Finish(IsCancelRequested() ? TransferStatus::Canceled : TransferStatus::Error);
        return;
    }
    CloseSocket();
    // Kept bytes that no received byte replaced (an empty file) go now.
    if ((part.length() > fileLength_ && !part.Truncate()) ||
        !part.Commit(sharedDirectory_ + localName_)) {
        part.Release();
        Finish(TransferStatus::Error);
        return;
    }
    Finish(TransferStatus::Complete);
}

bool DownloadRecord::Request(const PartFile& part, bool& resumed) {
    // A kept part continues only when it holds more than the least worth
    // keeping and no more than the file, and the peer proves its file starts
    // with exactly those bytes; otherwise the whole file is received again.
    if (part.length() > kMinKeptPartBytes && part.length() <= fileLength_) {
        std::optional<std::string> digest = part.Digest([this] { return IsCancelRequested(); });
        if (!digest) {
            return false;
        }
        ProofResult proof = ProveKeptPart(part, *digest);
        // A busy sharer closes RESUME too: the kept part then waits in its
        // line, and a sharer without that form is asked as before.
        if (proof == ProofResult::Refused && options_.queueRequests) {
            CloseSocket();
            proof = ProveKeptPartInLine(part, *digest);
        }
        switch (proof) {
            case ProofResult::Resume:
                resumed = true;
                resumedAt_ = part.length();
                return true;
            case ProofResult::Refused:
            case ProofResult::Changed:
                CloseSocket();
                break;
            case ProofResult::Failed:
                return false;
        }
    }
    if (options_.queueRequests) {
        switch (WaitInLine(RequestText(kQueueRequest, 0))) {
            case QueueResult::Started:
                return true;
            case QueueResult::Refused:
                CloseSocket();
                break;
            case QueueResult::Failed:
                return false;
        }
    }
    std::string request = std::string(kFileRequest) + remoteName_ + "\n" + ownerUserName_ + "\n" +
                          ownerConnection_ + "\n";
    return Connect(request);
}

DownloadRecord::QueueResult DownloadRecord::WaitInLine(const std::string& request) {
    if (!Connect(request)) {
        return QueueResult::Failed;
    }
    // Each line must come within the idle time-out; the sharer's keep-alive
    // is shorter, so a quiet line is a dead peer.
    for (bool first = true;; first = false) {
        std::string line;
        if (!ReceiveLine(socketFd(), line)) {
            // A peer that does not know the form closes at its first line.
            return first && line.empty() && !IsCancelRequested() ? QueueResult::Refused
                                                                 : QueueResult::Failed;
        }
        if (line == kQueueStartLine) {
            UpdateRow([](TransferRow& row) {
                row.status = TransferStatus::Connecting;
                row.queuePosition = 0;
            });
            return QueueResult::Started;
        }
        std::string_view text = line;
        if (!text.starts_with(kQueuePositionWord) || !text.ends_with('\n')) {
            return QueueResult::Failed;
        }
        text.remove_prefix(std::string_view(kQueuePositionWord).size());
        text.remove_suffix(1);
        std::optional<long long> position = ParseRangeOffset(text);
        if (!position || *position == 0) {
            return QueueResult::Failed;
        }
        UpdateRow([&](TransferRow& row) {
            row.status = TransferStatus::Queued;
            row.queuePosition = *position;
        });
    }
}

bool DownloadRecord::ReceiveRest(PartFile& part, bool resumed) {
    // This download's own limit first, then the one all downloads share.
    // Bytes not read from the socket wait in it, and TCP slows the sender.
    RateLimiter ownLimit(options_.clock);
    TransferPacer pacer;
    if (options_.ownDownloadLimitKiB > 0) {
        ownLimit.SetRate(std::min(options_.ownDownloadLimitKiB, kMaxRateLimitKiB) * 1024);
        pacer.Add(&ownLimit);
    }
    if (options_.limits) {
        pacer.Add(&options_.limits->downloads());
    }
    // Bytes kept but not continued go only once the whole file starts to arrive.
    bool keptToDrop = !resumed && part.length() > 0;
    std::vector<char> buffer(std::max<std::size_t>(options_.blockSize, 1));
    long long received = resumed ? part.length() : 0;
    ProgressMeter meter(fileLength_, options_.clock, received);
    while (received < fileLength_) {
        if (IsCancelRequested()) {
            return false;
        }
        // Never ask for more than is still expected: nothing past the file is read.
        const long long want =
            std::min<long long>(static_cast<long long>(buffer.size()), fileLength_ - received);
        const std::size_t got = PacedReceive(pacer, buffer.data(), static_cast<std::size_t>(want));
        if (got > 0 && keptToDrop) {
            keptToDrop = false;
            if (!part.Truncate()) {
                return false;
            }
        }
        if (got == 0 || !part.Write(buffer.data(), got)) {
            return false;
        }
        received += static_cast<long long>(got);
        const bool pointPassed = meter.Advance(received);
        ShowProgress(TransferStatus::Downloading, meter, pointPassed);
    }
    return true;
}

}  // namespace brindle
