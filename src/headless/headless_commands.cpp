#include "headless/headless_commands.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "directory/push_requests.h"
#include "directory/search.h"
#include "headless/progress_line.h"
#include "headless/web_api.h"
#include "headless/web_password.h"
#include "headless/web_server.h"
#include "peer/download.h"
#include "peer/instant_message.h"
#include "peer/push_handover.h"
#include "peer/push_responder.h"
#include "peer/push_tokens.h"
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

std::string InstalledWebPageFile() {
#ifdef BRINDLENET_WEB_PAGE_FILE
    return BRINDLENET_WEB_PAGE_FILE;
#else
    return {};
#endif
}

int RunWebPasswordCommand(const HeadlessEnvironment& environment, Console& console) {
    const std::string name = kHeadlessProgramName;
    if (environment.input == nullptr) {
        console.Err(name + ": web-password needs standard input\n");
        return 1;
    }
    console.Err("New web password: ");
    const std::optional<std::string> first =
        ReadSecretLine(*environment.input, environment.inputFd);
    console.Err("Repeat it: ");
    const std::optional<std::string> second =
        first ? ReadSecretLine(*environment.input, environment.inputFd) : std::nullopt;
    if (!first || !second) {
        console.Err("\n" + name + ": the password must be typed twice; nothing was changed\n");
        return 1;
    }
    if (*first != *second) {
        console.Err(name + ": the two passwords differ; nothing was changed\n");
        return 1;
    }
    if (first->size() < 8) {
        console.Err(name + ": the password needs at least 8 characters; nothing was changed\n");
        return 1;
    }
    const std::string hash = HashWebPassword(*first);
    if (hash.empty() ||
        !WritePreferencesValue(environment.preferencesPath, kWebPasswordHashKey, hash)) {
        console.Err(name + ": cannot write " + environment.preferencesPath + "\n");
        return 1;
    }
    console.Err(name + ": the web password is set in " + environment.preferencesPath + "\n");
    return 0;
}

