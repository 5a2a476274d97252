// The parts of directory_postgres_bench and the database each runs on: a
// throwaway PostgreSQL cluster in a scratch folder, or with --sqlite an SQLite
// file, which tries the parts where PostgreSQL is not installed and gives the
// embedded store's figures for the same work.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/store/directory_store.h"
#include "support/postgres_cluster.h"

namespace brindle::server::bench {

struct PartOptions {
    bool sqlite = false;  // run on SQLite files instead of PostgreSQL
};

class BenchDatabase {
  public:
    struct Options {
        bool sqlite = false;
        // fsync and synchronous commit as in production; off where only reads are timed
        bool durable = false;
        int port = 5432;  // names the cluster's socket file
    };

    // Creates the cluster (or picks the file) under `folder`, which must not exist yet.
    [[nodiscard]] static std::unique_ptr<BenchDatabase> Create(const std::filesystem::path& folder,
                                                               const Options& options,
                                                               std::string& error);

    // The database as a node's command line names it: a URI or a file path.
    const std::string& location() const { return location_; }
    // "PostgreSQL 15 (fsync on)" or "SQLite"
    std::string Describe() const;
    bool postgres() const { return cluster_ != nullptr; }
    test::PostgresCluster* cluster() { return cluster_.get(); }

    // Gathers the planner's statistics (ANALYZE), as autovacuum does within a
    // minute or so of a large load; nothing on SQLite. False when it fails.
    bool Analyze();

    // A store on this database, as a node opens it; null with `error` set.
    [[nodiscard]] std::unique_ptr<DirectoryStore> Open(
        std::string& error, const std::vector<std::string>& replicas = {}) const;

  private:
    BenchDatabase() = default;

    std::unique_ptr<test::PostgresCluster> cluster_;
    std::string location_;
    bool durable_ = false;
};

// The name of the database every part creates in its cluster.
inline constexpr char kDatabaseName[] = "directory";

// Each prints its figures; 0 when it ran through, else 1.
int RunSearchPart(const PartOptions& options);
int RunRegisterPart(const PartOptions& options);
int RunLoadPart(const PartOptions& options);
int RunReplicaLagPart(const PartOptions& options);
int RunPushPart(const PartOptions& options);

}  // namespace brindle::server::bench
