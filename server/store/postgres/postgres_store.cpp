#include "server/store/postgres/postgres_store.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>

#include "server/store/postgres/pg_connection.h"
#include "server/store/postgres/pg_notify_listener.h"
#include "server/store/postgres/search_cache.h"
#include "server/store/postgres/search_plan.h"

namespace brindle::server {
namespace {

constexpr int kSchemaVersion = 2;

// Every node takes this lock while it checks or creates the schema, so two
// nodes starting together do not both create it.
constexpr char kSchemaLock[] = "SELECT pg_advisory_xact_lock(7316258042390150001)";
constexpr char kSchemaExists[] = "SELECT to_regclass('brindlenet_schema') IS NOT NULL";
constexpr char kSchemaVersionQuery[] = "SELECT coalesce(max(version), 0) FROM brindlenet_schema";
// Plain CREATE TABLE: a database holding other tables of these names is
// refused rather than taken for ours.
const char* const kCreateSchema[] = {
    "CREATE EXTENSION IF NOT EXISTS pg_trgm",
    "CREATE TABLE brindlenet_schema(version integer NOT NULL)",
    "CREATE TABLE users("
    "  id bigserial PRIMARY KEY,"
    "  name text NOT NULL UNIQUE,"
    "  password_hash text NOT NULL,"
    "  connection text NOT NULL DEFAULT '',"
    "  ip text NOT NULL DEFAULT '',"
    "  logged_in boolean NOT NULL DEFAULT false,"
    "  registered_at timestamptz)",
    "CREATE TABLE files("
    "  id bigserial PRIMARY KEY,"
    "  user_id bigint NOT NULL REFERENCES users(id),"
    "  name text NOT NULL,"
    "  size bigint NOT NULL)",
    "CREATE INDEX files_by_user ON files(user_id)",
    // Names folded the way searches fold them: ASCII letters only.
    "CREATE INDEX files_by_name ON files USING gin (lower(name COLLATE \"C\") gin_trgm_ops)",
    "INSERT INTO brindlenet_schema(version) VALUES(1)",
};
// A search for one file type walks the files of that type alone, in order.
constexpr char kCreateTypeIndex[] =
    "CREATE INDEX files_by_type ON files("
    "  (lower(reverse(split_part(reverse(name COLLATE \"C\"), '.', 1)))), id)";
// Version 2: the generation of what searches can find, bumped by every write
// that changes it, so nodes can tell when the answers they keep are still good;
// and the index of file types.
const char* const kMigrateTo2[] = {
    "CREATE TABLE search_generation(id integer PRIMARY KEY CHECK (id = 1), value bigint NOT NULL)",
    kCreateTypeIndex,
    "INSERT INTO search_generation(id, value) VALUES(1, 0)",
    "UPDATE brindlenet_schema SET version = 2",
};

// Each primary connection stages registrations in a table of its own.
constexpr char kCreateStaging[] =
    "CREATE TEMP TABLE IF NOT EXISTS brindlenet_staging("
    "position bigint NOT NULL, name text NOT NULL, size bigint NOT NULL) ON COMMIT DELETE ROWS";

constexpr char kFindUser[] =
    "SELECT password_hash, connection, ip, logged_in FROM users WHERE name = $1";
constexpr char kLockUser[] = "SELECT id, password_hash FROM users WHERE name = $1 FOR UPDATE";
// Nothing comes back when a registration elsewhere created the user meanwhile.
constexpr char kInsertUser[] =
    "INSERT INTO users(name, password_hash) VALUES($1, $2)"
    " ON CONFLICT (name) DO NOTHING RETURNING id";
constexpr char kUpdateUser[] =
    "UPDATE users SET connection = $2, ip = $3, logged_in = true, registered_at = now()"
    " WHERE id = $1::bigint";
constexpr char kStage[] = "COPY brindlenet_staging(position, name, size) FROM STDIN";
// Pairs the stored list with the staged one by name and size, the n-th copy
// of a name and size with the n-th: stored files without a partner go, staged
// ones without a partner are added in list order, the rest keep their id and
// so their place in search results.
constexpr char kApplyStaged[] =
    "WITH stored AS ("
    "  SELECT id, name, size, row_number() OVER (PARTITION BY name, size ORDER BY id) AS nth"
    "  FROM files WHERE user_id = $1::bigint),"
    " wanted AS ("
    "  SELECT position, name, size,"
    "         row_number() OVER (PARTITION BY name, size ORDER BY position) AS nth"
    "  FROM brindlenet_staging),"
    " dropped AS ("
    "  DELETE FROM files WHERE id IN ("
    "    SELECT s.id FROM stored AS s LEFT JOIN wanted AS w USING (name, size, nth)"
    "    WHERE w.position IS NULL))"
    " INSERT INTO files(user_id, name, size)"
    " SELECT $1::bigint, w.name, w.size FROM wanted AS w LEFT JOIN stored AS s"
    "   USING (name, size, nth)"
    " WHERE s.id IS NULL ORDER BY w.position";
// A new user has nothing stored to pair with.
constexpr char kPublishStaged[] =
    "INSERT INTO files(user_id, name, size)"
    " SELECT $1::bigint, name, size FROM brindlenet_staging ORDER BY position";
// Large lists sort in memory.
constexpr char kSortMemory[] = "SET LOCAL work_mem = '64MB'";
constexpr std::size_t kLargeList = 10000;
// Last in a writer's transaction: the row stays locked only until its commit.
constexpr char kBumpGeneration[] = "UPDATE search_generation SET value = value + 1 WHERE id = 1";
constexpr char kGeneration[] = "SELECT value FROM search_generation WHERE id = 1";
// Extra hits each kept answer holds beyond those asked for.
constexpr int kSpareHits = 16;
// How long a search waits for another of the same words and type to read its
// answer before reading one itself.
constexpr auto kAwaitOtherReader = std::chrono::seconds(5);
constexpr char kLogOut[] =
    "WITH signed_off AS ("
    "  UPDATE users SET logged_in = false WHERE name = $1 AND password_hash = $2 RETURNING id),"
    " bumped AS ("
    "  UPDATE search_generation SET value = value + 1"
    "  WHERE id = 1 AND EXISTS (SELECT 1 FROM signed_off))"
    " SELECT count(*) FROM signed_off";
constexpr char kUserExists[] = "SELECT 1 FROM users WHERE name = $1";
// About 20,000 names, read by whole pages: cheap, and enough to tell the
// runs every name has from the rare ones.
constexpr double kSampleNames = 20000;
constexpr char kTableSize[] =
    "SELECT reltuples::float8 FROM pg_class WHERE oid = 'files'::regclass";
constexpr char kSampleNamesQuery[] =
    "SELECT lower(name COLLATE \"C\") FROM files TABLESAMPLE SYSTEM ($1::float8) LIMIT 50000";
// The walk's plan depends on none of its parameters: it is made once per
// connection (generic) and kept with the prepared statement, saving about 2 ms
// of planning a search.
const char* const kOrderedWalk[] = {
    "SET LOCAL plan_cache_mode = force_generic_plan",
    "SET LOCAL enable_seqscan = off",
    "SET LOCAL enable_bitmapscan = off",
    "SET LOCAL enable_sort = off",
};
constexpr char kStatistics[] =
    "SELECT (SELECT count(*) FROM users WHERE logged_in),"
    " (SELECT count(*) FROM files AS f JOIN users AS u ON u.id = f.user_id WHERE u.logged_in)";

// Where users keep their waiting request: rows of nodes that stopped simply
// run out. Unlogged: lost in a crash with the waiting requests themselves.
constexpr char kCreateWaiters[] =
    "CREATE UNLOGGED TABLE IF NOT EXISTS push_waiters("
    "  name text PRIMARY KEY,"
    "  node text NOT NULL,"
    "  until timestamptz NOT NULL)";
constexpr char kNoteWaiting[] =
    "INSERT INTO push_waiters(name, node, until)"
    " VALUES($1, $2, now() + $3::bigint * interval '1 millisecond')"
    " ON CONFLICT (name) DO UPDATE SET node = excluded.node, until = excluded.until";
constexpr char kPushChannel[] = "brindlenet_push";
// A notification for the node the user waits on, when that is another node:
// "NODE\nUSER\nLINE".
constexpr char kForward[] =
    "SELECT pg_notify('brindlenet_push', node || E'\\n' || $1::text || E'\\n' || $2::text)"
    " FROM push_waiters WHERE name = $1 AND node <> $3 AND until > now()";

bool PrepareWriter(PgConnection& connection) {
    return connection.Run(kCreateStaging);
}

bool RunAll(PgConnection& db, std::span<const char* const> statements) {
    for (const char* statement : statements) {
        if (!db.Run(statement)) {
            return false;
        }
    }
    return true;
}

// The stored schema version, 0 when the database holds no schema yet, -1
// (with `error`) when it cannot be used.
long StoredSchemaVersion(PgConnection& db, std::string& error) {
    PgResult exists = db.Exec(kSchemaExists);
    if (!exists) {
        error = db.error();
        return -1;
    }
    if (std::string_view(PQgetvalue(exists.get(), 0, 0)) != "t") {
        return 0;
    }
    PgResult version = db.Exec(kSchemaVersionQuery);
    if (!version) {
        error = db.error();
        return -1;
    }
    long stored = std::strtol(PQgetvalue(version.get(), 0, 0), nullptr, 10);
    if (stored > kSchemaVersion) {
        error = "the database was written by a newer server (schema version " +
                std::to_string(stored) + "; this server knows version " +
                std::to_string(kSchemaVersion) + ")";
        return -1;
    }
    if (stored < 1) {
        error = "brindlenet_schema holds no schema version";
        return -1;
    }
    return stored;
}

bool EnsureSchema(PgConnection& db, std::string& error) {
    PgTransaction transaction(db);
    if (!transaction.began() || !db.Run(kSchemaLock)) {
        error = db.error();
        return false;
    }
    long stored = StoredSchemaVersion(db, error);
    if (stored < 0) {
        return false;
    }
    if ((stored == 0 && !RunAll(db, kCreateSchema)) || (stored < 2 && !RunAll(db, kMigrateTo2))) {
        error = db.error();
        return false;
    }
    if (!db.Run(kCreateWaiters) || !transaction.Commit()) {
        error = db.error();
        return false;
    }
    return true;
}

std::string RandomNodeId() {
    std::random_device source;
    std::string id;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(source()));
        id += part;
    }
    return id;
}

