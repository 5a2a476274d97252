#include "headless/headless_peer.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "directory/search.h"
#include "peer/download.h"
#include "peer/transfer_record.h"

namespace brindle {

namespace {

constexpr char kProgramName[] = "brindlenet-peer";

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

// "1:05" or "1:02:03"; "-:--" without a rate, ">99:59:59" beyond that.
std::string TimeLeftText(long long left, double rateKiBps) {
    if (rateKiBps <= 0.0) {
        return "-:--";
    }
    const double seconds = static_cast<double>(std::max(left, 0LL)) / (rateKiBps * 1024.0);
    if (seconds >= 100.0 * 3600.0) {
        return ">99:59:59";
    }
    const long long whole = static_cast<long long>(std::ceil(seconds));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

// Loads preferences.conf into the application, whose transfers follow its
// slots and limits at once, and names every line it could not use.
void LoadPreferences(CShareApp& app, Console& console) {
    for (const std::string& problem : app.LoadPreferences()) {
        console.Err(std::string(kProgramName) + ": " + app.preferencesPath() + ": " + problem +
                    "\n");
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

// `line`, padded with spaces over what is left of a longer line drawn before it.
std::string OverDrawn(const std::string& line, const std::string& before) {
    return line.size() >= before.size() ? line
                                        : line + std::string(before.size() - line.size(), ' ');
}

int RunSearchCommand(const HeadlessCommand& command, HeadlessEnvironment& environment,
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

int RunGetCommand(const HeadlessCommand& command, HeadlessEnvironment& environment,
                  Console& console, CShareApp& app, ConsoleMessageBox& box) {
    if (!LoadSettings(app, environment, console)) {
        return 1;
    }
    SearchResultsTable table;
    if (!Search(app, box, command, table)) {
        return 1;
    }
    if (command.pick > static_cast<long long>(table.size())) {
        console.Err(std::string(kProgramName) + ": there is no result " +
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
        console.Err(std::string(kProgramName) + ": " + LocalNameFor(picked.fileName) +
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

int RunSendCommand(const HeadlessCommand& command, HeadlessEnvironment& environment,
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

int RunServeCommand(HeadlessEnvironment& environment, Console& console, CShareApp& app) {
    ConsoleMessageDisplay display(console);
    app.BeginStartUp();
    // The slots and limits hold from the first request on.
    LoadPreferences(app, console);
    // Peers can connect from here on, before the settings are loaded.
    if (!StartPeerListener(app, display, environment.peer)) {
        return 1;
    }
    if (!app.LoadSettingsAndRegister()) {
        console.Err(IncompleteConfigText(environment.configPath));
        app.peerListener()->CloseListeningSocket();
        return 1;
    }
    console.Err(std::string(kProgramName) + ": serving " +
                std::to_string(app.sharedFiles()->size()) + " files of " +
                app.settings()->sharedDirectory + " on port " +
                std::to_string(app.peerListener()->port()) + "\n");
    console.Err(std::string(kProgramName) + ": " + LimitsText(*app.preferences()) + "\n");
    UploadReporter reporter(console);
    while (!environment.waitForStop(std::chrono::seconds(1))) {
        if (environment.takeReloadRequest && environment.takeReloadRequest()) {
            // New requests see the new slots; running uploads the new rate at once.
            LoadPreferences(app, console);
            console.Err(std::string(kProgramName) +
                        ": preferences read again: " + LimitsText(*app.preferences()) + "\n");
        }
        reporter.Report(app.peerListener()->uploadRecords());
    }
    reporter.Report(app.peerListener()->uploadRecords());
    app.ExitApplication();
    console.Err(std::string(kProgramName) + ": stopped\n");
    return 0;
}

}  // namespace

void Console::Out(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    out_ << text << std::flush;
}

void Console::Err(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    err_ << text << std::flush;
}

void ConsoleMessageBox::ShowMessage(const std::string& text, MessageIcon icon) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++shown_;
    }
    console_.Err(text + "\n");
}

Answer ConsoleMessageBox::AskYesNoCancel(const std::string&) {
    return answer_;
}

int ConsoleMessageBox::shown() const {
    std::lock_guard<std::mutex> hold(lock_);
    return shown_;
}

void ConsoleMessageDisplay::AppendLine(const std::string& line) {
    console_.Out(!line.empty() && line.back() == '\n' ? line : line + "\n");
}

std::string ProgressLine(const TransferRow& row) {
    const TransferCells cells = FormatTransferRow(row);
    const long long total = row.total;
    const int width = 30;
    int filled =
        total > 0 ? static_cast<int>(std::min<long long>(width, row.done * width / total)) : 0;
    if (row.status == TransferStatus::Complete) {
        filled = width;
    }
    std::string timeLeft;
    if (row.status == TransferStatus::Downloading || row.status == TransferStatus::Uploading) {
        timeLeft = TimeLeftText(total - row.done, row.rateKiBps) + " left  ";
    }
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '.') + "]  " + cells[kColumnDone] +
           "  " + cells[kColumnSize] + "  " + cells[kColumnRate] + "  " + timeLeft +
           cells[kColumnStatus];
}

std::string IncompleteConfigText(const std::string& configPath) {
    return std::string(kProgramName) + ": " + configPath +
           " is missing or incomplete. It needs five non-empty lines, in this order:\n"
           "  1. server URL, such as http://localhost:8080/examples/servlet/brindlenet\n"
           "  2. user name\n"
           "  3. shared directory\n"
           "  4. connection type, such as DSL,Cable\n"
           "  5. password\n";
}

int RunHeadless(const HeadlessCommand& command, HeadlessEnvironment& environment,
                Console& console) {
    if (command.kind == HeadlessCommandKind::Help) {
        console.Out(HeadlessUsage(command.helpFor));
        return 0;
    }
    if (!environment.waitForStop) {
        // No stop requests: only the wait itself.
        environment.waitForStop = [](std::chrono::milliseconds wait) {
            std::this_thread::sleep_for(wait);
            return false;
        };
    }
    ConsoleMessageBox box(console);
    CShareApp app(UiPorts{&box, nullptr, nullptr}, environment.configPath,
                  environment.preferencesPath);
    app.SetRequestTimeouts(environment.requestTimeouts);
    // The step's message says only that the server could not be reached; a
    // refused certificate also gets its reason.
    app.SetConnectFailureReporter(
        [&console](const ServerAddress& server, const std::string& reason) {
            console.Err(std::string(kProgramName) + ": cannot connect to " + server.host + ":" +
                        std::to_string(server.port) + ": " + reason + "\n");
        });
    switch (command.kind) {
        case HeadlessCommandKind::Serve:
            return RunServeCommand(environment, console, app);
        case HeadlessCommandKind::Search:
            return RunSearchCommand(command, environment, console, app, box);
        case HeadlessCommandKind::Get:
            return RunGetCommand(command, environment, console, app, box);
        case HeadlessCommandKind::Send:
            return RunSendCommand(command, environment, console, app);
        case HeadlessCommandKind::Help:
            break;
    }
    return 0;
}

int HeadlessMain(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    HeadlessCommand command;
    std::string error;
    if (!ParseHeadlessArguments(arguments, command, error)) {
        std::cerr << kProgramName << ": " << error << "\n";
        return 2;
    }
    HeadlessEnvironment environment;
    environment.progressBar = ::isatty(STDERR_FILENO) == 1;
    // serve and get end in order on SIGINT and SIGTERM: the signals are taken by
    // sigtimedwait, and every thread started later inherits the blocked set.
    // search and send keep the default, so an interrupt ends them at once.
    if (command.kind == HeadlessCommandKind::Serve || command.kind == HeadlessCommandKind::Get) {
        sigset_t taken;
        sigemptyset(&taken);
        sigaddset(&taken, SIGINT);
        sigaddset(&taken, SIGTERM);
        // serve takes SIGHUP the same way, as a request to read preferences.conf
        // again; the wait ends with it, so the reload is at once.
        auto reload = std::make_shared<std::atomic<bool>>(false);
        if (command.kind == HeadlessCommandKind::Serve) {
            sigaddset(&taken, SIGHUP);
            environment.takeReloadRequest = [reload] { return reload->exchange(false); };
        }
        pthread_sigmask(SIG_BLOCK, &taken, nullptr);
        environment.waitForStop = [taken, reload](std::chrono::milliseconds wait) {
            timespec limit{static_cast<time_t>(wait.count() / 1000),
                           static_cast<long>(wait.count() % 1000) * 1000000};
            const int signal = ::sigtimedwait(&taken, nullptr, &limit);
            if (signal == SIGHUP) {
                reload->store(true);
                return false;
            }
            return signal > 0;
        };
    }
    Console console(std::cout, std::cerr);
    return RunHeadless(command, environment, console);
}

}  // namespace brindle
