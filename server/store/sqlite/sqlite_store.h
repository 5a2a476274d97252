// The embedded store: one SQLite database in WAL mode, one writer connection
// behind a lock, a pool of reader connections that search in parallel, and a
// trigram full-text index over the file names.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/log_sink.h"
#include "server/store/directory_store.h"

namespace brindle::server {

class SqliteConnection;

class SqliteStore : public DirectoryStore {
  public:
    struct Options {
        int maxReaders = 8;  // connections searching at the same time; more callers wait
        LogSink log;         // database failures; standard error when empty
    };

    // Opens (creating when needed) the database at `path`. Null with `error`
    // set when it cannot be opened or is not a directory database.
    [[nodiscard]] static std::unique_ptr<SqliteStore> Open(const std::string& path,
                                                           std::string& error);
    [[nodiscard]] static std::unique_ptr<SqliteStore> Open(const std::string& path,
                                                           std::string& error, Options options);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    using DirectoryStore::FindUser;
    StoreStatus FindUser(std::string_view userName, UserRecord& out,
                         ReadFreshness freshness) override;
    StoreStatus Register(const Registration& registration) override;
    StoreStatus LogOut(std::string_view userName, std::string_view passwordHash) override;
    StoreStatus Search(const SearchRequest& request, std::vector<SearchHit>& out) override;
    bool Reachable() override;
    StoreStatistics Statistics() override;

    // Number of stored files of every user, logged in or not (-1 on failure).
    long long FileCount();
    // Runs the database's and the name index's own consistency checks; "ok" or
    // what they found.
    std::string CheckIntegrity();

  private:
    explicit SqliteStore(std::string path, Options options);

    // Borrows a reader connection; waits while all are in use.
    class ReaderLease;
    std::unique_ptr<SqliteConnection> AcquireReader(std::string& error);
    void ReleaseReader(std::unique_ptr<SqliteConnection> reader);

    std::string path_;
    Options options_;
    std::mutex writerLock_;
    std::unique_ptr<SqliteConnection> writer_;

    std::mutex readersLock_;
    std::condition_variable readerFreed_;
    std::vector<std::unique_ptr<SqliteConnection>> idleReaders_;
    int openReaders_ = 0;
    std::atomic<long long> errors_{0};  // lines sent to the log: each is a database failure
};

}  // namespace brindle::server
