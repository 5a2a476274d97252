// Downloading one file from the peer that shares it.
#pragma once

#include <string>

#include "peer/peer_options.h"
#include "peer/transfer_record.h"

namespace brindle {

// The text after the last "\" or "/" of a remote name (all of it without one).
std::string LocalNameFor(const std::string& remoteName);

// False for names that would leave the shared directory or name it: empty,
// ".", "..", or holding a "/", "\" or NUL byte.
bool IsSafeLocalName(const std::string& localName);

// The cells of a new download row: "Connecting..." and the size text as listed.
TransferCells NewDownloadCells(const std::string& localName, const std::string& ownerUserName,
                               const std::string& sizeText, const std::string& ownerConnection);

class DownloadRecord : public TransferRecord {
  public:
    // `sharedDirectory` is the setting when the download starts (ending in "/").
    DownloadRecord(std::string remoteName, std::string localName, std::string peerAddress,
                   std::string ownerUserName, std::string ownerConnection, long long fileLength,
                   std::string sizeText, std::string sharedDirectory, PeerOptions options);

    int Run() override { return DownloadFile(); }

    // Connects, sends the request and receives exactly fileLength bytes into a
    // temporary file that replaces the destination only once complete.
    int DownloadFile();

    const std::string& remoteName() const { return remoteName_; }
    const std::string& localName() const { return localName_; }
    const std::string& peerAddress() const { return peerAddress_; }
    long long fileLength() const { return fileLength_; }

  private:
    int Finish(const char* status, int result);

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
