#include "headless/headless_commands.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "directory/search.h"
#include "headless/progress_line.h"
#include "peer/download.h"
#include "peer/transfer_record.h"

namespace brindle {

namespace {

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void PrintResults(Console& console, const SearchResultsTable& table) {
    std::vector<std::vector<std::string>> rows = {
        {"#", "File Name", "File Size", "User", "Connection", "Address"}};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const SearchResult& r = table.rows()[i];
        rows.push_back({std::to_string(i + 1), r.fileName, r.length, r.userName, r.connection,
                        table.resultAddresses()[i]});
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += c + 1 == row.size() ? row[c] : Padded(row[c], widths[c]) + "  ";
        }
        text += line + "\n";
    }
    console.Out(text);
}

// Loads config.txt the way start-up does; without a dialog an incomplete file
// is an error that says what the file must hold.
bool LoadSettings(CShareApp& app, const HeadlessEnvironment& environment, Console& console) {
    app.LoadSettings();
    if (!app.settingsComplete()) {
        console.Err(IncompleteConfigText(environment.configPath));
        return false;
    }
    return true;
}

// Runs the search; false when it reported a failure.
bool Search(CShareApp& app, ConsoleMessageBox& box, const HeadlessCommand& command,
            SearchResultsTable& table) {
    int before = box.shown();
    app.RunSearch(SearchQuery{command.query, command.extension, command.maxResults}, table);
    return box.shown() == before;
}

// Loads preferences.conf into the application, whose transfers follow its
// slots and limits at once, and names every line it could not use.
void LoadPreferences(CShareApp& app, Console& console) {
    for (const std::string& problem : app.LoadPreferences()) {
        console.Err(std::string(kHeadlessProgramName) + ": " + app.preferencesPath() + ": " +
                    problem + "\n");
    }
}

// "8 upload slots, upload limit 100 KiB/s, no download limit"
std::string LimitsText(const Preferences& values) {
    auto limit = [](const char* direction, long long kib) {
        return kib > 0 ? std::string(direction) + " limit " + std::to_string(kib) + " KiB/s"
                       : std::string("no ") + direction + " limit";
    };
    return std::to_string(values.uploadSlots) + " upload slots, " +
           limit("upload", values.uploadLimitKiB) + ", " +
           limit("download", values.downloadLimitKiB);
}

// Draws the download's progress until it ends, cancelling it on a stop request,
// then prints its final status; 0 only when the whole file has arrived.
int FollowDownload(CShareApp& app, const std::shared_ptr<TransferRecord>& record,
                   const HeadlessEnvironment& environment, Console& console) {
    auto interval =
        environment.progressBar ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
    auto nextDraw = std::chrono::steady_clock::now();
    std::string shown;
    // A continued partial file is told once, as soon as its last bytes checked out.
    auto download = std::dynamic_pointer_cast<DownloadRecord>(record);
    bool resumeTold = false;
    auto tellResume = [&] {
        if (!resumeTold && download && download->resumedAt() >= 0) {
            resumeTold = true;
            console.Err("Resuming at " + std::to_string(download->resumedAt()) + " bytes\n");
        }
    };
    // The end is noticed within 50 ms; the bar is drawn at its own pace.
    while (!record->IsFinished()) {
        tellResume();
        if (environment.waitForStop(std::chrono::milliseconds(50))) {
            record->RequestCancel();
        }
        if (std::chrono::steady_clock::now() < nextDraw) {
            continue;
        }
        nextDraw += interval;
        std::string line = ProgressLine(record->Row());
        if (line != shown) {
            console.Err(environment.progressBar ? "\r" + OverDrawn(line, shown) : line + "\n");
            shown = line;
        }
    }
    app.downloadThreads().JoinAll();
    tellResume();
    const TransferRow final = record->Row();
    std::string last = ProgressLine(final);
    console.Err(environment.progressBar ? "\r" + OverDrawn(last, shown) + "\n"
                                        : (last != shown ? last + "\n" : ""));
    console.Out(std::string(StatusText(final.status)) + "\n");
    return final.status == TransferStatus::Complete ? 0 : 1;
}

