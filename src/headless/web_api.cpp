#include "headless/web_api.h"

#include <sodium.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "base/preferences.h"
#include "headless/console_ports.h"
#include "headless/web_page_data.h"
#include "headless/web_password.h"
#include "peer/download.h"

namespace brindle {

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr char kApiPrefix[] = "/api/v1/";
constexpr std::size_t kKeptResults = 2000;

WebResponse JsonReply(int status, const Json& body) {
    WebResponse response;
    response.status = status;
    response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    return response;
}

WebResponse Error(int status, const std::string& message) {
    return JsonReply(status, Json{{"error", message}});
}

std::string RandomHex(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    randombytes_buf(random.data(), random.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), random.data(), random.size());
    hex.pop_back();
    return hex;
}

bool SameSecret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && !a.empty() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The host part of a Host header: "name", "name:8081", "[::1]:8081".
std::string HostPart(const std::string& header) {
    if (!header.empty() && header.front() == '[') {
        const std::size_t close = header.find(']');
        return close == std::string::npos ? std::string() : header.substr(1, close - 1);
    }
    const std::size_t colon = header.find(':');
    if (colon != std::string::npos && header.find(':', colon + 1) != std::string::npos) {
        return {};  // a bare IPv6 address must be in brackets
    }
    return header.substr(0, colon);
}

// The request body as a JSON object; none when it is not one.
std::optional<Json> ObjectBody(const WebRequest& request) {
    Json body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return std::nullopt;
    }
    return body;
}

std::optional<std::string> StringField(const Json& body, const char* name) {
    const auto found = body.find(name);
    if (found == body.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

// A whole number in [low, high], given as a number or a decimal text.
std::optional<long long> NumberField(const Json& body, const char* name, long long low,
                                     long long high) {
    const auto found = body.find(name);
    if (found == body.end()) {
        return std::nullopt;
    }
    long long value = 0;
    if (found->is_number_integer()) {
        value = found->get<long long>();
    } else if (found->is_string()) {
        const std::string text = found->get<std::string>();
        if (text.empty() || text.size() > 18 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        value = std::stoll(text);
    } else {
        return std::nullopt;
    }
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

Json PreferencesJson(const Preferences& values) {
    return Json{{"upload_slots", values.uploadSlots},
                {"upload_limit_kib", values.uploadLimitKiB},
                {"download_limit_kib", values.downloadLimitKiB},
                {"notifications", values.notifications}};
}

std::string LoadPage(const std::string& file) {
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            if (!text.str().empty()) {
                return text.str();
            }
        }
    }
    return kBuiltInWebPage;
}

// The same headers on every answer: nothing is cached or framed, and the
// page may load only itself.
void AddCommonHeaders(WebResponse& response) {
    response.headers.emplace_back("Cache-Control", "no-store");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("X-Frame-Options", "DENY");
    response.headers.emplace_back("Referrer-Policy", "no-referrer");
    response.headers.emplace_back(
        "Content-Security-Policy",
        "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
        "connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'; "
        "base-uri 'none'");
}

std::string SseEvent(const char* name, const std::string& data) {
    return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

}  // namespace

std::string ReachableText(const ReachabilityStatus& status) {
    switch (status.reachable) {
        case Reachability::Reachable:
            return "yes";
        case Reachability::NotReachable:
            return "no";
        case Reachability::Unknown:
            break;
    }
    return "unknown";
}

void WebMessageLog::AppendLine(const std::string& line) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        entries_.push_back(Entry{++lastId_, text});
        while (entries_.size() > keep_) {
            entries_.pop_front();
        }
    }
    if (next_ != nullptr) {
        next_->AppendLine(line);
    }
}

std::vector<WebMessageLog::Entry> WebMessageLog::After(std::uint64_t after) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Entry> found;
    for (const Entry& entry : entries_) {
        if (entry.id > after) {
            found.push_back(entry);
        }
    }
    return found;
}

std::uint64_t WebMessageLog::lastId() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lastId_;
}

WebApi::WebApi(CShareApp& app, WebMessageLog& messages, WebApiOptions options)
    : app_(app), messages_(messages), options_(std::move(options)) {
    page_ = LoadPage(options_.pageFile);
    if (!options_.log) {
        options_.log = [](const std::string&) {};
    }
    if (sodium_init() < 0) {
        options_.log("web: the random number source could not be opened");
    }
}