bool HasNul(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

// A file list in COPY's text format: position, name and size, tab-separated.
std::string CopyText(std::span<const PublishedFile> files) {
    std::string text;
    std::size_t bytes = 0;
    for (const PublishedFile& file : files) {
        bytes += file.name.size() + 32;
    }
    text.reserve(bytes);
    for (std::size_t i = 0; i < files.size(); ++i) {
        text += std::to_string(i);
        text += '\t';
        for (char c : files[i].name) {
            switch (c) {
                case '\\':
                    text += "\\\\";
                    break;
                case '\t':
                    text += "\\t";
                    break;
                case '\n':
                    text += "\\n";
                    break;
                case '\r':
                    text += "\\r";
                    break;
                default:
                    text += c;
            }
        }
        text += '\t';
        text += std::to_string(files[i].size);
        text += '\n';
    }
    return text;
}

// Runs a planned search on `db`, its hits in `out`. An ordered walk runs in a
// transaction of its own, sent in one round trip, whose settings keep the planner from a bitmap
// scan or a sort that would read every match first.
StoreStatus RunSearch(PgConnection& db, const SearchPlan& plan, std::vector<SearchHit>& out) {
    out.clear();
    std::vector<std::string_view> params(plan.params.begin(), plan.params.end());
    PgResult rows = plan.orderedWalk ? db.ExecAlone(kOrderedWalk, plan.sql.c_str(), params, true)
                                     : db.Exec(plan.sql.c_str(), params);
    if (!rows) {
        return StoreStatus::Failed;
    }
    int count = PQntuples(rows.get());
    out.reserve(static_cast<std::size_t>(count));
    for (int row = 0; row < count; ++row) {
        SearchHit hit;
        hit.fileName = PQgetvalue(rows.get(), row, 0);
        hit.userName = PQgetvalue(rows.get(), row, 1);
        hit.connection = PQgetvalue(rows.get(), row, 2);
        hit.size = std::strtoll(PQgetvalue(rows.get(), row, 3), nullptr, 10);
        hit.ip = PQgetvalue(rows.get(), row, 4);
        out.push_back(std::move(hit));
    }
    return StoreStatus::Ok;
}

bool ReadGeneration(PgConnection& db, std::int64_t& generation) {
    PgResult row = db.ExecPrepared(kGeneration, std::vector<std::string_view>{});
    if (!row || PQntuples(row.get()) != 1) {
        return false;
    }
    generation = std::strtoll(PQgetvalue(row.get(), 0, 0), nullptr, 10);
    return true;
}

}  // namespace

