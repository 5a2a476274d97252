#include "server/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "server/name_filter.h"

namespace brindle::server {
namespace {

constexpr int kSchemaVersion = 1;
constexpr char kFilterPointerType[] = "brindle-name-filter";

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
    // The name index: which files hold each trigram, without positions (a
    // search only needs the candidates; it checks every name itself). It keeps
    // no copy of the names but reads them from `files`.
    "CREATE VIRTUAL TABLE IF NOT EXISTS files_fts USING fts5("
    "  name, content='files', content_rowid='id', tokenize='trigram case_sensitive 0',"
    "  detail=none, columnsize=0)",
    // How often each trigram occurs in the stored names (key 0: how many files
    // there are), so a search asks the index for its rarest trigrams only.
    "CREATE TABLE IF NOT EXISTS name_trigrams("
    "  trigram INTEGER PRIMARY KEY, occurrences INTEGER NOT NULL)",
};

// Index entries are collected in memory up to this size before they are
// written, so a large registration makes few index segments.
constexpr char kIndexMemory[] =
    "INSERT INTO files_fts(files_fts, rank) VALUES('hashsize', 67108864)";

// Trigrams occurring more often than this share of the number of files are
// left out of an index query: walking their long lists costs more than
// checking the names.
constexpr long long kCommonTrigramShare = 10;
constexpr std::size_t kMaxQueryTrigrams = 3;

// name_matches(name, filter): the search's own test of one name; the filter is
// bound as a pointer, so it is compiled once per search.
void NameMatchesFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* filter =
        static_cast<const NameFilter*>(sqlite3_value_pointer(argv[1], kFilterPointerType));
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    if (filter == nullptr || text == nullptr) {
        sqlite3_result_int(context, 0);
        return;
    }
    std::string_view name(text, static_cast<std::size_t>(sqlite3_value_bytes(argv[0])));
    sqlite3_result_int(context, filter->Matches(name) ? 1 : 0);
}

// The full-text query that narrows the candidates: files holding every one of
// `trigrams`, each written as a quoted string.
std::string FtsQuery(const std::vector<TrigramKey>& trigrams) {
    std::string query;
    for (TrigramKey key : trigrams) {
        if (!query.empty()) {
            query += " AND ";
        }
        query += '"';
        for (char c : TrigramText(key)) {
            query += c;
            if (c == '"') {
                query += '"';
            }
        }
        query += '"';
    }
    return query;
}

}  // namespace

// One database connection with its prepared statements, used by one thread at a time.
class SqliteConnection {
  public:
    ~SqliteConnection() {
        for (auto& [sql, statement] : statements_) {
            sqlite3_finalize(statement);
        }
        sqlite3_close_v2(db_);
    }