// Prints the upload rows that changed since the last call; finished rows are
// printed once more and then taken off the table, so it does not grow for ever.
class UploadReporter {
  public:
    explicit UploadReporter(Console& console) : console_(console) {}

    void Report(TransferTable& uploads) {
        auto records = uploads.Records();
        std::vector<std::size_t> finished;
        for (std::size_t row = 0; row < records.size(); ++row) {
            const TransferRow state = records[row]->Row();
            const TransferCells cells = FormatTransferRow(state);
            TransferCells& last = shown_[records[row].get()];
            if (cells != last) {
                console_.Err("upload " + cells[kColumnFileName] + " to " + cells[kColumnUser] +
                             ": " + cells[kColumnSize] + "  " + cells[kColumnDone] + "  " +
                             cells[kColumnRate] + "  " + cells[kColumnStatus] + "\n");
                last = cells;
            }
            if (IsFinalStatus(state.status)) {
                finished.push_back(row);
            }
        }
        // Only the listener adds rows, and only at the bottom: these indexes hold.
        for (auto row = finished.rbegin(); row != finished.rend(); ++row) {
            shown_.erase(records[*row].get());
            uploads.RemoveRecord(*row);
        }
    }

  private:
    Console& console_;
    std::map<const TransferRecord*, TransferCells> shown_;
};

}  // namespace

std::string IncompleteConfigText(const std::string& configPath) {
    return std::string(kHeadlessProgramName) + ": " + configPath +
           " is missing or incomplete. It needs five non-empty lines, in this order:\n"
           "  1. server URL, such as http://localhost:8080/examples/servlet/brindlenet\n"
           "  2. user name\n"
           "  3. shared directory\n"
           "  4. connection type, such as DSL,Cable\n"
           "  5. password\n";
}

std::string ServeReachabilityLine(const ReachabilityStatus& status) {
    switch (status.reachable) {
        case Reachability::Reachable: {
            const std::string port = std::to_string(status.port);
            const MappingSnapshot& mapping = status.mapping;
            if (mapping.state != MappingState::Mapped) {
                return "reachable: yes (port " + port + ")";
            }
            const std::string method(MappingMethodName(mapping.method));
            if (mapping.externalAddress.empty()) {
                return "reachable: yes (" + method + ", port " + port + ")";
            }
            // An IPv6 address goes in brackets before its port.
            const bool v6 = mapping.externalAddress.find(':') != std::string::npos;
            return "reachable: yes (" + method + ", " + (v6 ? "[" : "") + mapping.externalAddress +
                   (v6 ? "]" : "") + ":" + port + ")";
        }
        case Reachability::NotReachable:
            return "reachable: no (" + NotReachableReason(status) + ")";
        case Reachability::Unknown:
            break;
    }
    return "reachable: unknown";
}