class PostgresStore::Lease {
  public:
    Lease() = default;
    Lease(PgPool* pool, std::unique_ptr<PgConnection> connection, bool longWork)
        : pool_(pool), connection_(std::move(connection)), longWork_(longWork) {}
    Lease(Lease&& other) noexcept
        : pool_(other.pool_),
          connection_(std::move(other.connection_)),
          longWork_(other.longWork_) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
        if (connection_) {
            pool_->Release(std::move(connection_), longWork_);
        }
    }
    explicit operator bool() const { return connection_ != nullptr; }
    PgConnection& connection() { return *connection_; }
    PgPool& pool() { return *pool_; }
    void Discard() { pool_->Discard(std::move(connection_), longWork_); }

  private:
    PgPool* pool_ = nullptr;
    std::unique_ptr<PgConnection> connection_;
    bool longWork_ = false;
};

PostgresStore::PostgresStore(Options options) : options_(std::move(options)) {
    if (!options_.log) {
        options_.log = StderrLogSink();
    }
    if (options_.maxConnections < 1) {
        options_.maxConnections = 1;
    }
}

PostgresStore::~PostgresStore() = default;

void PostgresStore::NoteWaiting(std::string_view userName, std::chrono::milliseconds keep) {
    if (HasNul(userName)) {
        return;
    }
    const std::string milliseconds = std::to_string(keep.count());
    // At worst a push asked for on another node is answered NOT-WAITING.
    static_cast<void>(Run(ReadFreshness::Latest, [&](PgConnection& db) {
        return db.ExecPrepared(kNoteWaiting, {userName, nodeId_, milliseconds})
                   ? StoreStatus::Ok
                   : StoreStatus::Failed;
    }));
}

