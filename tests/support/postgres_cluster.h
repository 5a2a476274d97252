// A throwaway PostgreSQL cluster for tests and benchmarks: initdb in a folder
// of the caller's, listening only on a Unix socket in that folder, run as the
// `postgres` system user when the tests run as root, stopped on destruction.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace brindle::test {

class PostgresCluster {
  public:
    struct Options {
        int port = 5432;       // names the socket file only: nothing listens on TCP
        bool durable = false;  // fsync; off makes the tests faster and changes nothing they check
    };

    // Where initdb, pg_ctl and pg_basebackup live ("" when PostgreSQL is not installed).
    static std::filesystem::path BinaryFolder();

    // Creates a cluster in `folder` (which must not exist yet) and starts it.
    // Null with `error` set when it cannot.
    static std::unique_ptr<PostgresCluster> Create(const std::filesystem::path& folder,
                                                   std::string& error, Options options);
    static std::unique_ptr<PostgresCluster> Create(const std::filesystem::path& folder,
                                                   std::string& error) {
        return Create(folder, error, Options{});
    }

    // Copies this running cluster with pg_basebackup -R into `folder` and
    // starts the copy as a streaming replica of this one.
    std::unique_ptr<PostgresCluster> CreateReplica(const std::filesystem::path& folder,
                                                   std::string& error, int port);

    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    bool Start();
    // Stops with the "fast" mode (clients disconnected, work rolled back) or
    // "immediate" (like a crash).
    bool Stop(bool immediate = false);
    bool running() const { return running_; }

    // Creates a database (SQL_ASCII, C locale, as the directory wants, unless
    // `encoding` says otherwise); its URI.
    std::string CreateDatabase(const std::string& name, const std::string& encoding = "SQL_ASCII");
    // The libpq URI of a database of this cluster.
    std::string Uri(const std::string& database) const;
    // Runs `sql` on `database`, collecting the first column of each row. False
    // with the message in `error` when it fails.
    bool Query(const std::string& database, const std::string& sql,
               std::vector<std::string>* rows = nullptr, std::string* error = nullptr) const;

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path socketFolder() const { return folder_; }
    int port() const { return port_; }
    std::string logText() const;

  private:
    PostgresCluster(std::filesystem::path folder, int port);
    bool RunTool(const std::vector<std::string>& args);

    std::filesystem::path folder_;  // the socket folder; data in folder_/data
    int port_;
    bool running_ = false;
};

}  // namespace brindle::test