int RunServeCommand(const HeadlessEnvironment& environment, Console& console, CShareApp& app) {
    ConsoleMessageDisplay display(console);
    app.BeginStartUp();
    // The slots and limits hold from the first request on.
    LoadPreferences(app, console);
    // Peers can connect from here on, before the settings are loaded.
    if (!StartPeerListener(app, display, environment.peer)) {
        return 1;
    }
    // Port mapping and the probe start before the registration, which asks
    // for the first probe.
    ReachabilityOptions reachability = environment.reachability;
    reachability.port = app.peerListener()->port();
    app.StartReachability(std::move(reachability), {});
    if (!app.LoadSettingsAndRegister()) {
        console.Err(IncompleteConfigText(environment.configPath));
        app.peerListener()->CloseListeningSocket();
        return 1;
    }
    console.Err(std::string(kHeadlessProgramName) + ": serving " +
                std::to_string(app.sharedFiles()->size()) + " files of " +
                app.settings()->sharedDirectory + " on port " +
                std::to_string(app.peerListener()->port()) + "\n");
    console.Err(std::string(kHeadlessProgramName) + ": " + LimitsText(*app.preferences()) + "\n");
    UploadReporter reporter(console);
    // The reachability line, printed again whenever it changes.
    std::string reachLine;
    const auto reportReachability = [&] {
        if (!environment.reachability.enabled) {
            return;
        }
        std::string line = ServeReachabilityLine(app.reachabilityStatus());
        if (line != reachLine) {
            reachLine = line;
            console.Err(std::string(kHeadlessProgramName) + ": " + reachLine + "\n");
        }
    };
    reportReachability();
    while (!environment.waitForStop(std::chrono::seconds(1))) {
        reportReachability();
        if (environment.takeReloadRequest && environment.takeReloadRequest()) {
            // New requests see the new slots; running uploads the new rate at once.
            LoadPreferences(app, console);
            console.Err(std::string(kHeadlessProgramName) +
                        ": preferences read again: " + LimitsText(*app.preferences()) + "\n");
        }
        reporter.Report(app.peerListener()->uploadRecords());
    }
    reporter.Report(app.peerListener()->uploadRecords());
    app.ExitApplication();
    console.Err(std::string(kHeadlessProgramName) + ": stopped\n");
    return 0;
}

int RunSearchCommand(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                     Console& console, CShareApp& app, ConsoleMessageBox& box) {
    if (!LoadSettings(app, environment, console)) {
        return 1;
    }
    SearchResultsTable table;
    bool ok = Search(app, box, command, table);
    if (table.size() > 0) {
        PrintResults(console, table);
    } else if (ok) {
        console.Out("No files found.\n");
    }
    return ok ? 0 : 1;
}

int RunGetCommand(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                  Console& console, CShareApp& app, ConsoleMessageBox& box) {
    if (!LoadSettings(app, environment, console)) {
        return 1;
    }
    SearchResultsTable table;
    if (!Search(app, box, command, table)) {
        return 1;
    }
    if (command.pick > static_cast<long long>(table.size())) {
        console.Err(std::string(kHeadlessProgramName) + ": there is no result " +
                    std::to_string(command.pick) + "; the search found " +
                    std::to_string(table.size()) + "\n");
        return 1;
    }
    int row = static_cast<int>(command.pick - 1);
    const SearchResult& picked = table.rows()[static_cast<std::size_t>(row)];
    box.SetAnswer(command.overwrite ? Answer::Yes : Answer::No);
    // The shared download limit of preferences.conf, and this download's own.
    LoadPreferences(app, console);
    PeerOptions options = environment.peer;
    options.ownDownloadLimitKiB = command.limitKiB;
    StartDownloadResult started = StartDownloadOfResult(app, table, row, options);
    if (started == StartDownloadResult::Declined) {
        console.Err(std::string(kHeadlessProgramName) + ": " + LocalNameFor(picked.fileName) +
                    " already exists in the shared directory; add --overwrite to replace it\n");
        return 1;
    }
    auto record = app.downloadRecords().Record(0);
    if (!record) {
        return 1;
    }
    console.Err("Downloading " + picked.fileName + " (" + picked.length + " bytes) from " +
                picked.userName + " at " + table.resultAddresses()[static_cast<std::size_t>(row)] +
                "\n");
    return FollowDownload(app, record, environment, console);
}

int RunSendCommand(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                   Console& console, CShareApp& app) {
    if (!LoadSettings(app, environment, console)) {
        return 1;
    }
    ConsoleMessageDisplay display(console);
    return SendMessageFromApp(app, display, command.user, command.text, environment.peer) ==
                   MessageResult::Sent
               ? 0
               : 1;
}

}  // namespace brindle
