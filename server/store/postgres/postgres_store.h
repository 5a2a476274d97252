// The shared store: one PostgreSQL database that several server nodes use at
// once, optionally with streaming read replicas that take the searches and
// lag-tolerant lookups. File names are kept as bytes in an SQL_ASCII
// database and searched through a trigram index on their ASCII-folded form.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/log_sink.h"
#include "server/store/directory_store.h"
#include "server/store/postgres/search_cache.h"
#include "server/store/postgres/search_plan.h"
#include "server/store/postgres/trigram_sample.h"

namespace brindle::server {

class PgConnection;
class PgPool;
class PgNotifyListener;

class PostgresStore : public DirectoryStore {
  public:
    struct Options {
        // Per database server; more callers wait. A quarter of them are kept
        // for lookups and other short statements: searches use the rest.
        int maxConnections = 16;
        LogSink log;  // database failures; standard error when empty
        // After a failed connection attempt a server counts as down this long:
        // requests meanwhile fail (or go elsewhere) without trying again.
        std::chrono::milliseconds retryAfterFailure{1000};
        // How long a request waits for a connection while all are busy.
        std::chrono::milliseconds maxWaitForConnection{10000};
    };

    // Connects to the primary (a libpq URI), creates the schema on first use
    // and checks it otherwise. Replicas are connected to when first needed.
    // Null with `error` set when the primary cannot be used.
    [[nodiscard]] static std::unique_ptr<PostgresStore> Open(
        const std::string& primaryUri, const std::vector<std::string>& replicaUris,
        std::string& error, Options options);
    [[nodiscard]] static std::unique_ptr<PostgresStore> Open(
        const std::string& primaryUri, const std::vector<std::string>& replicaUris,
        std::string& error) {
        return Open(primaryUri, replicaUris, error, Options{});
    }
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    using DirectoryStore::FindUser;
    StoreStatus FindUser(std::string_view userName, UserRecord& out,
                         ReadFreshness freshness) override;
    StoreStatus Register(const Registration& registration) override;
    StoreStatus LogOut(std::string_view userName, std::string_view passwordHash) override;
    StoreStatus Search(const SearchRequest& request, std::vector<SearchHit>& out) override;
    bool Reachable() override;
    StoreStatistics Statistics() override;
    void NoteWaiting(std::string_view userName, std::chrono::milliseconds keep) override;
    bool ForwardToWaitingNode(std::string_view userName, std::string_view line) override;
    // Returns once lines from other nodes arrive, or once a first attempt to
    // listen for them failed (the listener keeps trying).
    void OnForwardedLine(const ForwardedLine& sink) override;

  private:
    explicit PostgresStore(Options options);

    class Lease;
    // A connection to a replica (round robin) when the read may lag and one
    // can be had, else to the primary. `longWork` (searches) leaves each
    // server's reserve of connections to short statements.
    Lease Acquire(ReadFreshness freshness, bool longWork);
    // Runs `work` on a pooled connection. A lost connection is discarded and
    // the work runs once more on a fresh one (every piece of work is one
    // idempotent transaction); Unavailable when no connection can be had.
    StoreStatus Run(ReadFreshness freshness, const std::function<StoreStatus(PgConnection&)>& work,
                    bool longWork = false);
    // Counts a database failure and logs it, at most one line a second.
    void Report(const std::string& line);

    Options options_;
    std::unique_ptr<PgPool> primary_;
    std::vector<std::unique_ptr<PgPool>> replicas_;
    std::atomic<unsigned> nextReplica_{0};

    std::atomic<long long> errors_{0};
    std::atomic<long long> reconnects_{0};
    // The sample searches choose their index runs by, taken again now and then.
    std::shared_ptr<const TrigramSample> CurrentSample();
    // The plan of `request`, chosen by the current sample where it needs one.
    std::optional<SearchPlan> Plan(const SearchRequest& request);
    // Reads the answer of a search no kept answer served, keeps it under
    // `key` and gives the asker's share of it.
    StoreStatus SearchAndKeep(const SearchRequest& request, const std::string& key,
                              std::vector<SearchHit>& out);
    std::mutex sampleLock_;
    std::shared_ptr<const TrigramSample> sample_;
    std::chrono::steady_clock::time_point sampledAt_{};
    bool sampling_ = false;
    SearchCache searches_;

    std::mutex logLock_;
    std::chrono::steady_clock::time_point lastLogged_{};
    long long unlogged_ = 0;

    // Forwarding between nodes: each names itself with a random id in the
    // table of waiting users, and picks its own lines from the channel.
    void TakeForwarded(const std::string& payload);
    std::string primaryUri_;
    std::string nodeId_;
    std::mutex sinkLock_;
    ForwardedLine sink_;
    std::unique_ptr<PgNotifyListener> notifier_;  // last: stops before the rest goes
};

}  // namespace brindle::server
