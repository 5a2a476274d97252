// The transfer commands: start a download from a search result row, cancel
// the selected rows, clear the finished ones.
#pragma once

#include <cstddef>
#include <string>

#include "base/ui_ports.h"
#include "directory/search.h"
#include "peer/peer_options.h"
#include "peer/thread_group.h"
#include "peer/transfer_record.h"

namespace brindle {

enum class StartDownloadResult {
    NoSelection,    // no result row was selected
    Declined,       // the user kept the existing local file
    AlreadyListed,  // a row of that name is on the download table
    NotStarted,     // no thread could be made (the row shows "Transfer Error...")
    Started,
};

struct DownloadStarter {
    TransferTable& downloads;
    ThreadGroup& threads;
    IMessageBox& messages;
    std::string sharedDirectory;  // the setting at this moment, ending in "/"
    PeerOptions options;
};

// True when the shared directory has an entry (of any kind) of that name.
bool FileExistsInSharedDirectory(const std::string& sharedDirectory, const std::string& name);

// Asks before overwriting a local file, refuses a name already on the table,
// then appends the row and its record together and starts the worker.
StartDownloadResult StartDownloadRecord(const DownloadStarter& starter,
                                        const SearchResultsTable& results, int selectedRow);

// Cancels the selected row of each table (-1: none selected).
void CancelTableRows(TransferTable& downloads, int selectedDownload, TransferTable* uploads,
                     int selectedUpload);

// Removes every finished row, with its record, from both tables.
void ClearFinishedRows(TransferTable& downloads, TransferTable* uploads);

}  // namespace brindle
