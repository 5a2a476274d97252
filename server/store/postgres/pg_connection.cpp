#include "server/store/postgres/pg_connection.h"

#include <algorithm>
#include <cctype>

namespace brindle::server {
namespace {

std::string TrimmedMessage(const char* message) {
    std::string text = message != nullptr ? message : "";
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    // One line: libpq continues a message on a new line that starts with a tab.
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            line += ' ';
        } else if (c != '\t') {
            line += c;
        }
    }
    text = std::move(line);
    return text.empty() ? "unknown failure" : text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string PercentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "host=h password='x y' user=u": the value after every password keyword.
std::string RedactedKeywords(std::string text) {
    std::size_t at = 0;
    while ((at = text.find("password", at)) != std::string::npos) {
        bool wordStart = at == 0 || std::isspace(static_cast<unsigned char>(text[at - 1]));
        std::size_t p = at + 8;
        while (p < text.size() && text[p] == ' ') {
            ++p;
        }
        if (!wordStart || p >= text.size() || text[p] != '=') {
            at += 8;
            continue;
        }
        ++p;
        while (p < text.size() && text[p] == ' ') {
            ++p;
        }
        std::size_t end = p;
        if (end < text.size() && text[end] == '\'') {
            for (++end; end < text.size() && text[end] != '\''; ++end) {
                if (text[end] == '\\') {
                    ++end;
                }
            }
            end = std::min(end + 1, text.size());
        } else {
            while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) {
                ++end;
            }
        }
        text.replace(p, end - p, "***");
        at = p + 3;
    }
    return text;
}

}  // namespace

std::string RedactedUri(std::string_view uri) {
    std::size_t scheme = uri.find("://");
    if (scheme == std::string_view::npos) {
        return RedactedKeywords(std::string(uri));
    }
    std::string out(uri);
    // As libpq reads it: user information ends at the first '@' before any '/'.
    std::size_t start = scheme + 3;
    std::size_t end = out.find_first_of("@/", start);
    if (end != std::string::npos && out[end] == '@') {
        std::size_t colon = out.find(':', start);
        if (colon < end) {
            out.replace(colon + 1, end - colon - 1, "***");
        }
    }
    std::size_t query = out.find('?', start);
    if (query == std::string::npos) {
        return out;
    }
    std::string redacted = out.substr(0, query + 1);
    std::string_view rest = std::string_view(out).substr(query + 1);
    while (true) {
        std::size_t amp = rest.find('&');
        std::string_view param = rest.substr(0, amp);
        std::size_t eq = param.find('=');
        if (eq != std::string_view::npos && PercentDecoded(param.substr(0, eq)) == "password") {
            redacted += std::string(param.substr(0, eq + 1)) + "***";
        } else {
            redacted += param;
        }
        if (amp == std::string_view::npos) {
            break;
        }
        redacted += '&';
        rest.remove_prefix(amp + 1);
    }
    return redacted;
}

std::unique_ptr<PgConnection> PgConnection::Connect(const std::string& uri, bool readOnly,
                                                    std::string& error) {
    // Keywords before dbname are defaults the URI may override; the client
    // encoding after it is not open to change.
    const char* const keys[] = {"connect_timeout",
                                "fallback_application_name",
                                "keepalives_idle",
                                "keepalives_interval",
                                "keepalives_count",
                                "tcp_user_timeout",
                                "dbname",
                                "client_encoding",
                                nullptr};
    const char* const values[] = {
        "5", "brindlenet-directory", "30", "10", "3", "30000", uri.c_str(), "SQL_ASCII", nullptr};
    PGconn* raw = PQconnectdbParams(keys, values, 1);
    if (raw == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    std::unique_ptr<PgConnection> connection(new PgConnection(raw));
    if (PQstatus(raw) != CONNECTION_OK) {
        // A URI libpq cannot parse may come back quoted whole, password and all.
        error = TrimmedMessage(PQerrorMessage(raw));
        for (std::size_t at = 0; (at = error.find(uri, at)) != std::string::npos;) {
            std::string shown = RedactedUri(uri);
            error.replace(at, uri.size(), shown);
            at += shown.size();
        }
        return nullptr;
    }
    PQsetNoticeProcessor(
        raw, [](void*, const char*) {}, nullptr);
    const char* encoding = PQparameterStatus(raw, "server_encoding");
    if (encoding == nullptr || std::string_view(encoding) != "SQL_ASCII") {
        error = std::string("the database has the encoding ") +
                (encoding != nullptr ? encoding : "(unknown)") +
                "; file names are kept as the bytes clients send, whatever their encoding, so "
                "the directory needs an SQL_ASCII database. Create one with: "
                "createdb -E SQL_ASCII -l C -T template0 NAME";
        return nullptr;
    }
    if (readOnly && !connection->Run("SET default_transaction_read_only = on")) {
        error = connection->error();
        return nullptr;
    }
    return connection;
}

PgConnection::~PgConnection() {
    PQfinish(connection_);
}

bool PgConnection::TextParams(const std::vector<std::string_view>& params,
                              std::vector<std::string>& owned, std::vector<const char*>& values) {
    // Text parameters travel NUL-terminated.
    owned.assign(params.begin(), params.end());
    values.clear();
    values.reserve(owned.size());
    for (const std::string& value : owned) {
        if (value.find('\0') != std::string::npos) {
            failure_ = PgFailure::Statement;
            error_ = "a value holds a NUL byte";
            return false;
        }
        values.push_back(value.c_str());
    }
    return true;
}

PgResult PgConnection::Checked(PgResult result, const char* sql) {
    ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        return result;
    }
    RecordFailure(result.get(), sql);
    return nullptr;
}

