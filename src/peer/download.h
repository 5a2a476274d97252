// Downloading one file from the peer that shares it.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "peer/part_file.h"
#include "peer/peer_options.h"
#include "peer/transfer_record.h"

namespace brindle {

class TransferPacer;

// The text after the last "\" or "/" of a remote name (all of it without one).
std::string LocalNameFor(const std::string& remoteName);

// True for a name a download may write in the shared directory: not empty,
// not starting with "." (hidden names, ".", ".." and this program's own
// reserved names), and without "/", "\" or control bytes (NUL, CR, LF, the
// rest below 32, and DEL).
bool IsSafeLocalName(const std::string& localName);

// The byte count a search result's length text names: plain decimal digits.
// A "-" and digits from -2^31 to -1 is a file of 2 GiB to 4 GiB whose length a
// copy keeping sizes in 32 bits published as signed; it is read as that
// unsigned value. None for anything else (spaces, "+", exponents, other
// bytes, other negatives, a value beyond 2^63-1).
std::optional<long long> ParseFileLength(std::string_view text);

// The fileLength of a download whose length text is no byte count.
inline constexpr long long kNoFileLength = -1;

// A new download row: connecting, with the size text as listed.
TransferRow NewDownloadRow(const std::string& localName, const std::string& ownerUserName,
                           const std::string& sizeText, const std::string& ownerConnection,
                           long long fileLength);

class DownloadRecord : public TransferRecord {
  public:
    // `sharedDirectory` is the setting when the download starts (ending in "/").
    // A negative `fileLength` (kNoFileLength) fails the download before it
    // connects, leaving the destination as it was.
    DownloadRecord(std::string remoteName, std::string localName, std::string peerAddress,
                   std::string ownerUserName, std::string ownerConnection, long long fileLength,
                   const std::string& sizeText, std::string sharedDirectory, PeerOptions options);

    void Run() override { DownloadFile(); }

    // Connects, sends the request and receives exactly fileLength bytes into a
    // hidden file that replaces the destination only once complete. A part
    // kept from an earlier attempt is continued when the peer proves it holds
    // the same bytes before it; otherwise the whole file is asked for again.
    void DownloadFile();

    // Where this download continued a partial file, or -1.
    long long resumedAt() const { return resumedAt_.load(); }

    const std::string& remoteName() const { return remoteName_; }
    const std::string& localName() const { return localName_; }
    const std::string& peerAddress() const { return peerAddress_; }
    long long fileLength() const { return fileLength_; }

  private:
    enum class ProofResult { Resume, Refused, Changed, Failed };
    enum class QueueResult { Started, Refused, Failed };
    bool Connect(const std::string& request);
    // Receives up to `want` bytes as the limits allow; 0 when the peer closed,
    // the socket failed or the download was cancelled while it waited.
    std::size_t PacedReceive(TransferPacer& pacer, char* data, std::size_t want);
    // The request lines of `word` for this file with `offset` on the fifth line.
    std::string RequestText(const char* word, long long offset) const;
    // Asks the peer to prove that its file starts with the kept part, whose
    // digest is `digest`; Refused when it closed without a line.
    ProofResult ProveKeptPart(const PartFile& part, const std::string& digest);
    // The same, waiting in the sharer's line for a slot first.
    ProofResult ProveKeptPartInLine(const PartFile& part, const std::string& digest);
    ProofResult CheckProofLine(const std::string& line, const std::string& digest) const;
    // Sends a queued `request` and waits for its turn in the sharer's line,
    // showing the position; Refused when the peer closed without a line.
    QueueResult WaitInLine(const std::string& request);
    // Sends the request: the kept part's continuation (`resumed`) when the
    // peer proves it, otherwise the whole file. False when none could be made.
    bool Request(const PartFile& part, bool& resumed);
    // Receives what the request left to come into `part`, as the limits allow.
    // False on a failure or a cancel.
    bool ReceiveRest(PartFile& part, bool resumed);

    std::atomic<long long> resumedAt_{-1};
    const std::string remoteName_;
    const std::string localName_;
    const std::string ownerUserName_;
    const std::string ownerConnection_;
    const std::string peerAddress_;
    const long long fileLength_;
    const std::string sharedDirectory_;
    const PeerOptions options_;
};

}  // namespace brindle
