#include "peer/transfer_commands.h"

#include <sys/stat.h>

#include "base/strings.h"
#include "base/texts.h"
#include "peer/download.h"

namespace brindle {

bool FileExistsInSharedDirectory(const std::string& sharedDirectory, const std::string& name) {
    struct stat info {};
    return ::lstat((DirectoryPrefix(sharedDirectory) + name).c_str(), &info) == 0;
}

StartDownloadResult StartDownloadRecord(const DownloadStarter& starter,
                                        const SearchResultsTable& results, int selectedRow) {
    if (selectedRow < 0 || static_cast<std::size_t>(selectedRow) >= results.size()) {
        return StartDownloadResult::NoSelection;
    }
    const SearchResult& row = results.rows()[static_cast<std::size_t>(selectedRow)];
    const std::string& address = results.resultAddresses()[static_cast<std::size_t>(selectedRow)];
    std::string localName = LocalNameFor(row.fileName);
    long long fileLength = ParseFileLength(row.length).value_or(kNoFileLength);

    // A download the worker will refuse anyway (a name "", ".", "..", or a
    // length that is no byte count) asks nothing.
    if (IsSafeLocalName(localName) && fileLength != kNoFileLength &&
        FileExistsInSharedDirectory(starter.sharedDirectory, localName)) {
        Answer answer = starter.messages.AskYesNoCancel(OverwriteQuestionText(localName));
        if (answer != Answer::Yes) {
            return StartDownloadResult::Declined;
        }
    }
    if (starter.downloads.FindTransferRow(localName) >= 0) {
        starter.messages.ShowMessage(AlreadyListedText(localName), MessageIcon::None);
        return StartDownloadResult::AlreadyListed;
    }
    auto record = std::make_shared<DownloadRecord>(row.fileName, localName, address, row.userName,
                                                   row.connection, fileLength, row.length,
                                                   starter.sharedDirectory, starter.options);
    starter.downloads.Append(record);
    if (!record->Start(starter.threads)) {
        record->SetStatus(TransferStatus::Error);
        return StartDownloadResult::NotStarted;
    }
    return StartDownloadResult::Started;
}

void CancelTableRows(TransferTable& downloads, int selectedDownload, TransferTable* uploads,
                     int selectedUpload) {
    if (selectedDownload >= 0) {
        downloads.CancelRow(static_cast<std::size_t>(selectedDownload));
    }
    if (uploads != nullptr && selectedUpload >= 0) {
        uploads->CancelRow(static_cast<std::size_t>(selectedUpload));
    }
}

void ClearFinishedRows(TransferTable& downloads, TransferTable* uploads) {
    downloads.ClearFinished();
    if (uploads != nullptr) {
        uploads->ClearFinished();
    }
}

}  // namespace brindle