bool PostgresStore::ForwardToWaitingNode(std::string_view userName, std::string_view line) {
    if (HasNul(userName) || HasNul(line)) {
        return false;
    }
    bool forwarded = false;
    StoreStatus status = Run(ReadFreshness::Latest, [&](PgConnection& db) {
        PgResult rows = db.ExecPrepared(kForward, {userName, line, nodeId_});
        if (!rows) {
            return StoreStatus::Failed;
        }
        forwarded = PQntuples(rows.get()) > 0;
        return StoreStatus::Ok;
    });
    return status == StoreStatus::Ok && forwarded;
}

void PostgresStore::OnForwardedLine(const ForwardedLine& sink) {
    std::unique_ptr<PgNotifyListener> stopped;
    PgNotifyListener* listening = nullptr;
    {
        std::lock_guard<std::mutex> hold(sinkLock_);
        sink_ = sink;
        if (!sink_) {
            stopped = std::move(notifier_);
        } else if (!notifier_) {
            PgNotifyListener::Settings settings{
                primaryUri_, kPushChannel, options_.retryAfterFailure,
                [this](const std::string& line) { Report(primary_->name() + ": " + line); }};
            notifier_ = std::make_unique<PgNotifyListener>(
                std::move(settings),
                [this](const std::string& payload) { TakeForwarded(payload); });
            listening = notifier_.get();
        }
    }
    if (listening != nullptr) {
        static_cast<void>(listening->WaitFirstAttempt(std::chrono::seconds(10)));
    }
    // Joined with the lock let go: its thread takes the lock for each line.
}