namespace {

// "http://127.0.0.1:8081/" or "https://[::1]:8081/"
std::string WebUrl(const WebServer& server) {
    const std::string& address = server.options().address;
    const bool ipv6 = address.find(':') != std::string::npos;
    return std::string(server.options().tls() ? "https" : "http") + "://" +
           (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(server.port()) + "/";
}

}  // namespace

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

namespace {

// The push waiter's work in serve: waiting at the directory, answering a
// push with a connection of our own, showing messages relayed to us.
PushWaiter::Hooks ServePushHooks(CShareApp& app, const HeadlessEnvironment& environment,
                                 IMessageDisplay& messageView) {
    PushWaiter::Hooks hooks;
    hooks.wait = [&app, &environment] {
        std::shared_ptr<const AppSettings> settings = app.settings();
        NullProgressFactory noProgress;
        DirectoryContext context{*settings, app.messageBox(), noProgress,
                                 environment.requestTimeouts};
        return WaitForPush(context);
    };
    hooks.push = [&app, &environment](const PushOrder& order) {
        int port = environment.peer.port > 0 ? environment.peer.port : kPeerPort;
        static_cast<void>(AnswerPush(order, *app.peerListener(), app.sharedFilesHolder(), port,
                                     std::chrono::seconds(10)));
    };
    hooks.message = [&messageView](const std::string& from, const std::string& text) {
        messageView.AppendLine(BuildMessageLine(from, text));
    };
    return hooks;
}

// Starts the web page of serve --web; false (the reason printed) when it cannot.
bool StartWebPage(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                  Console& console, CShareApp& app, WebMessageLog& messageLog,
                  const std::string& passwordHash, std::unique_ptr<WebApi>& api,
                  std::unique_ptr<WebServer>& server) {
    const std::string name = kHeadlessProgramName;
    WebServerOptions serverOptions;
    // The parser has checked the address.
    (void)ParseWebAddress(command.webAddress, serverOptions.address, serverOptions.port);
    serverOptions.tlsCertificateFile = command.webTlsCertificate;
    serverOptions.tlsKeyFile = command.webTlsKey;
    WebApiOptions apiOptions;
    apiOptions.hosts = command.webHosts;
    apiOptions.boundAddress = serverOptions.address;
    apiOptions.tls = serverOptions.tls();
    apiOptions.passwordHash = passwordHash;
    apiOptions.peer = environment.peer;
    apiOptions.pageFile = environment.webPageFile;
    apiOptions.log = [&console, name](const std::string& line) {
        console.Err(name + ": " + line + "\n");
    };
    api = std::make_unique<WebApi>(app, messageLog, std::move(apiOptions));
    server = std::make_unique<WebServer>(
        serverOptions,
        [raw = api.get()](const WebRequest& request) { return raw->Handle(request); });
    std::string error;
    if (!server->Start(error)) {
        console.Err(name + ": web page: " + error + "\n");
        return false;
    }
    console.Err(name + ": web page on " + WebUrl(*server) + "\n");
    return true;
}

// Serve's main loop until asked to stop: upload rows, the waiting count and
// the reachability line as they change, preferences read again on request.
void ServeUntilStopped(const HeadlessEnvironment& environment, Console& console, CShareApp& app,
                       PushWaiter& pushWaiter, WebServer* server) {
    const std::string name = kHeadlessProgramName;
    UploadReporter reporter(console);
    // Requests waiting in the line have no upload row; their count is told
    // whenever it changes.
    std::size_t waitingShown = 0;
    const auto reportWaiting = [&] {
        const std::size_t waiting = app.peerListener()->waitingUploads();
        if (waiting != waitingShown) {
            console.Err(std::string(kHeadlessProgramName) + ": " + std::to_string(waiting) +
                        " waiting\n");
            waitingShown = waiting;
        }
    };
    // The reachability line, printed again whenever it changes.
    std::string reachLine;
    const auto reportReachability = [&] {
        if (!environment.reachability.enabled) {
            return;
        }
        const ReachabilityStatus status = app.reachabilityStatus();
        // In auto mode a peer found unreachable waits at the directory for pushes.
        if (status.reachable == Reachability::Reachable) {
            pushWaiter.SetReachable(true);
        } else if (status.reachable == Reachability::NotReachable) {
            pushWaiter.SetReachable(false);
        }
        std::string line = ServeReachabilityLine(status);
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
            std::string error;
            if (server && server->options().tls()) {
                console.Err(name + ": web page: " +
                            (server->ReloadCertificate(error)
                                 ? std::string("certificate read again")
                                 : error + "; the previous certificate stays") +
                            "\n");
            }
        }
        reporter.Report(app.peerListener()->uploadRecords());
        reportWaiting();
    }
    reporter.Report(app.peerListener()->uploadRecords());
}

}  // namespace

