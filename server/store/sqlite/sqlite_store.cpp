#include "server/store/sqlite/sqlite_store.h"

#include <algorithm>
#include <span>

#include "server/store/name_filter.h"
#include "server/store/sqlite/trigram_index.h"

namespace brindle::server {
namespace {

constexpr int kSchemaVersion = 1;

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS users("
    "  id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL UNIQUE,"
    "  password_hash TEXT NOT NULL,"
    "  connection TEXT NOT NULL DEFAULT '',"
    "  ip TEXT NOT NULL DEFAULT '',"
    "  logged_in INTEGER NOT NULL DEFAULT 0,"
    "  registered_at TEXT)",
    "CREATE TABLE IF NOT EXISTS files("
    "  id INTEGER PRIMARY KEY,"
    "  user_id INTEGER NOT NULL REFERENCES users(id),"
    "  name TEXT NOT NULL,"
    "  size INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS files_by_user ON files(user_id)",
};

constexpr char kFindUser[] =
    "SELECT password_hash, connection, ip, logged_in FROM users WHERE name = ?1";
constexpr char kUserIdAndHash[] = "SELECT id, password_hash FROM users WHERE name = ?1";
constexpr char kInsertUser[] = "INSERT INTO users(name, password_hash) VALUES(?1, ?2)";
constexpr char kUpdateUser[] =
    "UPDATE users SET connection = ?2, ip = ?3, logged_in = 1,"
    " registered_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now') WHERE id = ?1";
constexpr char kListFiles[] = "SELECT id, name, size FROM files WHERE user_id = ?1";
constexpr char kClearDropped[] = "DELETE FROM dropped";
constexpr char kDropFile[] = "INSERT INTO dropped(id) VALUES(?1)";
constexpr char kUnindexDropped[] =
    "INSERT INTO files_fts(files_fts, rowid, name)"
    " SELECT 'delete', f.id, f.name FROM dropped AS d JOIN files AS f ON f.id = d.id";
constexpr char kDeleteDropped[] = "DELETE FROM files WHERE id IN (SELECT id FROM dropped)";
constexpr char kClearStaging[] = "DELETE FROM staging";
constexpr char kStageFile[] = "INSERT INTO staging(position, name, size) VALUES(?1, ?2, ?3)";
constexpr char kLastFileId[] = "SELECT coalesce(max(id), 0) FROM files";
constexpr char kPublishStaged[] =
    "INSERT INTO files(user_id, name, size)"
    " SELECT ?1, name, size FROM staging ORDER BY position";
constexpr char kIndexNewFiles[] =
    "INSERT INTO files_fts(rowid, name) SELECT id, name FROM files WHERE id > ?1 ORDER BY id";
constexpr char kLogOut[] = "UPDATE users SET logged_in = 0 WHERE name = ?1 AND password_hash = ?2";
constexpr char kUserExists[] = "SELECT 1 FROM users WHERE name = ?1";
// CROSS JOIN fixes the loop order: candidates in publication order, so the
// first `limit` matches end the search.
constexpr char kSearchIndexed[] =
    "SELECT f.name, u.name, u.connection, f.size, u.ip"
    " FROM files_fts CROSS JOIN files AS f ON f.id = files_fts.rowid"
    " CROSS JOIN users AS u ON u.id = f.user_id"
    " WHERE files_fts MATCH ?1 AND name_matches(f.name, ?2)"
    " AND u.logged_in = 1 AND u.name <> ?3"
    " ORDER BY files_fts.rowid LIMIT ?4";
constexpr char kSearchScan[] =
    "SELECT f.name, u.name, u.connection, f.size, u.ip"
    " FROM files AS f CROSS JOIN users AS u ON u.id = f.user_id"
    " WHERE name_matches(f.name, ?1) AND u.logged_in = 1 AND u.name <> ?2"
    " ORDER BY f.id LIMIT ?3";
constexpr char kFileCount[] = "SELECT count(*) FROM files";
constexpr char kLoggedInCount[] = "SELECT count(*) FROM users WHERE logged_in = 1";
constexpr char kPublishedCount[] =
    "SELECT count(*) FROM files AS f JOIN users AS u ON u.id = f.user_id WHERE u.logged_in = 1";

}  // namespace

class SqliteStore::ReaderLease {
  public:
    ReaderLease(SqliteStore& store, std::string& error)
        : store_(store), reader_(store.AcquireReader(error)) {}
    ~ReaderLease() {
        if (reader_) {
            store_.ReleaseReader(std::move(reader_));
        }
    }
    [[nodiscard]] SqliteConnection* get() const { return reader_.get(); }

