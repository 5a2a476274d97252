#include "server/store/sqlite/sqlite_wrappers.h"

#include <utility>

namespace brindle::server {

SqliteConnection::~SqliteConnection() {
    for (auto& [sql, statement] : statements_) {
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(db_);
}

std::unique_ptr<SqliteConnection> SqliteConnection::Open(const std::string& path, bool writer,
                                                         LogSink log, std::string& error) {
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (writer ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    std::unique_ptr<SqliteConnection> connection(new SqliteConnection(db, std::move(log)));
    if (rc != SQLITE_OK) {
        error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 10000);
    return connection;
}

bool SqliteConnection::Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) {
        return true;
    }
    Report(sql, message ? message : sqlite3_errmsg(db_), error);
    sqlite3_free(message);
    return false;
}

sqlite3_stmt* SqliteConnection::Prepare(const char* sql) {
    auto found = statements_.find(sql);
    if (found != statements_.end()) {
        return found->second;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        Report(sql, sqlite3_errmsg(db_), nullptr);
        return nullptr;
    }
    statements_.emplace(sql, statement);
    return statement;
}

void SqliteConnection::Report(const char* what, const char* message, std::string* error) {
    std::string text = std::string("database: ") + message + " (in: " + what + ")";
    if (error != nullptr) {
        *error = text;
    } else if (log_) {
        log_(text);
    }
}

SqliteQuery::~SqliteQuery() {
    if (statement_ != nullptr) {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
}

int SqliteQuery::Step() {
    int rc = sqlite3_step(statement_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        connection_.Report(sql_, sqlite3_errmsg(connection_.db()), nullptr);
    }
    return rc;
}

SqliteTransaction::SqliteTransaction(SqliteConnection& connection) : connection_(connection) {
    began_ = connection_.Exec("BEGIN IMMEDIATE");
}

SqliteTransaction::~SqliteTransaction() {
    if (began_ && !done_) {
        (void)connection_.Exec("ROLLBACK");  // a failure is reported to the log
    }
}

bool SqliteTransaction::Commit() {
    done_ = connection_.Exec("COMMIT");
    return done_;
}

}  // namespace brindle::server
