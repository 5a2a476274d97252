// The peer side as the application object runs it: start-up's listener step,
// the transfer commands and the send command, on CShareApp's state.
#pragma once

#include <cstddef>
#include <string>

#include "app/share_app.h"
#include "peer/instant_message.h"
#include "peer/peer_options.h"
#include "peer/transfer_commands.h"

namespace brindle {

// Creates app.peerListener with the message display and starts it; the exit
// order then closes its listening socket after the unregistration.
bool StartPeerListener(CShareApp& app, IMessageDisplay& messageView,
                       const PeerOptions& options = {});

StartDownloadResult StartDownload(CShareApp& app, const SearchResultsTable& results,
                                  int selectedRow, const PeerOptions& options = {});
void CancelSelectedTransfers(CShareApp& app, int selectedDownload, int selectedUpload);
void ClearFinishedTransfers(CShareApp& app);
void RemoveDownloadRecord(CShareApp& app, std::size_t row);
void RemoveUploadRecord(CShareApp& app, std::size_t row);

MessageResult SendInstantMessage(CShareApp& app, IMessageDisplay& display,
                                 const std::string& recipient, const std::string& text,
                                 const PeerOptions& options = {});

}  // namespace brindle