  private:
    SqliteStore& store_;
    std::unique_ptr<SqliteConnection> reader_;
};

SqliteStore::SqliteStore(std::string path, Options options)
    : path_(std::move(path)), options_(std::move(options)) {
    if (!options_.log) {
        options_.log = StderrLogSink();
    }
    // Every line the connections log is a failed statement: count it for the metrics.
    options_.log = [this, inner = std::move(options_.log)](const std::string& line) {
        errors_.fetch_add(1, std::memory_order_relaxed);
        inner(line);
    };
}

SqliteStore::~SqliteStore() = default;

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, std::string& error) {
    return Open(path, error, Options{});
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, std::string& error,
                                               Options options) {
    std::unique_ptr<SqliteStore> store(new SqliteStore(path, std::move(options)));
    store->writer_ = SqliteConnection::Open(path, true, store->options_.log, error);
    if (!store->writer_) {
        return nullptr;
    }
    SqliteConnection& db = *store->writer_;
    // Every commit reaches the disk before the reply: a registration answered
    // "OK" survives a crash of the process or of the machine.
    if (!db.Exec("PRAGMA journal_mode = WAL", &error) ||
        !db.Exec("PRAGMA synchronous = FULL", &error) ||
        !db.Exec("PRAGMA journal_size_limit = 67108864", &error) ||
        !db.Exec("PRAGMA temp_store = MEMORY", &error)) {
        return nullptr;
    }
    int version = -1;
    {
        SqliteQuery query(db, "PRAGMA user_version");
        if (!query.ok() || query.Step() != SQLITE_ROW) {
            error = path + " is not a database";
            return nullptr;
        }
        version = static_cast<int>(query.Int(0));
    }
    if (version > kSchemaVersion) {
        error = path + " was written by a newer server (schema " + std::to_string(version) + ")";
        return nullptr;
    }
    for (const char* statement : kSchema) {
        if (!db.Exec(statement, &error)) {
            return nullptr;
        }
    }
    if (!CreateTrigramIndex(db, error)) {
        return nullptr;
    }
    std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    if (!db.Exec(setVersion.c_str(), &error) || !SetTrigramIndexMemory(db, error) ||
        !db.Exec("CREATE TEMP TABLE IF NOT EXISTS staging("
                 "position INTEGER PRIMARY KEY, name TEXT NOT NULL, size INTEGER NOT NULL)",
                 &error) ||
        !db.Exec("CREATE TEMP TABLE IF NOT EXISTS dropped(id INTEGER PRIMARY KEY)", &error) ||
        !CountTrigramsIfMissing(db, error)) {
        return nullptr;
    }
    // A first reader proves the database can be searched.
    auto reader = store->AcquireReader(error);
    if (!reader) {
        return nullptr;
    }
    store->ReleaseReader(std::move(reader));
    return store;
}

std::unique_ptr<SqliteConnection> SqliteStore::AcquireReader(std::string& error) {
    std::unique_lock<std::mutex> hold(readersLock_);
    readerFreed_.wait(
        hold, [this] { return !idleReaders_.empty() || openReaders_ < options_.maxReaders; });
    if (!idleReaders_.empty()) {
        auto reader = std::move(idleReaders_.back());
        idleReaders_.pop_back();
        return reader;
    }
    ++openReaders_;
    hold.unlock();
    auto reader = SqliteConnection::Open(path_, false, options_.log, error);
    bool ready = reader && reader->Exec("PRAGMA query_only = 1", &error) &&
                 reader->Exec("PRAGMA mmap_size = 1073741824", &error) &&
                 InstallNameMatches(*reader);
    if (!ready) {
        if (error.empty()) {
            error = "cannot prepare a reader connection";
        }
        hold.lock();
        --openReaders_;
        readerFreed_.notify_one();
        return nullptr;
    }
    return reader;
}

void SqliteStore::ReleaseReader(std::unique_ptr<SqliteConnection> reader) {
    std::lock_guard<std::mutex> hold(readersLock_);
    idleReaders_.push_back(std::move(reader));
    readerFreed_.notify_one();
}

StoreStatus SqliteStore::FindUser(std::string_view userName, UserRecord& out, ReadFreshness) {
    std::string error;
    ReaderLease reader(*this, error);
    if (reader.get() == nullptr) {
        options_.log(error);
        return StoreStatus::Failed;
    }
    SqliteQuery query(*reader.get(), kFindUser);
    if (!query.ok()) {
        return StoreStatus::Failed;
    }
    query.Bind(1, userName);
    int rc = query.Step();
    if (rc == SQLITE_DONE) {
        return StoreStatus::NotFound;
    }
    if (rc != SQLITE_ROW) {
        return StoreStatus::Failed;
    }
    out.passwordHash = query.Text(0);
    out.connection = query.Text(1);
    out.ip = query.Text(2);
    out.loggedIn = query.Int(3) != 0;
    return StoreStatus::Ok;
}