    static std::unique_ptr<SqliteConnection> Open(const std::string& path, bool writer,
                                                  std::string& error) {
        sqlite3* db = nullptr;
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (writer ? SQLITE_OPEN_CREATE : 0);
        int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
        std::unique_ptr<SqliteConnection> connection(new SqliteConnection(db));
        if (rc != SQLITE_OK) {
            error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
            return nullptr;
        }
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, 10000);
        return connection;
    }

    sqlite3* db() const { return db_; }

    bool Exec(const char* sql, std::string* error = nullptr) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) {
            return true;
        }
        Report(sql, message ? message : sqlite3_errmsg(db_), error);
        sqlite3_free(message);
        return false;
    }

    // A cached prepared statement for one of this file's SQL texts (keyed by address).
    sqlite3_stmt* Prepare(const char* sql) {
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

    void Report(const char* what, const char* message, std::string* error) {
        std::string text = std::string("database: ") + message + " (in: " + what + ")";
        if (error != nullptr) {
            *error = text;
        } else {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }

  private:
    explicit SqliteConnection(sqlite3* db) : db_(db) {}
    sqlite3* db_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

namespace {

// One use of a cached statement: bindings and cursor are cleared when it goes.
class Query {
  public:
    Query(SqliteConnection& connection, const char* sql)
        : connection_(connection), sql_(sql), statement_(connection.Prepare(sql)) {}
    ~Query() {
        if (statement_ != nullptr) {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool ok() const { return statement_ != nullptr; }
    void Bind(int index, std::string_view text) {
        // A view without data would bind NULL; an absent text is an empty one.
        sqlite3_bind_text64(statement_, index, text.data() ? text.data() : "", text.size(),
                            SQLITE_STATIC, SQLITE_UTF8);
    }
    void Bind(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    void BindFilter(int index, const NameFilter* filter) {
        sqlite3_bind_pointer(statement_, index, const_cast<NameFilter*>(filter), kFilterPointerType,
                             nullptr);
    }
    // SQLITE_ROW, SQLITE_DONE, or an error (reported).
    int Step() {
        int rc = sqlite3_step(statement_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            connection_.Report(sql_, sqlite3_errmsg(connection_.db()), nullptr);
        }
        return rc;
    }
    bool Run() { return Step() == SQLITE_DONE; }
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
class Transaction {
  public:
    explicit Transaction(SqliteConnection& connection) : connection_(connection) {
        began_ = connection_.Exec("BEGIN IMMEDIATE");
    }
    ~Transaction() {
        if (began_ && !done_) {
            connection_.Exec("ROLLBACK");
        }
    }
    bool began() const { return began_; }
    bool Commit() {
        done_ = connection_.Exec("COMMIT");
        return done_;
    }

  private:
    SqliteConnection& connection_;
    bool began_ = false;
    bool done_ = false;
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
constexpr char kCountTrigram[] =
    "INSERT INTO name_trigrams(trigram, occurrences) VALUES(?1, ?2)"
    " ON CONFLICT(trigram) DO UPDATE SET occurrences = occurrences + excluded.occurrences";
constexpr char kTrigramOccurrences[] = "SELECT occurrences FROM name_trigrams WHERE trigram = ?1";
constexpr char kAllNames[] = "SELECT name FROM files";
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
    SqliteConnection* get() const { return reader_.get(); }

  private:
    SqliteStore& store_;
    std::unique_ptr<SqliteConnection> reader_;
};

SqliteStore::SqliteStore(std::string path, Options options)
    : path_(std::move(path)), options_(options) {}

SqliteStore::~SqliteStore() = default;

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, std::string& error) {
    return Open(path, error, Options{});
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, std::string& error,
                                               Options options) {
    std::unique_ptr<SqliteStore> store(new SqliteStore(path, options));
    store->writer_ = SqliteConnection::Open(path, true, error);
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
        Query query(db, "PRAGMA user_version");
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
    std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    if (!db.Exec(setVersion.c_str(), &error) || !db.Exec(kIndexMemory, &error) ||
        !db.Exec("CREATE TEMP TABLE IF NOT EXISTS staging("
                 "position INTEGER PRIMARY KEY, name TEXT NOT NULL, size INTEGER NOT NULL)",
                 &error) ||
        !db.Exec("CREATE TEMP TABLE IF NOT EXISTS dropped(id INTEGER PRIMARY KEY)", &error) ||
        !store->CountTrigramsIfMissing(error)) {
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
    auto reader = SqliteConnection::Open(path_, false, error);
    bool ready =
        reader && reader->Exec("PRAGMA query_only = 1", &error) &&
        reader->Exec("PRAGMA mmap_size = 1073741824", &error) &&
        sqlite3_create_function_v2(reader->db(), "name_matches", 2, SQLITE_UTF8, nullptr,
                                   NameMatchesFunction, nullptr, nullptr, nullptr) == SQLITE_OK;
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

StoreStatus SqliteStore::FindUser(std::string_view userName, UserRecord& out) {
    std::string error;
    ReaderLease reader(*this, error);
    if (reader.get() == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return StoreStatus::Failed;
    }
    Query query(*reader.get(), kFindUser);
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

// The net change of the trigram occurrence counts made by one write.
class TrigramTally {
  public:
    TrigramTally() : delta_(kTrigramKeyLimit, 0) {}

    void Add(std::string_view name, int change) {
        ForEachTrigram(name, false, [&](TrigramKey key) {
            if (delta_[key] == 0) {
                touched_.push_back(key);
            }
            delta_[key] += change;
        });
        files_ += change;
    }

    bool Write(SqliteConnection& db) {
        Query count(db, kCountTrigram);
        if (!count.ok()) {
            return false;
        }
        std::sort(touched_.begin(), touched_.end());
        touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
        auto write = [&](TrigramKey key, std::int64_t change) {
            count.Bind(1, static_cast<std::int64_t>(key));
            count.Bind(2, change);
            bool ok = count.Run();
            count.Reset();
            return ok;
        };
        for (TrigramKey key : touched_) {
            if (delta_[key] != 0 && !write(key, delta_[key])) {
                return false;
            }
            delta_[key] = 0;
        }
        touched_.clear();
        bool ok = write(0, files_);
        files_ = 0;
        return ok;
    }

  private:
    std::vector<std::int32_t> delta_;
    std::vector<TrigramKey> touched_;
    std::int64_t files_ = 0;
};

struct StoredFile {
    std::int64_t id;
    std::string name;
    std::int64_t size;
};

// Pairs the stored list with the new one by name and size. Stored files
// without a partner are to go (`dropped`); new files without one are to be
// added (`added`, in list order). Files present in both stay as they are, so
// publishing an unchanged list rewrites nothing.
void Diff(const std::vector<StoredFile>& stored, const std::vector<PublishedFile>& files,
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
bool Stage(SqliteConnection& db, const std::vector<PublishedFile>& files,
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
    auto bindRow = [&](Query& query, int first, std::size_t position) {
        query.Bind(first, static_cast<std::int64_t>(position));
        query.Bind(first + 1, files[position].name);
        query.Bind(first + 2, files[position].size);
    };
    if (positions.size() >= kRowsPerStatement) {
        Query batch(db, batchSql.c_str());
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
    Query single(db, kStageFile);
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

}  // namespace

StoreStatus SqliteStore::Register(const Registration& registration) {
    std::lock_guard<std::mutex> hold(writerLock_);
    SqliteConnection& db = *writer_;
    Transaction transaction(db);
    if (!transaction.began()) {
        return StoreStatus::Failed;
    }
    std::int64_t userId = 0;
    {
        Query find(db, kUserIdAndHash);
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
        } else if (rc != SQLITE_DONE) {
            return StoreStatus::Failed;
        }
    }
    if (userId == 0) {
        Query insert(db, kInsertUser);
        if (!insert.ok()) {
            return StoreStatus::Failed;
        }
        insert.Bind(1, registration.userName);
        insert.Bind(2, registration.passwordHash);
        if (!insert.Run()) {
            return StoreStatus::Failed;
        }
        userId = sqlite3_last_insert_rowid(db.db());
    }
    {
        Query update(db, kUpdateUser);
        if (!update.ok()) {
            return StoreStatus::Failed;
        }
        update.Bind(1, userId);
        update.Bind(2, registration.connection);
        update.Bind(3, registration.ip);
        if (!update.Run()) {
            return StoreStatus::Failed;
        }
    }
    static const std::vector<PublishedFile> kNoFiles;
    const std::vector<PublishedFile>& files =
        registration.files != nullptr ? *registration.files : kNoFiles;
    std::vector<StoredFile> stored;
    {
        Query list(db, kListFiles);
        if (!list.ok()) {
            return StoreStatus::Failed;
        }
        list.Bind(1, userId);
        int rc;
        while ((rc = list.Step()) == SQLITE_ROW) {
            stored.push_back({list.Int(0), std::string(list.Text(1)), list.Int(2)});
        }
        if (rc != SQLITE_DONE) {
            return StoreStatus::Failed;
        }
    }
    std::vector<std::size_t> dropped;
    std::vector<std::size_t> added;
    Diff(stored, files, dropped, added);
    if (dropped.empty() && added.empty()) {
        return transaction.Commit() ? StoreStatus::Ok : StoreStatus::Failed;
    }
    TrigramTally tally;
    if (!dropped.empty()) {
        Query drop(db, kDropFile);
        if (!drop.ok()) {
            return StoreStatus::Failed;
        }
        for (std::size_t i : dropped) {
            drop.Bind(1, stored[i].id);
            if (!drop.Run()) {
                return StoreStatus::Failed;
            }
            drop.Reset();
            tally.Add(stored[i].name, -1);
        }
        if (!db.Exec(kUnindexDropped) || !db.Exec(kDeleteDropped) || !db.Exec(kClearDropped)) {
            return StoreStatus::Failed;
        }
    }
    // New files go through a staging table without index or triggers, then
    // into the files and the name index with one statement each.
    if (!added.empty()) {
        if (!Stage(db, files, added)) {
            return StoreStatus::Failed;
        }
        for (std::size_t i : added) {
            tally.Add(files[i].name, 1);
        }
        std::int64_t lastId = 0;
        {
            Query last(db, kLastFileId);
            if (!last.ok() || last.Step() != SQLITE_ROW) {
                return StoreStatus::Failed;
            }
            lastId = last.Int(0);
        }
        Query publish(db, kPublishStaged);
        Query index(db, kIndexNewFiles);
        if (!publish.ok() || !index.ok()) {
            return StoreStatus::Failed;
        }
        publish.Bind(1, userId);
        index.Bind(1, lastId);
        if (!publish.Run() || !index.Run() || !db.Exec(kClearStaging)) {
            return StoreStatus::Failed;
        }
    }
    if (!tally.Write(db)) {
        return StoreStatus::Failed;
    }
    return transaction.Commit() ? StoreStatus::Ok : StoreStatus::Failed;
}

bool SqliteStore::CountTrigramsIfMissing(std::string& error) {
    SqliteConnection& db = *writer_;
    {
        Query total(db, kTrigramOccurrences);
        if (!total.ok()) {
            error = "cannot read the trigram counts";
            return false;
        }
        total.Bind(1, std::int64_t{0});
        int rc = total.Step();
        if (rc == SQLITE_ROW) {
            return true;
        }
    }
    Transaction transaction(db);
    TrigramTally tally;
    {
        Query names(db, kAllNames);
        if (!transaction.began() || !names.ok()) {
            error = "cannot count the trigrams of the stored names";
            return false;
        }
        while (names.Step() == SQLITE_ROW) {
            tally.Add(names.Text(0), 1);
        }
    }
    if (!db.Exec("DELETE FROM name_trigrams", &error) || !tally.Write(db) ||
        !transaction.Commit()) {
        error = "cannot store the trigram counts";
        return false;
    }
    return true;
}

StoreStatus SqliteStore::LogOut(std::string_view userName, std::string_view passwordHash) {
    std::lock_guard<std::mutex> hold(writerLock_);
    SqliteConnection& db = *writer_;
    {
        Query update(db, kLogOut);
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
    Query exists(db, kUserExists);
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
        std::fprintf(stderr, "%s\n", error.c_str());
        return StoreStatus::Failed;
    }
    NameFilter filter(request.query, request.pattern);
    std::vector<TrigramKey> chosen;
    if (!request.forceScan && !ChooseTrigrams(*reader.get(), filter.trigrams(), chosen)) {
        return StoreStatus::Failed;
    }
    bool indexed = !chosen.empty();
    std::string ftsQuery = indexed ? FtsQuery(chosen) : std::string();
    Query query(*reader.get(), indexed ? kSearchIndexed : kSearchScan);
    if (!query.ok()) {
        return StoreStatus::Failed;
    }
    int next = 1;
    if (indexed) {
        query.Bind(next++, ftsQuery);
    }
    query.BindFilter(next++, &filter);
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

// Picks the rarest of a search's trigrams for the index query; none when even
// the rarest is so common that checking every name is cheaper.
bool SqliteStore::ChooseTrigrams(SqliteConnection& reader, const std::vector<TrigramKey>& trigrams,
                                 std::vector<TrigramKey>& chosen) {
    if (trigrams.empty()) {
        return true;
    }
    Query lookup(reader, kTrigramOccurrences);
    if (!lookup.ok()) {
        return false;
    }
    auto occurrences = [&](TrigramKey key) -> std::int64_t {
        lookup.Bind(1, static_cast<std::int64_t>(key));
        std::int64_t count = lookup.Step() == SQLITE_ROW ? lookup.Int(0) : 0;
        lookup.Reset();
        return count;
    };
    std::int64_t total = occurrences(0);  // the number of files
    std::vector<std::pair<std::int64_t, TrigramKey>> counted;
    for (TrigramKey key : trigrams) {
        counted.emplace_back(occurrences(key), key);
    }
    std::sort(counted.begin(), counted.end());
    if (counted.front().first * 2 > total) {
        return true;
    }
    chosen.push_back(counted.front().second);
    for (std::size_t i = 1; i < counted.size() && chosen.size() < kMaxQueryTrigrams; ++i) {
        if (counted[i].first * kCommonTrigramShare <= total) {
            chosen.push_back(counted[i].second);
        }
    }
    return true;
}

long long SqliteStore::FileCount() {
    std::string error;
    ReaderLease reader(*this, error);
    if (reader.get() == nullptr) {
        return -1;
    }
    Query query(*reader.get(), kFileCount);
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
        Query check(db, "PRAGMA integrity_check");
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