void PostgresStore::TakeForwarded(const std::string& payload) {
    std::size_t node = payload.find('\n');
    std::size_t user = node == std::string::npos ? node : payload.find('\n', node + 1);
    if (user == std::string::npos ||
        std::string_view(payload).substr(0, node) != std::string_view(nodeId_)) {
        return;  // another node's, or not ours at all
    }
    std::lock_guard<std::mutex> hold(sinkLock_);
    if (sink_) {
        sink_(payload.substr(node + 1, user - node - 1), payload.substr(user + 1));
    }
}

std::unique_ptr<PostgresStore> PostgresStore::Open(const std::string& primaryUri,
                                                   const std::vector<std::string>& replicaUris,
                                                   std::string& error, Options options) {
    std::unique_ptr<PostgresStore> store(new PostgresStore(std::move(options)));
    store->primaryUri_ = primaryUri;
    store->nodeId_ = RandomNodeId();
    auto settings = [&](const std::string& uri, bool readOnly) {
        PgPool::Settings pool;
        pool.uri = uri;
        pool.readOnly = readOnly;
        pool.maxConnections = store->options_.maxConnections;
        pool.reservedForShortWork = store->options_.maxConnections / 4;
        pool.retryAfter = store->options_.retryAfterFailure;
        pool.maxWait = store->options_.maxWaitForConnection;
        if (!readOnly) {
            pool.prepare = PrepareWriter;
        }
        return pool;
    };
    store->primary_ = std::make_unique<PgPool>(settings(primaryUri, false));
    for (const std::string& uri : replicaUris) {
        store->replicas_.push_back(std::make_unique<PgPool>(settings(uri, true)));
    }
    PgPool::Acquired first = store->primary_->Acquire();
    if (!first.connection) {
        error = "cannot use the database " + store->primary_->name() + ": " + first.error;
        return nullptr;
    }
    bool ready = EnsureSchema(*first.connection, error);
    store->primary_->Release(std::move(first.connection));
    if (!ready) {
        error = "database " + store->primary_->name() + ": " + error;
        return nullptr;
    }
    return store;
}

void PostgresStore::Report(const std::string& line) {
    errors_.fetch_add(1, std::memory_order_relaxed);
    long long unlogged = 0;
    {
        std::lock_guard<std::mutex> hold(logLock_);
        auto now = std::chrono::steady_clock::now();
        if (lastLogged_ != std::chrono::steady_clock::time_point{} &&
            now - lastLogged_ < std::chrono::seconds(1)) {
            ++unlogged_;
            return;
        }
        lastLogged_ = now;
        unlogged = unlogged_;
        unlogged_ = 0;
    }
    std::string text = "database " + line;
    if (unlogged > 0) {
        text += " (" + std::to_string(unlogged) + " more database failures not logged)";
    }
    options_.log(text);
}