bool WebApi::HostAllowed(const std::string& header) const {
    const std::string host = Lower(HostPart(header));
    if (host.empty()) {
        return false;
    }
    if (host == Lower(options_.boundAddress)) {
        return true;
    }
    return std::any_of(options_.hosts.begin(), options_.hosts.end(),
                       [&host](const std::string& allowed) { return Lower(allowed) == host; });
}

bool WebApi::FindSession(const WebRequest& request, Session& found) {
    const std::string token = request.Cookie(kSessionCookieName);
    if (token.empty()) {
        return false;
    }
    const Clock::time_point now = options_.clock();
    std::lock_guard<std::mutex> hold(sessionsLock_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        it = now - it->second.lastUsed >= options_.idleLimit ? sessions_.erase(it) : std::next(it);
    }
    const auto session = sessions_.find(token);
    if (session == sessions_.end()) {
        return false;
    }
    session->second.lastUsed = now;
    found = session->second;
    return true;
}

void WebApi::EndSession(const WebRequest& request) {
    std::lock_guard<std::mutex> hold(sessionsLock_);
    sessions_.erase(request.Cookie(kSessionCookieName));
}

std::size_t WebApi::sessionCount() const {
    std::lock_guard<std::mutex> hold(sessionsLock_);
    return sessions_.size();
}

WebResponse WebApi::Handle(const WebRequest& request) {
    WebResponse response;
    const std::string& path = request.path;
    const std::string& method = request.method;
    if (!HostAllowed(request.Header("Host"))) {
        response = Error(421, "this host name is not one the web page is served under");
    } else if (path == "/" || path == "/index.html") {
        if (method != "GET" && method != "HEAD") {
            response = Error(405, "only GET is served here");
        } else {
            response.contentType = "text/html; charset=utf-8";
            response.body = page_;
        }
    } else if (path.rfind(kApiPrefix, 0) != 0) {
        response = Error(404, "no such page");
    } else {
        const std::string route = path.substr(std::string(kApiPrefix).size());
        const bool changes = method != "GET" && method != "HEAD";
        Session session;
        if (route == "login") {
            response = method == "POST" ? Login(request) : Error(405, "login takes POST");
        } else if (!FindSession(request, session)) {
            response = Error(401, "not logged in");
        } else if (changes && !SameSecret(request.Header(kTokenHeader), session.csrf)) {
            response =
                Error(403, std::string("the ") + kTokenHeader + " header is missing or wrong");
        } else if (changes && request.Header("Content-Type").find("application/json") != 0 &&
                   !request.body.empty()) {
            response = Error(415, "the body must be application/json");
        } else if (route == "logout" && method == "POST") {
            EndSession(request);
            response = JsonReply(200, Json{{"logged_out", true}});
            response.headers.emplace_back("Set-Cookie", std::string(kSessionCookieName) +
                                                            "=; Path=/; Max-Age=0; HttpOnly; "
                                                            "SameSite=Strict" +
                                                            (options_.tls ? "; Secure" : ""));
        } else if (route == "status" && method == "GET") {
            response = Status();
        } else if (route == "search" && method == "POST") {
            response = Search(request);
        } else if (route == "downloads" && method == "POST") {
            response = Download(request);
        } else if (route == "transfers" && method == "GET") {
            response = Transfers();
        } else if (route == "transfers/clear" && method == "POST") {
            response = ClearTransfers();
        } else if (route.rfind("transfers/", 0) == 0 && route.size() > 17 &&
                   route.compare(route.size() - 7, 7, "/cancel") == 0 && method == "POST") {
            response = CancelTransfer(route.substr(10, route.size() - 17));
        } else if (route == "messages" && method == "GET") {
            response = Messages(request);
        } else if (route == "messages" && method == "POST") {
            response = SendMessage(request);
        } else if (route == "preferences" && method == "GET") {
            response = GetPreferences();
        } else if (route == "preferences" && method == "PUT") {
            response = PutPreferences(request);
        } else if (route == "events" && method == "GET") {
            response = Events(request);
        } else {
            response = Error(404, "no such request: " + method + " " + path);
        }
    }
    AddCommonHeaders(response);
    return response;
}