int RunServeCommand(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                    Console& console, CShareApp& app) {
    const std::string name = kHeadlessProgramName;
    const bool web = !command.webAddress.empty();
    const std::string passwordHash =
        web ? ReadPreferencesValue(environment.preferencesPath, kWebPasswordHashKey) : "";
    if (web && passwordHash.empty()) {
        console.Err(name + ": --web needs a password first: run '" + name +
                    " web-password', which keeps its hash in " + environment.preferencesPath +
                    "\n");
        return 1;
    }
    ConsoleMessageDisplay display(console);
    // With the web page the message lines are kept for it as well.
    WebMessageLog messageLog(&display);
    IMessageDisplay& messageView = web ? static_cast<IMessageDisplay&>(messageLog) : display;
    app.BeginStartUp();
    // The slots and limits hold from the first request on.
    LoadPreferences(app, console);
    // Peers can connect from here on, before the settings are loaded.
    if (!StartPeerListener(app, messageView, environment.peer)) {
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
    // Pushes and messages through the directory, for a peer others cannot
    // connect to. In auto mode SetReachable(false) on the waiter, once a
    // reachability check found this peer unreachable, starts the waiting.
    PushWaiter pushWaiter(environment.pushWait, ServePushHooks(app, environment, messageView));
    pushWaiter.Start();
    // A get of this user run meanwhile cannot listen on our port: its pushes
    // come here and are passed on to it.
    PushHandover handover(app.pushTokens(), app.peerListener()->port());
    static_cast<void>(handover.Start());
    std::unique_ptr<WebApi> api;
    std::unique_ptr<WebServer> server;
    if (web &&
        !StartWebPage(command, environment, console, app, messageLog, passwordHash, api, server)) {
        app.ExitApplication();
        return 1;
    }
    ServeUntilStopped(environment, console, app, pushWaiter, server.get());
    if (server) {
        server->Stop();
    }
    // Signing off ends the request waiting at the directory.
    app.ExitApplication();
    pushWaiter.Stop();
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

namespace {

// Silent: the push listener of get is optional, its bind may fail.
class QuietMessageBox : public IMessageBox {
  public:
    void ShowMessage(const std::string&, MessageIcon) override {}
    Answer AskYesNoCancel(const std::string&) override { return Answer::No; }
};

class NoDisplay : public IMessageDisplay {
  public:
    void AppendLine(const std::string&) override {}
};

// get's side of a push: the tokens, the listener that takes the sharer's
// connection, and the request to the directory.
struct PushListener {
    PushListener(CShareApp& app, const HeadlessEnvironment& environment, Console& console)
        : app(app), environment(environment), console(console) {
        PeerOptions options = environment.peer;
        options.maxRunningUploads = 0;  // pushes only: every file request is refused
        options.pushTokens = tokens;
        listener = std::make_unique<PeerListener>(display, quiet, app.sharedFilesHolder(), options);
        listening = listener->Start();
    }

    Socket Connect(const std::string& owner, const std::string& name,
                   const PeerOptions::Cancelled& cancelled) {
        std::shared_ptr<const AppSettings> settings = app.settings();
        NullProgressFactory noProgress;
        DirectoryContext context{*settings, quiet, noProgress, environment.requestTimeouts};
        bool asked = false;
        auto request = [&](const std::string& token) {
            asked = !token.empty() && RequestPush(context, owner, name, token) == RelayResult::Sent;
            return asked;
        };
        // A sharer that never connects is given up after 30 s.
        const auto deadline = PushTokens::Clock::now() + environment.pushDeadline;
        Socket socket;
        if (listening) {
            const std::string token = tokens->Issue();
            if (request(token)) {
                socket = tokens->Await(token, deadline, cancelled);
            }
        } else {
            // A serve of ours holds the port: the push comes through it.
            socket = AwaitPushThroughServe(environment.peer.port, request, deadline, cancelled);
        }
        if (!socket && asked && !cancelled()) {
            console.Err(std::string(kHeadlessProgramName) + ": neither you nor " + owner +
                        " can accept connections\n");
        }
        return socket;
    }

    CShareApp& app;
    const HeadlessEnvironment& environment;
    Console& console;
    std::shared_ptr<PushTokens> tokens = std::make_shared<PushTokens>();
    QuietMessageBox quiet;
    NoDisplay display;
    std::unique_ptr<PeerListener> listener;
    bool listening = false;
};

}  // namespace

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
    // When the sharer cannot be connected to, it is asked through the
    // directory to connect here: a listener of our own takes that connection
    // when the peer port is free, and serves nothing else.
    PushListener push(app, environment, console);
    options.pushTokens = push.tokens;
    options.pushConnect = [&push](const std::string& owner, const std::string& name,
                                  const PeerOptions::Cancelled& cancelled) {
        return push.Connect(owner, name, cancelled);
    };
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