PgResult PgConnection::Exec(const char* sql, const std::vector<std::string_view>& params) {
    failure_ = PgFailure::None;
    error_.clear();
    std::vector<std::string> owned;
    std::vector<const char*> values;
    if (!TextParams(params, owned, values)) {
        return nullptr;
    }
    return Checked(PgResult(PQexecParams(connection_, sql, static_cast<int>(values.size()), nullptr,
                                         values.data(), nullptr, nullptr, 0)),
                   sql);
}

PgResult PgConnection::ExecPrepared(const char* sql, const std::vector<std::string_view>& params) {
    failure_ = PgFailure::None;
    error_.clear();
    std::vector<std::string> owned;
    std::vector<const char*> values;
    if (!TextParams(params, owned, values)) {
        return nullptr;
    }
    for (int attempt = 0;; ++attempt) {
        const std::string* name = PreparedName(sql);
        if (name == nullptr) {
            return nullptr;
        }
        PgResult result(PQexecPrepared(connection_, name->c_str(), static_cast<int>(values.size()),
                                       values.data(), nullptr, nullptr, 0));
        const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
        // 26000: the server no longer knows the statement. Every name is then
        // in doubt; outside a transaction it is safe to prepare again.
        if (attempt == 0 && state != nullptr && std::string_view(state) == "26000" &&
            PQtransactionStatus(connection_) == PQTRANS_IDLE) {
            prepared_.clear();
            PQclear(PQexec(connection_, "DEALLOCATE ALL"));
            continue;
        }
        return Checked(std::move(result), sql);
    }
}

const std::string* PgConnection::PreparedName(const char* sql) {
    auto known = prepared_.find(sql);
    if (known == prepared_.end()) {
        std::string name = "s" + std::to_string(prepared_.size() + 1);
        PgResult made(PQprepare(connection_, name.c_str(), sql, 0, nullptr));
        if (!Checked(std::move(made), sql)) {
            return nullptr;
        }
        known = prepared_.emplace(sql, std::move(name)).first;
    }
    return &known->second;
}

PgResult PgConnection::ExecAlone(std::span<const char* const> setup, const char* sql,
                                 const std::vector<std::string_view>& params, bool prepared) {
    failure_ = PgFailure::None;
    error_.clear();
    std::vector<std::string> owned;
    std::vector<const char*> values;
    if (!TextParams(params, owned, values)) {
        return nullptr;
    }
    for (int attempt = 0;; ++attempt) {
        const std::string* name = nullptr;
        if (prepared && (name = PreparedName(sql)) == nullptr) {
            return nullptr;
        }
        PgResult rows = ExecAloneOnce(setup, sql, values, name);
        // A statement the server forgot (26000) is prepared again, once.
        if (rows || name == nullptr || attempt > 0 || failure_ != PgFailure::Statement ||
            !forgotten_) {
            return rows;
        }
        prepared_.clear();
        PQclear(PQexec(connection_, "DEALLOCATE ALL"));
        failure_ = PgFailure::None;
        error_.clear();
    }
}

