// libpq behind RAII: a result, a connection that remembers why its last
// statement failed, a transaction that rolls back unless committed, and a
// pool of connections to one database server.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle::server {

struct PgResultClear {
    void operator()(PGresult* result) const { PQclear(result); }
};
using PgResult = std::unique_ptr<PGresult, PgResultClear>;

// `uri` with its password (user:password@ and any password= parameter)
// replaced by "***", fit for logs and error messages.
std::string RedactedUri(std::string_view uri);

// Why the last statement of a connection failed, and so what to do next.
enum class PgFailure {
    None,
    Statement,   // the statement itself failed; the connection is sound
    Retry,       // a serialization failure or deadlock: the transaction may run again
    Connection,  // the connection is lost or its server cannot serve it: discard it
};

class PgConnection {
  public:
    // Connects to `uri` (a libpq URI or key=value string). connect_timeout is
    // 5 seconds unless the URI sets it; the client encoding is always
    // SQL_ASCII. Refuses a database whose server encoding is not SQL_ASCII,
    // since names are stored as the bytes they arrived as. A `readOnly`
    // connection starts every transaction read-only.
    [[nodiscard]] static std::unique_ptr<PgConnection> Connect(const std::string& uri,
                                                               bool readOnly, std::string& error);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Runs `sql` with text parameters ($1, $2, ...). A statement that returns
    // rows yields its result; one that does not yields an empty result with
    // PGRES_COMMAND_OK. Null on failure; failure() and error() say why. A
    // parameter holding a NUL byte fails the statement rather than being cut short.
    [[nodiscard]] PgResult Exec(const char* sql, const std::vector<std::string_view>& params);
    [[nodiscard]] PgResult Exec(const char* sql,
                                std::initializer_list<std::string_view> params = {}) {
        return Exec(sql, std::vector<std::string_view>(params));
    }
    // Exec for statements whose rows are not wanted.
    [[nodiscard]] bool Run(const char* sql, std::initializer_list<std::string_view> params = {}) {
        return Exec(sql, params) != nullptr;
    }
    // Exec through a statement prepared once on this connection and kept for
    // its life: later calls skip parsing and planning. For statements of fixed
    // text; one the server forgot (DEALLOCATE, DISCARD) is prepared again.
    [[nodiscard]] PgResult ExecPrepared(const char* sql,
                                        const std::vector<std::string_view>& params);
    [[nodiscard]] PgResult ExecPrepared(const char* sql,
                                        std::initializer_list<std::string_view> params = {}) {
        return ExecPrepared(sql, std::vector<std::string_view>(params));
    }
    // Runs `sql` in a transaction of its own after the `setup` statements
    // (such as SET LOCAL), all sent at once in one round trip. The rows of
    // `sql` once committed; null on failure, the transaction rolled back.
    // With `prepared`, `sql` is prepared once on this connection (as
    // ExecPrepared) and its plan kept with it when the setup asks the server
    // for a generic plan.
    [[nodiscard]] PgResult ExecAlone(std::span<const char* const> setup, const char* sql,
                                     const std::vector<std::string_view>& params,
                                     bool prepared = false);
    // Runs a "COPY ... FROM STDIN" statement fed with `data` (COPY text format).
    [[nodiscard]] bool CopyIn(const char* sql, std::string_view data);

    [[nodiscard]] PgFailure failure() const { return failure_; }
    [[nodiscard]] const std::string& error() const { return error_; }
    // True when the connection is sound and no transaction is open: it may go
    // back to a pool.
    [[nodiscard]] bool Reusable() const;
    [[nodiscard]] PGconn* get() const { return connection_; }

  private:
    explicit PgConnection(PGconn* connection) : connection_(connection) {}
    void RecordFailure(const PGresult* result, const char* sql);
    // `params` NUL-terminated in `owned`, their pointers in `values`; false
    // (the failure recorded) when one holds a NUL byte.
    bool TextParams(const std::vector<std::string_view>& params, std::vector<std::string>& owned,
                    std::vector<const char*>& values);
    // Takes a finished statement's result: kept on success, else recorded.
    PgResult Checked(PgResult result, const char* sql);
    // The name of `sql` prepared on this connection, preparing it first when
    // needed; null (the failure recorded) when that fails.
    const std::string* PreparedName(const char* sql);
    PgResult ExecAloneOnce(std::span<const char* const> setup, const char* sql,
                           const std::vector<const char*>& values, const std::string* prepared);

    PGconn* connection_;
    // SQL text to the name of its statement prepared on this connection.
    std::unordered_map<std::string, std::string> prepared_;
    PgFailure failure_ = PgFailure::None;
    std::string error_;
    bool forgotten_ = false;  // the last ExecAloneOnce's statement was unknown to the server
};

// BEGIN on construction, ROLLBACK on destruction unless Commit() succeeded.
class PgTransaction {
  public:
    explicit PgTransaction(PgConnection& connection)
        : connection_(connection), began_(connection.Run("BEGIN")) {}
    ~PgTransaction();
    PgTransaction(const PgTransaction&) = delete;
    PgTransaction& operator=(const PgTransaction&) = delete;

    [[nodiscard]] bool began() const { return began_; }
    [[nodiscard]] bool Commit();

  private:
    PgConnection& connection_;
    bool began_;
    bool done_ = false;
};

// The connections to one database server: idle ones are handed out again, at
// most `maxConnections` exist at once, and long work (searches) holds at most
// `maxConnections - reservedForShortWork` of them, so short statements
// (lookups) never queue behind a pool full of long ones. After a failed connection attempt the
// server is taken as down for `retryAfter`, so a dead server costs callers
// nothing in the meantime.
class PgPool {
  public:
    struct Settings {
        std::string uri;
        bool readOnly = false;
        int maxConnections = 16;
        int reservedForShortWork = 0;  // capped at maxConnections - 1
        std::chrono::milliseconds retryAfter{1000};
        std::chrono::milliseconds maxWait{10000};  // for a free connection when all are busy
        // Runs on every new connection before it is handed out (false: refuse it).
        std::function<bool(PgConnection& connection)> prepare;
    };

    struct Acquired {
        std::unique_ptr<PgConnection> connection;  // null when none could be had
        std::string error;                         // why not
        bool connectFailed = false;  // a connection attempt failed (not merely skipped)
        bool timedOut = false;       // every connection stayed busy for maxWait
        bool reconnected = false;    // the first new connection after a failure
    };

    explicit PgPool(Settings settings);
    ~PgPool();
    PgPool(const PgPool&) = delete;
    PgPool& operator=(const PgPool&) = delete;

    // A connection for long work counts against the long work's share until
    // it comes back through Release or Discard with the same `longWork`.
    [[nodiscard]] Acquired Acquire(bool longWork = false);
    // Takes a connection back: kept when Reusable(), else closed.
    void Release(std::unique_ptr<PgConnection> connection, bool longWork = false);
    // Closes a connection that was lost, and every idle one with it: they went
    // to the same server and are most likely lost too.
    void Discard(std::unique_ptr<PgConnection> connection, bool longWork = false);

    // The URI without its password.
    [[nodiscard]] const std::string& name() const { return name_; }

  private:
    Settings settings_;
    std::string name_;
    std::mutex lock_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<PgConnection>> idle_;
    int open_ = 0;      // idle and handed out, and attempts under way
    int longBusy_ = 0;  // handed out (or being connected) for long work
    std::chrono::steady_clock::time_point downUntil_{};
    std::string lastError_;
    bool failedSinceConnect_ = false;
};

}  // namespace brindle::server
