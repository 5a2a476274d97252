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
    PeerOptions listening = WithAppLimits(app, options);
    if (!listening.pushTokens) {
        listening.pushTokens = app.pushTokens();
    }
    app.SetPeerListener(std::make_unique<PeerListener>(messageView, app.messageBox(),
                                                       app.sharedFilesHolder(), listening));
    app.SetCloseListener([&app] {
        if (app.peerListener() != nullptr) {
            app.peerListener()->CloseListeningSocket();
        }
    });
    return app.peerListener()->Start();
}

StartDownloadResult StartDownloadOfResult(CShareApp& app, const SearchResultsTable& results,
                                          int selectedRow, const PeerOptions& options) {
    PeerOptions downloading = WithAppLimits(app, options);
    // A sharer that cannot be connected to is asked to connect out to the
    // application's listener instead.
    if (!downloading.pushConnect && app.peerListener() != nullptr) {
        downloading.pushConnect = [&app](const std::string& owner, const std::string& name,
                                         const PeerOptions::Cancelled& cancelled) {
            return app.AskForPush(owner, name, kPushAnswerLimit, cancelled);
        };
    }
    DownloadStarter starter{app.downloadRecords(), app.downloadThreads(), app.messageBox(),
                            app.settings()->sharedDirectory, std::move(downloading)};
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
    MessageContext context{*settings,
                           app.messageBox(),
                           display,
                           [&app](const std::string& user) { return app.LookupUserIp(user); },
                           options,
                           [&app](const std::string& user, const std::string& line) {
                               return app.SendRelayedMessage(user, line) == RelayResult::Sent;
                           }};
    return SendMessageToPeer(context, recipient, text);
}

}  // namespace brindle