PgResult PgConnection::ExecAloneOnce(std::span<const char* const> setup, const char* sql,
                                     const std::vector<const char*>& values,
                                     const std::string* prepared) {
    forgotten_ = false;
    if (PQenterPipelineMode(connection_) != 1) {
        RecordFailure(nullptr, sql);
        return nullptr;
    }
    // BEGIN, the setup, the statement, COMMIT, then one Sync.
    std::vector<const char*> statements{"BEGIN"};
    statements.insert(statements.end(), setup.begin(), setup.end());
    const std::size_t main = statements.size();
    statements.push_back(sql);
    statements.push_back("COMMIT");
    bool sent = true;
    for (std::size_t i = 0; i < statements.size() && sent; ++i) {
        bool withParams = i == main;
        if (withParams && prepared != nullptr) {
            sent =
                PQsendQueryPrepared(connection_, prepared->c_str(), static_cast<int>(values.size()),
                                    values.data(), nullptr, nullptr, 0) == 1;
            continue;
        }
        sent = PQsendQueryParams(connection_, statements[i],
                                 withParams ? static_cast<int>(values.size()) : 0, nullptr,
                                 withParams ? values.data() : nullptr, nullptr, nullptr, 0) == 1;
    }
    sent = sent && PQpipelineSync(connection_) == 1;
    PgResult rows;
    bool ok = sent;
    bool lost = !sent;
    if (!sent) {
        RecordFailure(nullptr, sql);
    }
    for (std::size_t i = 0; i < statements.size() && !lost; ++i) {
        PgResult result(PQgetResult(connection_));
        if (!result) {
            lost = true;
            break;
        }
        ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            // The first error is the one to report; statements after it are
            // only aborted.
            if (ok && status != PGRES_PIPELINE_ABORTED) {
                RecordFailure(result.get(), statements[i]);
                const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
                forgotten_ = i == main && state != nullptr && std::string_view(state) == "26000";
            }
            ok = false;
        } else if (i == main) {
            rows = std::move(result);
        } else if (i + 1 == statements.size() &&
                   std::string_view(PQcmdStatus(result.get())) != "COMMIT") {
            ok = false;  // COMMIT of a failed transaction answers ROLLBACK
        }
        // Each statement's results end with a null one.
        while (PgResult more{PQgetResult(connection_)}) {
        }
    }
    if (!lost) {
        PgResult sync(PQgetResult(connection_));
        lost = !sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC;
    }
    if (lost) {
        if (failure_ == PgFailure::None) {
            RecordFailure(nullptr, sql);
        }
        return nullptr;
    }
    PQexitPipelineMode(connection_);
    if (!ok) {
        if (failure_ == PgFailure::None) {
            failure_ = PgFailure::Statement;
            error_ = std::string("the transaction did not commit (in: ") + sql + ")";
        }
        if (PQtransactionStatus(connection_) != PQTRANS_IDLE) {
            PQclear(PQexec(connection_, "ROLLBACK"));
        }
        return nullptr;
    }
    return rows;
}

bool PgConnection::CopyIn(const char* sql, std::string_view data) {
    failure_ = PgFailure::None;
    error_.clear();
    PgResult start(PQexec(connection_, sql));
    if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN) {
        RecordFailure(start.get(), sql);
        return false;
    }
    constexpr std::size_t kChunk = std::size_t{256} * 1024;
    bool sent = true;
    for (std::size_t offset = 0; sent && offset < data.size(); offset += kChunk) {
        std::size_t length = std::min(kChunk, data.size() - offset);
        sent = PQputCopyData(connection_, data.data() + offset, static_cast<int>(length)) == 1;
    }
    sent = PQputCopyEnd(connection_, sent ? nullptr : "sending failed") == 1 && sent;
    PgResult end(PQgetResult(connection_));
    bool ok = sent && end && PQresultStatus(end.get()) == PGRES_COMMAND_OK;
    if (!ok) {
        RecordFailure(end.get(), sql);
    }
    // The protocol ends each command with a null result.
    while (PgResult more{PQgetResult(connection_)}) {
    }
    return ok;
}

bool PgConnection::Reusable() const {
    return PQstatus(connection_) == CONNECTION_OK &&
           PQtransactionStatus(connection_) == PQTRANS_IDLE &&
           PQpipelineStatus(connection_) == PQ_PIPELINE_OFF;
}

