// Downloading one file from the peer that shares it.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "peer/peer_options.h"
#include "peer/transfer_record.h"

namespace brindle {

class PartFile;  // the hidden file a download is received into
class TransferPacer;

// The text after the last "\" or "/" of a remote name (all of it without one).
std::string LocalNameFor(const std::string& remoteName);

// False for names that would leave the shared directory or name it: empty,
// ".", "..", or holding a "/", "\" or NUL byte.
bool IsSafeLocalName(const std::string& localName);

// The byte count a search result's length text names, read as atol reads it
// (leading white space, an optional sign, digits up to the first other byte).
// A value from -2^31 to -1 is a file of 2 GiB to 4 GiB whose length a copy
// keeping sizes in 32 bits published as signed; it is read as that unsigned
// value. None for a text without digits, any other negative value, or a value
// beyond 2^63-1.
std::optional<long long> ParseFileLength(std::string_view text);

// The fileLength of a download whose length text is no byte count.
inline constexpr long long kNoFileLength = -1;

// A resumed download receives again this many bytes before where its partial
// file ends and continues only when they are the same; a partial file no
// longer than this is not kept.
inline constexpr long long kResumeCheckBytes = 64 * 1024;
// A partial file untouched for this long is discarded.
inline constexpr std::chrono::hours kPartialFileLifetime{24 * 30};

// The hidden name in the shared directory under which a download of
// `remoteName` from `ownerUserName` with the published length is received
// and, after a failure, kept to be continued.
std::string ResumablePartName(const std::string& ownerUserName, const std::string& remoteName,
                              long long fileLength);

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
                   std::string sizeText, std::string sharedDirectory, PeerOptions options);

    int Run() override { return DownloadFile(); }

    // Connects, sends the request and receives exactly fileLength bytes into a
    // hidden file that replaces the destination only once complete. A partial
    // file kept from an earlier attempt is continued with a ranged request when
    // the peer answers it and its last bytes are unchanged; otherwise the whole
    // file is asked for again.
    int DownloadFile();

    // Where this download continued a partial file, or -1.
    long long resumedAt() const { return resumedAt_.load(); }

    const std::string& remoteName() const { return remoteName_; }
    const std::string& localName() const { return localName_; }
    const std::string& peerAddress() const { return peerAddress_; }
    long long fileLength() const { return fileLength_; }

  private:
    enum class RangeResult { Resume, Refused, Changed, Failed };
    bool Connect(const std::string& request);
    long long Receive(char* data, long long want);
    // Receives up to `want` bytes as the limits allow; 0 or less when the peer
    // closed, the socket failed or the download was cancelled while it waited.
    long long PacedReceive(TransferPacer& pacer, char* data, long long want);
    RangeResult CheckRange(PartFile& part, TransferPacer& pacer);

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
