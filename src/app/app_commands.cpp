#include "app/app_commands.h"

namespace brindle {

namespace {

TransferTable* UploadTable(CShareApp& app) {
    return app.peerListener() != nullptr ? &app.peerListener()->uploadRecords() : nullptr;
}

// The options with the application's shared limits, unless they bring their own.
PeerOptions WithAppLimits(CShareApp& app, PeerOptions options) {
    if (!options.limits) {
        options.limits = app.transferLimits();
    }
    return options;
}

}  // namespace

bool StartPeerListener(CShareApp& app, IMessageDisplay& messageView, const PeerOptions& options) {
    app.SetPeerListener(std::make_unique<PeerListener>(
        messageView, app.messageBox(), app.sharedFilesHolder(), WithAppLimits(app, options)));
    app.SetCloseListener([&app] {
        if (app.peerListener() != nullptr) {
            app.peerListener()->CloseListeningSocket();
        }
    });
    return app.peerListener()->Start();
}

StartDownloadResult StartDownloadOfResult(CShareApp& app, const SearchResultsTable& results,
                                          int selectedRow, const PeerOptions& options) {
    DownloadStarter starter{app.downloadRecords(), app.downloadThreads(), app.messageBox(),
                            app.settings()->sharedDirectory, WithAppLimits(app, options)};
    return StartDownloadRecord(starter, results, selectedRow);
}

void CancelTransferRows(CShareApp& app, int downloadRow, int uploadRow) {
    CancelTableRows(app.downloadRecords(), downloadRow, UploadTable(app), uploadRow);
}

void ClearFinishedTransferRows(CShareApp& app) {
    ClearFinishedRows(app.downloadRecords(), UploadTable(app));
}

void RemoveDownloadRecord(CShareApp& app, std::size_t row) {
    app.downloadRecords().RemoveRecord(row);
}

void RemoveUploadRecord(CShareApp& app, std::size_t row) {
    if (app.peerListener() != nullptr) {
        app.peerListener()->RemoveUploadRecord(row);
    }
}

MessageResult SendMessageFromApp(CShareApp& app, IMessageDisplay& display,
                                 const std::string& recipient, const std::string& text,
                                 const PeerOptions& options) {
    auto settings = app.settings();
    MessageContext context{*settings, app.messageBox(), display,
                           [&app](const std::string& user) { return app.LookupUserIp(user); },
                           options};
    return SendMessageToPeer(context, recipient, text);
}

}  // namespace brindle
