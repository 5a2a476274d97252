// Serving one file to a peer that asked for it with "GET\n".
#pragma once

#include <string>

#include "app/settings.h"
#include "directory/shared_files.h"
#include "peer/peer_options.h"
#include "peer/transfer_record.h"

namespace brindle {

// What every upload reads: the published scan (the shared folder with its
// list; the folder setting itself is never used to find a file) and the table
// its row goes into. All outlive the uploads.
struct UploadContext {
    const SettingsHolder& settings;  // not read: uploads find files through sharedFiles alone
    const SharedFilesHolder& sharedFiles;
    TransferTable& uploadTable;
    PeerOptions options;
};

// The name a request line names: without trailing line feeds, carriage
// returns, tabs and spaces.
std::string TrimRequestLine(std::string line);

// True when the name is on the shared-file list (exactly, case and all) and
// holds no "..".
bool IsServableName(const SharedFileList& files, const std::string& fileName);

class UploadRecord : public TransferRecord {
  public:
    // `socket` is the accepted connection, all four request lines read; the
    // texts are the trimmed lines 2, 3 and 4.
    UploadRecord(std::string fileName, std::string userName, std::string connectionText,
                 Socket socket, const UploadContext& context);

    int Run() override { return UploadFile(); }

    // Checks the name, adds the row and sends exactly the published number of bytes.
    int UploadFile();

    const std::string& fileName() const { return fileName_; }

  private:
    int Refuse();
    int Finish(const char* status, int result);
    bool SendBlocks(int fileFd, long long size);

    const std::string fileName_;
    const std::string userName_;
    const std::string connectionText_;
    const UploadContext& context_;
};

}  // namespace brindle
