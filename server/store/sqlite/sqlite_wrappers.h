// Thin owners of SQLite handles: a connection with its cached prepared
// statements, one use of such a statement, and a write transaction. Failures
// are reported as "database: <message> (in: <sql>)", either to the caller or,
// when it asks for no text, to the connection's log.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/log_sink.h"

namespace brindle::server {

// One database connection with its prepared statements, used by one thread at a time.
class SqliteConnection {
  public:
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Opens the database at `path` for reading and writing; only a writer
    // creates it when absent. Null with `error` set on failure.
    [[nodiscard]] static std::unique_ptr<SqliteConnection> Open(const std::string& path,
                                                                bool writer, LogSink log,
                                                                std::string& error);

    sqlite3* db() const { return db_; }

    // Runs `sql` (one or more statements without results). On failure the
    // report goes to `error` when given, else to the log.
    [[nodiscard]] bool Exec(const char* sql, std::string* error = nullptr);

    // A cached prepared statement for one of the program's constant SQL texts
    // (keyed by address); null (reported) when it does not compile.
    sqlite3_stmt* Prepare(const char* sql);

    void Report(const char* what, const char* message, std::string* error);

  private:
    SqliteConnection(sqlite3* db, LogSink log) : db_(db), log_(std::move(log)) {}

    sqlite3* db_;
    LogSink log_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// One use of a cached statement: bindings and cursor are cleared when it goes.
class SqliteQuery {
  public:
    SqliteQuery(SqliteConnection& connection, const char* sql)
        : connection_(connection), sql_(sql), statement_(connection.Prepare(sql)) {}
    ~SqliteQuery();
    SqliteQuery(const SqliteQuery&) = delete;
    SqliteQuery& operator=(const SqliteQuery&) = delete;

    [[nodiscard]] bool ok() const { return statement_ != nullptr; }

    void Bind(int index, std::string_view text) {
        // A view without data would bind NULL; an absent text is an empty one.
        sqlite3_bind_text64(statement_, index, text.data() ? text.data() : "", text.size(),
                            SQLITE_STATIC, SQLITE_UTF8);
    }
    void Bind(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    // Binds `pointer` for an application function that asks for `type`; the
    // pointer must outlive the use.
    void BindPointer(int index, void* pointer, const char* type) {
        sqlite3_bind_pointer(statement_, index, pointer, type, nullptr);
    }

    // SQLITE_ROW, SQLITE_DONE, or an error (reported).
    [[nodiscard]] int Step();
    // One step that must finish the statement.
    [[nodiscard]] bool Run() { return Step() == SQLITE_DONE; }
    // Makes the statement ready to run again with new bindings.
    void Reset() { sqlite3_reset(statement_); }

    std::string_view Text(int column) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        if (text == nullptr) {
            return {};
        }
        return {text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))};
    }
    std::int64_t Int(int column) { return sqlite3_column_int64(statement_, column); }

  private:
    SqliteConnection& connection_;
    const char* sql_;
    sqlite3_stmt* statement_;
};

// BEGIN IMMEDIATE on construction; rolled back unless committed.
class SqliteTransaction {
  public:
    explicit SqliteTransaction(SqliteConnection& connection);
    ~SqliteTransaction();
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;

    [[nodiscard]] bool began() const { return began_; }
    [[nodiscard]] bool Commit();

  private:
    SqliteConnection& connection_;
    bool began_ = false;
    bool done_ = false;
};

}  // namespace brindle::server