namespace {

struct StoredFile {
    std::int64_t id;
    std::string name;
    std::int64_t size;
};

// Pairs the stored list with the new one by name and size. Stored files
// without a partner are to go (`dropped`); new files without one are to be
// added (`added`, in list order). Files present in both stay as they are, so
// publishing an unchanged list rewrites nothing.
void Diff(const std::vector<StoredFile>& stored, std::span<const PublishedFile> files,
          std::vector<std::size_t>& dropped, std::vector<std::size_t>& added) {
    if (stored.empty() || files.empty()) {
        for (std::size_t i = 0; i < stored.size(); ++i) {
            dropped.push_back(i);
        }
        for (std::size_t i = 0; i < files.size(); ++i) {
            added.push_back(i);
        }
        return;
    }
    std::vector<std::size_t> oldOrder(stored.size());
    std::vector<std::size_t> newOrder(files.size());
    for (std::size_t i = 0; i < oldOrder.size(); ++i) {
        oldOrder[i] = i;
    }
    for (std::size_t i = 0; i < newOrder.size(); ++i) {
        newOrder[i] = i;
    }
    auto oldKey = [&](std::size_t i) {
        return std::pair<std::string_view, std::int64_t>(stored[i].name, stored[i].size);
    };
    auto newKey = [&](std::size_t i) {
        return std::pair<std::string_view, std::int64_t>(files[i].name, files[i].size);
    };
    std::sort(oldOrder.begin(), oldOrder.end(),
              [&](std::size_t a, std::size_t b) { return oldKey(a) < oldKey(b); });
    std::sort(newOrder.begin(), newOrder.end(),
              [&](std::size_t a, std::size_t b) { return newKey(a) < newKey(b); });
    std::size_t o = 0;
    std::size_t n = 0;
    while (o < oldOrder.size() || n < newOrder.size()) {
        if (n == newOrder.size() ||
            (o < oldOrder.size() && oldKey(oldOrder[o]) < newKey(newOrder[n]))) {
            dropped.push_back(oldOrder[o++]);
        } else if (o == oldOrder.size() || newKey(newOrder[n]) < oldKey(oldOrder[o])) {
            added.push_back(newOrder[n++]);
        } else {
            ++o;
            ++n;
        }
    }
    std::sort(added.begin(), added.end());
}

// Fills the staging table with the files at `positions`, many rows per statement.
bool Stage(SqliteConnection& db, std::span<const PublishedFile> files,
           const std::vector<std::size_t>& positions) {
    constexpr std::size_t kRowsPerStatement = 200;
    static const std::string batchSql = [] {
        std::string sql = "INSERT INTO staging(position, name, size) VALUES(?, ?, ?)";
        for (std::size_t i = 1; i < kRowsPerStatement; ++i) {
            sql += ",(?, ?, ?)";
        }
        return sql;
    }();
    std::size_t done = 0;
    auto bindRow = [&](SqliteQuery& query, int first, std::size_t position) {
        query.Bind(first, static_cast<std::int64_t>(position));
        query.Bind(first + 1, files[position].name);
        query.Bind(first + 2, files[position].size);
    };
    if (positions.size() >= kRowsPerStatement) {
        SqliteQuery batch(db, batchSql.c_str());
        if (!batch.ok()) {
            return false;
        }
        for (; done + kRowsPerStatement <= positions.size(); done += kRowsPerStatement) {
            for (std::size_t row = 0; row < kRowsPerStatement; ++row) {
                bindRow(batch, static_cast<int>(3 * row + 1), positions[done + row]);
            }
            if (!batch.Run()) {
                return false;
            }
            batch.Reset();
        }
    }
    SqliteQuery single(db, kStageFile);
    if (!single.ok()) {
        return false;
    }
    for (; done < positions.size(); ++done) {
        bindRow(single, 1, positions[done]);
        if (!single.Run()) {
            return false;
        }
        single.Reset();
    }
    return true;
}

// The id of the registering user, created with the registration's hash when
// absent; Conflict when it exists with another hash.
StoreStatus FindOrCreateUser(SqliteConnection& db, const Registration& registration,
                             std::int64_t& userId) {
    userId = 0;
    {
        SqliteQuery find(db, kUserIdAndHash);
        if (!find.ok()) {
            return StoreStatus::Failed;
        }
        find.Bind(1, registration.userName);
        int rc = find.Step();
        if (rc == SQLITE_ROW) {
            if (find.Text(1) != registration.passwordHash) {
                return StoreStatus::Conflict;
            }
            userId = find.Int(0);
            return StoreStatus::Ok;
        }
        if (rc != SQLITE_DONE) {
            return StoreStatus::Failed;
        }
    }
    SqliteQuery insert(db, kInsertUser);
    if (!insert.ok()) {
        return StoreStatus::Failed;
    }
    insert.Bind(1, registration.userName);
    insert.Bind(2, registration.passwordHash);
    if (!insert.Run()) {
        return StoreStatus::Failed;
    }
    userId = sqlite3_last_insert_rowid(db.db());
    return StoreStatus::Ok;
}

// Stores the user's connection and address and marks it logged in.
bool UpdateUser(SqliteConnection& db, std::int64_t userId, const Registration& registration) {
    SqliteQuery update(db, kUpdateUser);
    if (!update.ok()) {
        return false;
    }
    update.Bind(1, userId);
    update.Bind(2, registration.connection);
    update.Bind(3, registration.ip);
    return update.Run();
}

bool ListFiles(SqliteConnection& db, std::int64_t userId, std::vector<StoredFile>& stored) {
    SqliteQuery list(db, kListFiles);
    if (!list.ok()) {
        return false;
    }
    list.Bind(1, userId);
    int rc;
    while ((rc = list.Step()) == SQLITE_ROW) {
        stored.push_back({list.Int(0), std::string(list.Text(1)), list.Int(2)});
    }
    return rc == SQLITE_DONE;
}

// Deletes the stored files at `dropped` from the files and the name index.
bool DropFiles(SqliteConnection& db, const std::vector<StoredFile>& stored,
               const std::vector<std::size_t>& dropped, TrigramTally& tally) {
    SqliteQuery drop(db, kDropFile);
    if (!drop.ok()) {
        return false;
    }
    for (std::size_t i : dropped) {
        drop.Bind(1, stored[i].id);
        if (!drop.Run()) {
            return false;
        }
        drop.Reset();
        tally.Add(stored[i].name, -1);
    }
    return db.Exec(kUnindexDropped) && db.Exec(kDeleteDropped) && db.Exec(kClearDropped);
}

// Publishes the files at `added` (in list order) for the user. They go through
// a staging table without index or triggers, then into the files and the name
// index with one statement each.
bool AddFiles(SqliteConnection& db, std::int64_t userId, std::span<const PublishedFile> files,
              const std::vector<std::size_t>& added, TrigramTally& tally) {
    if (!Stage(db, files, added)) {
        return false;
    }
    for (std::size_t i : added) {
        tally.Add(files[i].name, 1);
    }
    std::int64_t lastId = 0;
    {
        SqliteQuery last(db, kLastFileId);
        if (!last.ok() || last.Step() != SQLITE_ROW) {
            return false;
        }
        lastId = last.Int(0);
    }
    SqliteQuery publish(db, kPublishStaged);
    SqliteQuery index(db, kIndexNewFiles);
    if (!publish.ok() || !index.ok()) {
        return false;
    }
    publish.Bind(1, userId);
    index.Bind(1, lastId);
    return publish.Run() && index.Run() && db.Exec(kClearStaging);
}

}  // namespace