PostgresStore::Lease PostgresStore::Acquire(ReadFreshness freshness, bool longWork) {
    auto take = [this, longWork](PgPool& pool) -> Lease {
        PgPool::Acquired acquired = pool.Acquire(longWork);
        if (acquired.reconnected) {
            reconnects_.fetch_add(1, std::memory_order_relaxed);
        }
        if (!acquired.connection) {
            if (acquired.connectFailed || acquired.timedOut) {
                Report(pool.name() + ": " + acquired.error);
            }
            return {};
        }
        return {&pool, std::move(acquired.connection), longWork};
    };
    if (freshness == ReadFreshness::MayLag && !replicas_.empty()) {
        unsigned first = nextReplica_.fetch_add(1, std::memory_order_relaxed);
        for (std::size_t i = 0; i < replicas_.size(); ++i) {
            if (Lease lease = take(*replicas_[(first + i) % replicas_.size()])) {
                return lease;
            }
        }
    }
    return take(*primary_);
}

StoreStatus PostgresStore::Run(ReadFreshness freshness,
                               const std::function<StoreStatus(PgConnection&)>& work,
                               bool longWork) {
    for (int attempt = 0;; ++attempt) {
        Lease lease = Acquire(freshness, longWork);
        if (!lease) {
            return StoreStatus::Unavailable;
        }
        StoreStatus status = work(lease.connection());
        if (status != StoreStatus::Failed) {
            return status;
        }
        PgConnection& db = lease.connection();
        PgFailure failure = db.failure();
        bool replica = &lease.pool() != primary_.get();
        Report(lease.pool().name() + ": " +
               (db.error().empty() ? std::string("unexpected answer") : db.error()));
        if (failure == PgFailure::Connection) {
            lease.Discard();
        }
        if (attempt > 0) {
            return failure == PgFailure::Connection ? StoreStatus::Unavailable
                                                    : StoreStatus::Failed;
        }
        // A replica that cannot answer (one still catching up may lack the
        // tables) leaves the question to the primary.
        if (failure == PgFailure::Statement && replica) {
            freshness = ReadFreshness::Latest;
        } else if (failure != PgFailure::Connection && failure != PgFailure::Retry) {
            return StoreStatus::Failed;
        }
    }
}

StoreStatus PostgresStore::FindUser(std::string_view userName, UserRecord& out,
                                    ReadFreshness freshness) {
    if (HasNul(userName)) {
        return StoreStatus::NotFound;  // a name that cannot be stored
    }
    return Run(freshness, [&](PgConnection& db) {
        PgResult row = db.ExecPrepared(kFindUser, {userName});
        if (!row) {
            return StoreStatus::Failed;
        }
        if (PQntuples(row.get()) == 0) {
            return StoreStatus::NotFound;
        }
        out.passwordHash = PQgetvalue(row.get(), 0, 0);
        out.connection = PQgetvalue(row.get(), 0, 1);
        out.ip = PQgetvalue(row.get(), 0, 2);
        out.loggedIn = std::string_view(PQgetvalue(row.get(), 0, 3)) == "t";
        return StoreStatus::Ok;
    });
}

StoreStatus PostgresStore::Register(const Registration& registration) {
    const std::string staged = CopyText(registration.files);
    return Run(ReadFreshness::Latest, [&](PgConnection& db) {
        PgTransaction transaction(db);
        if (!transaction.began()) {
            return StoreStatus::Failed;
        }
        std::string userId;
        bool newUser = false;
        // A second look finds the user a registration elsewhere created (and
        // committed) while the insert waited for it.
        for (int look = 0; look < 2 && userId.empty(); ++look) {
            PgResult found = db.ExecPrepared(kLockUser, {registration.userName});
            if (!found) {
                return StoreStatus::Failed;
            }
            if (PQntuples(found.get()) > 0) {
                if (std::string_view(PQgetvalue(found.get(), 0, 1)) != registration.passwordHash) {
                    return StoreStatus::Conflict;
                }
                userId = PQgetvalue(found.get(), 0, 0);
            } else if (look == 0) {
                PgResult inserted = db.ExecPrepared(
                    kInsertUser, {registration.userName, registration.passwordHash});
                if (!inserted) {
                    return StoreStatus::Failed;
                }
                if (PQntuples(inserted.get()) > 0) {
                    userId = PQgetvalue(inserted.get(), 0, 0);
                    newUser = true;
                }
            }
        }
        if (userId.empty()) {
            return StoreStatus::Conflict;
        }
        if (!db.ExecPrepared(kUpdateUser, {userId, registration.connection, registration.ip}) ||
            (registration.files.size() >= kLargeList && !db.Run(kSortMemory)) ||
            (!staged.empty() && !db.CopyIn(kStage, staged)) ||
            !db.Run(newUser ? kPublishStaged : kApplyStaged, {userId}) ||
            !db.ExecPrepared(kBumpGeneration, std::vector<std::string_view>{})) {
            return StoreStatus::Failed;
        }
        return transaction.Commit() ? StoreStatus::Ok : StoreStatus::Failed;
    });
}

