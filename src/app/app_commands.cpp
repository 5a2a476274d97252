#include "app/app_commands.h"

namespace brindle {

namespace {

TransferTable* UploadTable(CShareApp& app) {
    return app.peerListener ? &app.peerListener->uploadRecords() : nullptr;
}

}  // namespace

bool StartPeerListener(CShareApp& app, IMessageDisplay& messageView, const PeerOptions& options) {
    app.peerListener = std::make_unique<PeerListener>(
        messageView, app.messageBox(), app.settingsHolder(), app.sharedFilesHolder(), options);
    app.SetCloseListener([&app] {
        if (app.peerListener) {
            app.peerListener->CloseListeningSocket();
        }
    });
    return app.peerListener->Start();
}

StartDownloadResult StartDownload(CShareApp& app, const SearchResultsTable& results,
                                  int selectedRow, const PeerOptions& options) {
    DownloadStarter starter{app.downloadRecords, app.downloadThreads, app.messageBox(),
                            app.Settings()->sharedDirectory, options};
    return StartDownload(starter, results, selectedRow);
}

void CancelSelectedTransfers(CShareApp& app, int selectedDownload, int selectedUpload) {
    CancelSelectedTransfers(app.downloadRecords, selectedDownload, UploadTable(app),
                            selectedUpload);
}

void ClearFinishedTransfers(CShareApp& app) {
    ClearFinishedTransfers(app.downloadRecords, UploadTable(app));
}

void RemoveDownloadRecord(CShareApp& app, std::size_t row) {
    app.downloadRecords.RemoveRecord(row);
}

void RemoveUploadRecord(CShareApp& app, std::size_t row) {
    if (app.peerListener) {
        app.peerListener->RemoveUploadRecord(row);
    }
}

MessageResult SendInstantMessage(CShareApp& app, IMessageDisplay& display,
                                 const std::string& recipient, const std::string& text,
                                 const PeerOptions& options) {
    auto settings = app.Settings();
    MessageContext context{*settings, app.messageBox(), display,
                           [&app](const std::string& user) { return app.LookupUserIp(user); },
                           options};
    return SendInstantMessage(context, recipient, text);
}

}  // namespace brindle