StoreStatus SqliteStore::Register(const Registration& registration) {
    std::lock_guard<std::mutex> hold(writerLock_);
    SqliteConnection& db = *writer_;
    SqliteTransaction transaction(db);
    if (!transaction.began()) {
        return StoreStatus::Failed;
    }
    std::int64_t userId = 0;
    if (StoreStatus user = FindOrCreateUser(db, registration, userId); user != StoreStatus::Ok) {
        return user;
    }
    std::vector<StoredFile> stored;
    if (!UpdateUser(db, userId, registration) || !ListFiles(db, userId, stored)) {
        return StoreStatus::Failed;
    }
    std::vector<std::size_t> dropped;
    std::vector<std::size_t> added;
    Diff(stored, registration.files, dropped, added);
    if (dropped.empty() && added.empty()) {
        return transaction.Commit() ? StoreStatus::Ok : StoreStatus::Failed;
    }
    TrigramTally tally;
    if ((!dropped.empty() && !DropFiles(db, stored, dropped, tally)) ||
        (!added.empty() && !AddFiles(db, userId, registration.files, added, tally)) ||
        !tally.Write(db)) {
        return StoreStatus::Failed;
    }
    return transaction.Commit() ? StoreStatus::Ok : StoreStatus::Failed;
}

StoreStatus SqliteStore::LogOut(std::string_view userName, std::string_view passwordHash) {
    std::lock_guard<std::mutex> hold(writerLock_);
    SqliteConnection& db = *writer_;
    {
        SqliteQuery update(db, kLogOut);
        if (!update.ok()) {
            return StoreStatus::Failed;
        }
        update.Bind(1, userName);
        update.Bind(2, passwordHash);
        if (!update.Run()) {
            return StoreStatus::Failed;
        }
    }
    if (sqlite3_changes(db.db()) > 0) {
        return StoreStatus::Ok;
    }
    SqliteQuery exists(db, kUserExists);
    if (!exists.ok()) {
        return StoreStatus::Failed;
    }
    exists.Bind(1, userName);
    int rc = exists.Step();
    if (rc == SQLITE_ROW) {
        return StoreStatus::Conflict;
    }
    return rc == SQLITE_DONE ? StoreStatus::NotFound : StoreStatus::Failed;
}