StoreStatus PostgresStore::LogOut(std::string_view userName, std::string_view passwordHash) {
    if (HasNul(userName)) {
        return StoreStatus::NotFound;
    }
    return Run(ReadFreshness::Latest, [&](PgConnection& db) {
        PgResult updated = db.ExecPrepared(kLogOut, {userName, passwordHash});
        if (!updated) {
            return StoreStatus::Failed;
        }
        if (std::string_view(PQgetvalue(updated.get(), 0, 0)) != "0") {
            return StoreStatus::Ok;
        }
        PgResult exists = db.ExecPrepared(kUserExists, {userName});
        if (!exists) {
            return StoreStatus::Failed;
        }
        return PQntuples(exists.get()) > 0 ? StoreStatus::Conflict : StoreStatus::NotFound;
    });
}

std::optional<SearchPlan> PostgresStore::Plan(const SearchRequest& request) {
    std::shared_ptr<const TrigramSample> sample;
    if (SearchPlanUsesSample(request)) {
        sample = CurrentSample();
    }
    return PlanSearch(request, sample.get());
}

StoreStatus PostgresStore::Search(const SearchRequest& request, std::vector<SearchHit>& out) {
    out.clear();
    if (SearchFindsNothing(request)) {
        return StoreStatus::Ok;
    }
    if (request.forceScan || request.fromDatabase) {
        std::optional<SearchPlan> plan = Plan(request);
        return Run(
            ReadFreshness::MayLag, [&](PgConnection& db) { return RunSearch(db, *plan, out); },
            true);
    }
    const std::string key = SearchCache::Key(request);
    bool kept = false;
    std::int64_t checkedGeneration = 0;
    StoreStatus checked = Run(ReadFreshness::MayLag, [&](PgConnection& db) {
        if (!ReadGeneration(db, checkedGeneration)) {
            return StoreStatus::Failed;
        }
        kept = searches_.Find(key, checkedGeneration, request, out);
        return StoreStatus::Ok;
    });
    if (checked != StoreStatus::Ok || kept ||
        searches_.AwaitReader(key, checkedGeneration, request, out, kAwaitOtherReader)) {
        return checked;
    }
    struct DoneReading {
        SearchCache& cache;
        const std::string& key;
        std::int64_t generation;
        ~DoneReading() { cache.Done(key, generation); }
    } done{searches_, key, checkedGeneration};
    return SearchAndKeep(request, key, out);
}