WebResponse WebApi::Login(const WebRequest& request) {
    const Clock::time_point now = options_.clock();
    {
        std::lock_guard<std::mutex> hold(sessionsLock_);
        auto& failures = failures_[request.client];
        while (!failures.empty() && now - failures.front() >= std::chrono::minutes(1)) {
            failures.pop_front();
        }
        if (static_cast<int>(failures.size()) >= options_.failedLoginsPerMinute) {
            return Error(429, "too many failed logins; try again in a minute");
        }
    }
    const std::optional<Json> body = ObjectBody(request);
    const std::optional<std::string> password =
        body ? StringField(*body, "password") : std::nullopt;
    if (!password) {
        return Error(400, "the body must be {\"password\": TEXT}");
    }
    if (!CheckWebPassword(*password, options_.passwordHash)) {
        std::lock_guard<std::mutex> hold(sessionsLock_);
        failures_[request.client].push_back(now);
        // Forget addresses whose failures are all over a minute old.
        for (auto it = failures_.begin(); it != failures_.end();) {
            it = it->second.empty() || now - it->second.back() >= std::chrono::minutes(1)
                     ? failures_.erase(it)
                     : std::next(it);
        }
        options_.log("web: failed login from " + request.client);
        return Error(401, "wrong password");
    }
    const std::string token = RandomHex(32);
    const std::string csrf = RandomHex(32);
    {
        std::lock_guard<std::mutex> hold(sessionsLock_);
        sessions_[token] = Session{csrf, now};
        failures_.erase(request.client);
    }
    WebResponse response = JsonReply(200, Json{{"csrf", csrf}});
    response.headers.emplace_back("Set-Cookie", std::string(kSessionCookieName) + "=" + token +
                                                    "; Path=/; HttpOnly; SameSite=Strict" +
                                                    (options_.tls ? "; Secure" : ""));
    return response;
}

WebResponse WebApi::Status() {
    const std::shared_ptr<const AppSettings> settings = app_.settings();
    const std::shared_ptr<const Preferences> preferences = app_.preferences();
    Json status = PreferencesJson(*preferences);
    status["user"] = settings ? settings->userName : "";
    status["registered"] = app_.registered();
    status["reachable"] = ReachableText(app_.reachabilityStatus());
    status["shared_files"] = app_.sharedFiles() ? app_.sharedFiles()->size() : 0;
    status["port"] = app_.peerListener() != nullptr ? app_.peerListener()->port() : 0;
    return JsonReply(200, status);
}

WebResponse WebApi::Search(const WebRequest& request) {
    const std::optional<Json> body = ObjectBody(request);
    const std::optional<std::string> query = body ? StringField(*body, "query") : std::nullopt;
    if (!query) {
        return Error(400, "the body must be {\"query\": TEXT, \"ext\": PATTERN, \"max\": N}");
    }
    std::string ext = StringField(*body, "ext").value_or("*.*");
    std::string max = "100";
    if (body->contains("max")) {
        const std::optional<long long> number = NumberField(*body, "max", 1, 100000);
        if (!number) {
            return Error(400, "max must be a whole number from 1 to 100000");
        }
        max = std::to_string(*number);
    }
    SearchResultsTable table;
    std::vector<std::string> texts;
    {
        std::lock_guard<std::mutex> hold(commandLock_);
        MessageCapture capture;
        app_.RunSearch(SearchQuery{*query, ext, max}, table);
        texts = capture.texts();
    }
    if (!texts.empty()) {
        return Error(502, texts.front());
    }
    Json results = Json::array();
    std::lock_guard<std::mutex> hold(resultsLock_);
    for (const SearchResult& result : table.rows()) {
        results_.push_back(StoredResult{++lastResultId_, result});
        results.push_back(Json{{"id", lastResultId_},
                               {"name", result.fileName},
                               {"size", result.length},
                               {"user", result.userName},
                               {"connection", result.connection},
                               {"address", result.ip}});
    }
    while (results_.size() > kKeptResults) {
        results_.pop_front();
    }
    return JsonReply(200, Json{{"results", results}});
}

WebResponse WebApi::Download(const WebRequest& request) {
    const std::optional<Json> body = ObjectBody(request);
    const std::optional<long long> id =
        body ? NumberField(*body, "result", 1, 1LL << 53) : std::nullopt;
    if (!id) {
        return Error(400, "the body must be {\"result\": ID} with an id from a search");
    }
    const bool overwrite = body->value("overwrite", false);
    SearchResultsTable table;
    {
        std::lock_guard<std::mutex> hold(resultsLock_);
        for (const StoredResult& stored : results_) {
            if (stored.id == static_cast<std::uint64_t>(*id)) {
                table.Append(stored.result);
            }
        }
    }
    if (table.size() == 0) {
        return Error(404, "no search result has that id (search again)");
    }
    std::lock_guard<std::mutex> hold(commandLock_);
    MessageCapture capture(overwrite ? Answer::Yes : Answer::No);
    const StartDownloadResult started = StartDownloadOfResult(app_, table, 0, options_.peer);
    if (started == StartDownloadResult::Declined) {
        return Error(409, LocalNameFor(table.rows()[0].fileName) +
                              " already exists in the shared directory; send \"overwrite\": true "
                              "to replace it");
    }
    if (started == StartDownloadResult::AlreadyListed) {
        return Error(409, capture.texts().empty() ? "already on the download table"
                                                  : capture.texts().front());
    }
    // The new row is the bottom one: only this lock's holders add downloads.
    const auto records = app_.downloadRecords().Records();
    if (records.empty()) {
        return Error(500, "the download could not be started");
    }
    TransfersJson();  // gives the new row its id
    std::lock_guard<std::mutex> tracked(transfersLock_);
    const auto found = tracked_.find(records.back().get());
    const std::uint64_t transfer = found != tracked_.end() ? found->second.id : 0;
    return JsonReply(started == StartDownloadResult::Started ? 201 : 500,
                     Json{{"transfer", transfer}});
}

