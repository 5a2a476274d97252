// The peer side as the application object runs it: start-up's listener step,
// the transfer commands and the send command, on CShareApp's state. Each
// command gathers the application's tables, threads and settings and hands
// them to the peer-level step that does the work.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "app/share_app.h"
#include "peer/instant_message.h"
#include "peer/peer_options.h"
#include "peer/transfer_commands.h"

namespace brindle {

// Creates the application's peer listener with the message display and starts
// it; the exit order then closes its listening socket after the unregistration.
// The listener, like the downloads below, follows the application's transfer
// limits unless the options bring their own.
// False when it could not listen; it has said why in a message box, and the
// window goes on without it.
bool StartPeerListener(CShareApp& app, IMessageDisplay& messageView,
                       const PeerOptions& options = {});

// How long a download waits for a sharer it asked to push.
inline constexpr std::chrono::seconds kPushAnswerLimit{30};

// Starts the download of result row `selectedRow` into the application's
// download table and shared directory.
StartDownloadResult StartDownloadOfResult(CShareApp& app, const SearchResultsTable& results,
                                          int selectedRow, const PeerOptions& options = {});
// Cancels row `downloadRow` of the download table and row `uploadRow` of the
// listener's upload table (-1: none).
void CancelTransferRows(CShareApp& app, int downloadRow, int uploadRow);
// Clears the finished rows of the download table and the listener's upload table.
void ClearFinishedTransferRows(CShareApp& app);
void RemoveDownloadRecord(CShareApp& app, std::size_t row);
void RemoveUploadRecord(CShareApp& app, std::size_t row);

// Sends with the application's settings, looking the recipient up through its
// directory server.
[[nodiscard]] MessageResult SendMessageFromApp(CShareApp& app, IMessageDisplay& display,
                                               const std::string& recipient,
                                               const std::string& text,
                                               const PeerOptions& options = {});

}  // namespace brindle