StoreStatus SqliteStore::Search(const SearchRequest& request, std::vector<SearchHit>& out) {
    out.clear();
    if (request.limit <= 0) {
        return StoreStatus::Ok;
    }
    std::string error;
    ReaderLease reader(*this, error);
    if (reader.get() == nullptr) {
        options_.log(error);
        return StoreStatus::Failed;
    }
    NameFilter filter(request.query, request.pattern);
    std::vector<TrigramKey> chosen;
    if (!request.forceScan && !ChooseTrigrams(*reader.get(), filter.trigrams(), chosen)) {
        return StoreStatus::Failed;
    }
    bool indexed = !chosen.empty();
    std::string ftsQuery = indexed ? FtsQuery(chosen) : std::string();
    SqliteQuery query(*reader.get(), indexed ? kSearchIndexed : kSearchScan);
    if (!query.ok()) {
        return StoreStatus::Failed;
    }
    int next = 1;
    if (indexed) {
        query.Bind(next++, ftsQuery);
    }
    BindNameFilter(query, next++, filter);
    query.Bind(next++, request.askingUser);
    query.Bind(next++, static_cast<std::int64_t>(request.limit));
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW) {
        SearchHit hit;
        hit.fileName = query.Text(0);
        hit.userName = query.Text(1);
        hit.connection = query.Text(2);
        hit.size = query.Int(3);
        hit.ip = query.Text(4);
        out.push_back(std::move(hit));
    }
    if (rc != SQLITE_DONE) {
        out.clear();
        return StoreStatus::Failed;
    }
    return StoreStatus::Ok;
}

bool SqliteStore::Reachable() {
    std::string error;
    ReaderLease reader(*this, error);
    if (reader.get() == nullptr) {
        return false;
    }
    SqliteQuery query(*reader.get(), "SELECT 1");
    return query.ok() && query.Step() == SQLITE_ROW;
}

StoreStatistics SqliteStore::Statistics() {
    StoreStatistics statistics;
    statistics.databaseErrors = errors_.load(std::memory_order_relaxed);
    std::string error;
    ReaderLease reader(*this, error);
    if (reader.get() == nullptr) {
        return statistics;
    }
    auto count = [&](const char* sql) -> long long {
        SqliteQuery query(*reader.get(), sql);
        return query.ok() && query.Step() == SQLITE_ROW ? query.Int(0) : -1;
    };
    statistics.usersLoggedIn = count(kLoggedInCount);
    statistics.filesPublished = count(kPublishedCount);
    return statistics;
}

long long SqliteStore::FileCount() {
    std::string error;
    ReaderLease reader(*this, error);
    if (reader.get() == nullptr) {
        return -1;
    }
    SqliteQuery query(*reader.get(), kFileCount);
    if (!query.ok() || query.Step() != SQLITE_ROW) {
        return -1;
    }
    return query.Int(0);
}

std::string SqliteStore::CheckIntegrity() {
    std::lock_guard<std::mutex> hold(writerLock_);
    SqliteConnection& db = *writer_;
    std::string report;
    {
        SqliteQuery check(db, "PRAGMA integrity_check");
        if (!check.ok()) {
            return "cannot run the integrity check";
        }
        while (check.Step() == SQLITE_ROW) {
            if (!report.empty()) {
                report += "; ";
            }
            report += check.Text(0);
        }
    }
    if (report != "ok") {
        return report;
    }
    std::string error;
    if (!db.Exec("INSERT INTO files_fts(files_fts) VALUES('integrity-check')", &error)) {
        return "name index: " + error;
    }
    return "ok";
}

}  // namespace brindle::server