StoreStatus PostgresStore::SearchAndKeep(const SearchRequest& request, const std::string& key,
                                         std::vector<SearchHit>& out) {
    // Everybody's first matches, a few more than asked so that the asker's
    // own can be left out: one answer serves every asker.
    SearchRequest everyone = request;
    everyone.askingUser = {};
    everyone.limit = request.limit < INT_MAX - kSpareHits ? request.limit + kSpareHits : INT_MAX;
    std::optional<SearchPlan> broad = Plan(everyone);
    std::optional<SearchPlan> exact;
    return Run(
        ReadFreshness::MayLag,
        [&](PgConnection& db) {
            // Read before the search, on its connection: the answer is at
            // least as new as the generation it is kept under.
            std::int64_t generation = 0;
            SearchCache::Answer answer;
            answer.asked = everyone.limit;
            if (!ReadGeneration(db, generation)) {
                return StoreStatus::Failed;
            }
            if (StoreStatus found = RunSearch(db, *broad, answer.hits); found != StoreStatus::Ok) {
                return found;
            }
            bool enough = TakeOthersHits(answer, request.askingUser, request.limit, out);
            searches_.Keep(key, generation, std::move(answer));
            if (enough) {
                return StoreStatus::Ok;
            }
            // An asker holding most of the first matches is asked about alone.
            if (!exact) {
                exact = Plan(request);
            }
            return RunSearch(db, *exact, out);
        },
        true);
}

std::shared_ptr<const TrigramSample> PostgresStore::CurrentSample() {
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> hold(sampleLock_);
        // Small tables change shape fast and cost little to sample.
        auto age = sample_ && sample_->names() >= 10000 ? std::chrono::seconds(60)
                                                        : std::chrono::seconds(5);
        if (sampling_ || (sample_ && now - sampledAt_ < age)) {
            return sample_ ? sample_ : std::make_shared<const TrigramSample>();
        }
        sampling_ = true;
    }
    std::shared_ptr<TrigramSample> fresh;
    StoreStatus sampled = Run(
        ReadFreshness::MayLag,
        [&](PgConnection& db) {
            PgResult size = db.Exec(kTableSize);
            if (!size) {
                return StoreStatus::Failed;
            }
            double rows = std::strtod(PQgetvalue(size.get(), 0, 0), nullptr);
            double percent = rows > kSampleNames ? 100.0 * kSampleNames / rows : 100.0;
            std::string percentText = std::to_string(percent);
            PgResult names = db.Exec(kSampleNamesQuery, {percentText});
            if (!names) {
                return StoreStatus::Failed;
            }
            fresh = std::make_shared<TrigramSample>(rows > 0 ? rows : PQntuples(names.get()));
            for (int row = 0; row < PQntuples(names.get()); ++row) {
                fresh->Add(
                    std::string_view(PQgetvalue(names.get(), row, 0),
                                     static_cast<std::size_t>(PQgetlength(names.get(), row, 0))));
            }
            return StoreStatus::Ok;
        },
        true);
    std::lock_guard<std::mutex> hold(sampleLock_);
    sampling_ = false;
    sampledAt_ = now;  // a failed sample is not tried again at once either
    if (sampled == StoreStatus::Ok && fresh) {
        sample_ = std::move(fresh);
    }
    return sample_ ? sample_ : std::make_shared<const TrigramSample>();
}

bool PostgresStore::Reachable() {
    return Run(ReadFreshness::Latest, [](PgConnection& db) {
               return db.Run("SELECT 1") ? StoreStatus::Ok : StoreStatus::Failed;
           }) == StoreStatus::Ok;
}

StoreStatistics PostgresStore::Statistics() {
    StoreStatistics statistics;
    StoreStatus counted = Run(ReadFreshness::MayLag, [&](PgConnection& db) {
        PgResult row = db.Exec(kStatistics);
        if (!row) {
            return StoreStatus::Failed;
        }
        statistics.usersLoggedIn = std::strtoll(PQgetvalue(row.get(), 0, 0), nullptr, 10);
        statistics.filesPublished = std::strtoll(PQgetvalue(row.get(), 0, 1), nullptr, 10);
        return StoreStatus::Ok;
    });
    if (counted != StoreStatus::Ok) {
        statistics.usersLoggedIn = -1;
        statistics.filesPublished = -1;
    }
    statistics.databaseErrors = errors_.load(std::memory_order_relaxed);
    statistics.reconnects = reconnects_.load(std::memory_order_relaxed);
    statistics.searchesFromMemory = searches_.hits();
    return statistics;
}

}  // namespace brindle::server