void PgConnection::RecordFailure(const PGresult* result, const char* sql) {
    const char* field = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string_view state = field != nullptr ? field : "";
    // No SQLSTATE: libpq's own failure, the connection's trouble (it may not
    // show as CONNECTION_BAD yet). 08: connection exceptions; 57P01-57P03:
    // the server shuts down, crashed or is starting; 25006: a write reached
    // a server that became a standby.
    if (PQstatus(connection_) != CONNECTION_OK || state.empty() || state.substr(0, 2) == "08" ||
        state == "57P01" || state == "57P02" || state == "57P03" || state == "25006") {
        failure_ = PgFailure::Connection;
    } else if (state == "40001" || state == "40P01") {
        failure_ = PgFailure::Retry;
    } else {
        failure_ = PgFailure::Statement;
    }
    const char* message = result != nullptr ? PQresultErrorMessage(result) : "";
    if (message == nullptr || *message == '\0') {
        message = PQerrorMessage(connection_);
    }
    std::string statement(sql);
    if (statement.size() > 60) {
        statement = statement.substr(0, 60) + "...";
    }
    error_ = TrimmedMessage(message) + " (in: " + statement + ")";
}

PgTransaction::~PgTransaction() {
    // Straight through libpq, so the connection keeps the failure it recorded.
    if (began_ && !done_ && PQstatus(connection_.get()) == CONNECTION_OK &&
        PQtransactionStatus(connection_.get()) != PQTRANS_IDLE) {
        PQclear(PQexec(connection_.get(), "ROLLBACK"));
    }
}

bool PgTransaction::Commit() {
    PgResult result = connection_.Exec("COMMIT");
    // COMMIT of a failed transaction answers ROLLBACK without an error.
    done_ = result && std::string_view(PQcmdStatus(result.get())) == "COMMIT";
    return done_;
}

PgPool::PgPool(Settings settings)
    : settings_(std::move(settings)), name_(RedactedUri(settings_.uri)) {
    settings_.reservedForShortWork =
        std::clamp(settings_.reservedForShortWork, 0, std::max(settings_.maxConnections - 1, 0));
}

PgPool::~PgPool() = default;

PgPool::Acquired PgPool::Acquire(bool longWork) {
    Acquired out;
    std::unique_lock<std::mutex> hold(lock_);
    auto deadline = std::chrono::steady_clock::now() + settings_.maxWait;
    const int longLimit = settings_.maxConnections - settings_.reservedForShortWork;
    if (!freed_.wait_until(hold, deadline, [&] {
            return (!longWork || longBusy_ < longLimit) &&
                   (!idle_.empty() || open_ < settings_.maxConnections);
        })) {
        out.error = "all " + std::to_string(settings_.maxConnections) + " connections stayed busy";
        out.timedOut = true;
        return out;
    }
    if (!idle_.empty()) {
        out.connection = std::move(idle_.back());
        idle_.pop_back();
        longBusy_ += longWork ? 1 : 0;
        return out;
    }
    if (std::chrono::steady_clock::now() < downUntil_) {
        out.error = lastError_;
        return out;
    }
    ++open_;
    longBusy_ += longWork ? 1 : 0;
    hold.unlock();
    std::string error;
    auto connection = PgConnection::Connect(settings_.uri, settings_.readOnly, error);
    if (connection && settings_.prepare && !settings_.prepare(*connection)) {
        error = connection->error();
        connection.reset();
    }
    hold.lock();
    if (!connection) {
        --open_;
        longBusy_ -= longWork ? 1 : 0;
        downUntil_ = std::chrono::steady_clock::now() + settings_.retryAfter;
        lastError_ = error;
        failedSinceConnect_ = true;
        freed_.notify_all();
        out.error = std::move(error);
        out.connectFailed = true;
        return out;
    }
    out.reconnected = failedSinceConnect_;
    failedSinceConnect_ = false;
    out.connection = std::move(connection);
    return out;
}

void PgPool::Release(std::unique_ptr<PgConnection> connection, bool longWork) {
    if (!connection) {
        return;
    }
    std::unique_lock<std::mutex> hold(lock_);
    longBusy_ -= longWork ? 1 : 0;
    if (connection->Reusable()) {
        idle_.push_back(std::move(connection));
    } else {
        --open_;
    }
    // Waiters for long and for short work wait for different things.
    freed_.notify_all();
    hold.unlock();
    // A connection not kept closes here, outside the lock.
}

void PgPool::Discard(std::unique_ptr<PgConnection> connection, bool longWork) {
    std::vector<std::unique_ptr<PgConnection>> closing;
    {
        std::lock_guard<std::mutex> hold(lock_);
        closing.swap(idle_);
        open_ -= static_cast<int>(closing.size()) + (connection ? 1 : 0);
        longBusy_ -= connection && longWork ? 1 : 0;
        failedSinceConnect_ = true;
        freed_.notify_all();
    }
    connection.reset();
}

}  // namespace brindle::server