std::string WebApi::TransfersJson() {
    Json rows = Json::array();
    std::lock_guard<std::mutex> hold(transfersLock_);
    for (auto it = tracked_.begin(); it != tracked_.end();) {
        it = it->second.record.expired() ? tracked_.erase(it) : std::next(it);
    }
    auto add = [&](const std::vector<std::shared_ptr<TransferRecord>>& records, bool upload) {
        for (const auto& record : records) {
            TrackedRecord& entry = tracked_[record.get()];
            if (entry.record.lock() != record) {
                entry = TrackedRecord{record, ++lastTransferId_, upload};
            }
            const TransferRow row = record->Row();
            const TransferCells cells = FormatTransferRow(row);
            rows.push_back(Json{{"id", entry.id},
                                {"direction", upload ? "upload" : "download"},
                                {"name", row.fileName},
                                {"user", row.user},
                                {"connection", row.connection},
                                {"done", row.done},
                                {"total", row.total},
                                {"rate", row.rateKiBps},
                                {"percent", row.percent},
                                {"status", StatusText(row.status)},
                                {"finished", IsFinalStatus(row.status)},
                                {"cells", Json{{"size", cells[kColumnSize]},
                                               {"rate", cells[kColumnRate]},
                                               {"done", cells[kColumnDone]},
                                               {"status", cells[kColumnStatus]}}}});
        }
    };
    add(app_.downloadRecords().Records(), false);
    if (app_.peerListener() != nullptr) {
        add(app_.peerListener()->uploadRecords().Records(), true);
    }
    return Json{{"transfers", rows}}.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::shared_ptr<TransferRecord> WebApi::FindTransfer(std::uint64_t id) {
    TransfersJson();
    std::lock_guard<std::mutex> hold(transfersLock_);
    for (const auto& [pointer, entry] : tracked_) {
        if (entry.id == id) {
            return entry.record.lock();
        }
    }
    return nullptr;
}

WebResponse WebApi::Transfers() {
    WebResponse response;
    response.body = TransfersJson();
    return response;
}

WebResponse WebApi::CancelTransfer(const std::string& id) {
    if (id.empty() || id.size() > 15 || id.find_first_not_of("0123456789") != std::string::npos) {
        return Error(404, "no transfer has the id " + id);
    }
    const std::shared_ptr<TransferRecord> record = FindTransfer(std::stoull(id));
    if (!record) {
        return Error(404, "no transfer has the id " + id);
    }
    if (!record->IsFinished()) {
        record->RequestCancel();
    }
    return JsonReply(200, Json{{"canceled", std::stoull(id)}});
}

WebResponse WebApi::ClearTransfers() {
    std::lock_guard<std::mutex> hold(commandLock_);
    ClearFinishedTransferRows(app_);
    return JsonReply(200, Json{{"cleared", true}});
}

WebResponse WebApi::Messages(const WebRequest& request) {
    std::uint64_t after = 0;
    if (const auto found = request.query.find("after"); found != request.query.end()) {
        const std::string& text = found->second;
        if (text.empty() || text.size() > 18 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
            return Error(400, "after must be a message number");
        }
        after = std::stoull(text);
    }
    Json list = Json::array();
    for (const WebMessageLog::Entry& entry : messages_.After(after)) {
        list.push_back(Json{{"id", entry.id}, {"text", entry.text}});
    }
    return JsonReply(200, Json{{"messages", list}, {"last", messages_.lastId()}});
}

WebResponse WebApi::SendMessage(const WebRequest& request) {
    const std::optional<Json> body = ObjectBody(request);
    const std::optional<std::string> user = body ? StringField(*body, "user") : std::nullopt;
    const std::optional<std::string> text = body ? StringField(*body, "text") : std::nullopt;
    if (!user || !text || user->empty()) {
        return Error(400, "the body must be {\"user\": NAME, \"text\": TEXT}");
    }
    if (text->find_first_of("\r\n") != std::string::npos ||
        user->find_first_of("\r\n") != std::string::npos) {
        return Error(400, "a message is one line");
    }
    std::lock_guard<std::mutex> hold(commandLock_);
    MessageCapture capture;
    const MessageResult result = SendMessageFromApp(app_, messages_, *user, *text, options_.peer);
    if (result != MessageResult::Sent) {
        return Error(502, capture.texts().empty() ? "the message could not be sent"
                                                  : capture.texts().front());
    }
    return JsonReply(200, Json{{"sent", true}});
}

WebResponse WebApi::GetPreferences() {
    return JsonReply(200, PreferencesJson(*app_.preferences()));
}

WebResponse WebApi::PutPreferences(const WebRequest& request) {
    const std::optional<Json> body = ObjectBody(request);
    if (!body) {
        return Error(400, "the body must be a JSON object");
    }
    std::lock_guard<std::mutex> hold(commandLock_);
    Preferences values = *app_.preferences();
    for (const auto& [key, value] : body->items()) {
        if (key == "upload_slots") {
            const auto slots =
                NumberField(*body, "upload_slots", 1, static_cast<long long>(kMaxUploadSlots));
            if (!slots) {
                return Error(400, "upload_slots must be 1 to " + std::to_string(kMaxUploadSlots));
            }
            values.uploadSlots = static_cast<std::size_t>(*slots);
        } else if (key == "upload_limit_kib" || key == "download_limit_kib") {
            const auto limit = NumberField(*body, key.c_str(), 0, kMaxRateLimitKiB);
            if (!limit) {
                return Error(400,
                             key + " must be 0 (no limit) to " + std::to_string(kMaxRateLimitKiB));
            }
            (key == "upload_limit_kib" ? values.uploadLimitKiB : values.downloadLimitKiB) = *limit;
        } else if (key == "notifications") {
            if (!value.is_boolean()) {
                return Error(400, "notifications must be true or false");
            }
            values.notifications = value.get<bool>();
        } else {
            return Error(400, "unknown preference " + key);
        }
    }
    if (!app_.SavePreferences(values)) {
        return Error(500, "the preferences hold for this run but could not be written to " +
                              app_.preferencesPath());
    }
    return JsonReply(200, PreferencesJson(values));
}

WebResponse WebApi::Events(const WebRequest& request) {
    WebResponse response;
    response.contentType = "text/event-stream";
    const std::string cookie = request.Cookie(kSessionCookieName);
    struct StreamState {
        bool started = false;
        std::uint64_t downloads = 0;
        std::uint64_t uploads = 0;
        std::uint64_t message = 0;
    };
    auto state = std::make_shared<StreamState>();
    state->message = messages_.lastId();
    response.stream = [this, state, cookie](std::string& piece, const std::atomic<bool>& stopping) {
        const Clock::time_point start = Clock::now();
        while (!stopping.load()) {
            {
                // A stream ends with its session (logout or idle expiry).
                std::lock_guard<std::mutex> hold(sessionsLock_);
                const auto session = sessions_.find(cookie);
                if (session == sessions_.end() ||
                    options_.clock() - session->second.lastUsed >= options_.idleLimit) {
                    return false;
                }
            }
            const std::uint64_t downloads = app_.downloadRecords().changeCount();
            const std::uint64_t uploads = app_.peerListener() != nullptr
                                              ? app_.peerListener()->uploadRecords().changeCount()
                                              : 0;
            if (!state->started || downloads != state->downloads || uploads != state->uploads) {
                if (!state->started) {
                    piece += "retry: 2000\n\n";
                }
                state->started = true;
                state->downloads = downloads;
                state->uploads = uploads;
                piece += SseEvent("transfers", TransfersJson());
            }
            for (const WebMessageLog::Entry& entry : messages_.After(state->message)) {
                state->message = entry.id;
                piece += SseEvent("message", Json{{"id", entry.id}, {"text", entry.text}}.dump(
                                                 -1, ' ', false, Json::error_handler_t::replace));
            }
            if (!piece.empty()) {
                return true;
            }
            if (Clock::now() - start >= options_.eventKeepAlive) {
                piece = ": keep-alive\n\n";
                return true;
            }
            std::this_thread::sleep_for(options_.eventPoll);
        }
        return false;
    };
    return response;
}

}  // namespace brindle
