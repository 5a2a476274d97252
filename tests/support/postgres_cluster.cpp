#include "support/postgres_cluster.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/child_process.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

constexpr char kSystemUser[] = "postgres";

// Hands `path` to the postgres system user when the tests run as root.
bool GiveToPostgres(const std::filesystem::path& path) {
    if (!RunningAsRoot()) {
        return true;
    }
    const passwd* user = ::getpwnam(kSystemUser);
    return user != nullptr && ::chown(path.c_str(), user->pw_uid, user->pw_gid) == 0;
}

}  // namespace

std::filesystem::path PostgresCluster::BinaryFolder() {
    std::filesystem::path best;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        auto bin = entry.path() / "bin";
        // The newest version: the folders are named by major version.
        if (std::filesystem::exists(bin / "initdb") &&
            (best.empty() || std::stoi(entry.path().filename().string()) >
                                 std::stoi(best.parent_path().filename().string()))) {
            best = bin;
        }
    }
    return best;
}

PostgresCluster::PostgresCluster(std::filesystem::path folder, int port)
    : folder_(std::move(folder)), port_(port) {}

PostgresCluster::~PostgresCluster() {
    if (running_) {
        Stop(true);
    }
}

bool PostgresCluster::RunTool(const std::vector<std::string>& args) {
    std::vector<std::string> command = args;
    command[0] = (BinaryFolder() / args[0]).string();
    ChildProcess::Options options;
    options.output = folder_ / "tools.log";
    options.user = kSystemUser;
    return RunToEnd(command, options, std::chrono::seconds(120)) == 0;
}

std::unique_ptr<PostgresCluster> PostgresCluster::Create(const std::filesystem::path& folder,
                                                         std::string& error, Options options) {
    if (BinaryFolder().empty()) {
        error = "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb)";
        return nullptr;
    }
    std::error_code ec;
    if (!std::filesystem::create_directories(folder, ec) || !GiveToPostgres(folder)) {
        error = "cannot prepare " + folder.string();
        return nullptr;
    }
    // The postgres user has to reach the folder through the test's own sandbox.
    if (RunningAsRoot()) {
        ::chmod(folder.parent_path().c_str(), 0711);
    }
    std::unique_ptr<PostgresCluster> cluster(new PostgresCluster(folder, options.port));
    auto data = folder / "data";
    if (!cluster->RunTool({"initdb", "-D", data.string(), "-U", "postgres", "-E", "SQL_ASCII",
                           "--locale=C", "-A", "trust", "-N"})) {
        error = "initdb failed: " + ReadWholeFile(folder / "tools.log");
        return nullptr;
    }
    {
        std::ofstream conf(data / "postgresql.conf", std::ios::app);
        conf << "\nlisten_addresses = ''\n"
             << "unix_socket_directories = '" << folder.string() << "'\n"
             << "port = " << options.port << "\n"
             << "max_connections = 300\n";
        if (!options.durable) {
            // Commits still flush the log (no delay for replicas), but never wait for the disk.
            conf << "fsync = off\nfull_page_writes = off\n";
        }
    }
    if (!cluster->Start()) {
        error = "the cluster did not start: " + cluster->logText();
        return nullptr;
    }
    return cluster;
}

std::unique_ptr<PostgresCluster> PostgresCluster::CreateReplica(const std::filesystem::path& folder,
                                                                std::string& error, int port) {
    std::error_code ec;
    if (!std::filesystem::create_directories(folder, ec) || !GiveToPostgres(folder)) {
        error = "cannot prepare " + folder.string();
        return nullptr;
    }
    std::unique_ptr<PostgresCluster> replica(new PostgresCluster(folder, port));
    auto data = folder / "data";
    if (!replica->RunTool({"pg_basebackup", "-D", data.string(), "-R", "-X", "stream", "-c", "fast",
                           "-h", folder_.string(), "-p", std::to_string(port_), "-U",
                           "postgres"})) {
        error = "pg_basebackup failed: " + ReadWholeFile(folder / "tools.log");
        return nullptr;
    }
    {
        std::ofstream conf(data / "postgresql.conf", std::ios::app);
        conf << "\nunix_socket_directories = '" << folder.string() << "'\n"
             << "port = " << port << "\n";
    }
    if (!replica->Start()) {
        error = "the replica did not start: " + replica->logText();
        return nullptr;
    }
    return replica;
}

bool PostgresCluster::Start() {
    running_ = RunTool({"pg_ctl", "-D", (folder_ / "data").string(), "-l",
                        (folder_ / "server.log").string(), "-w", "-t", "60", "start"});
    return running_;
}

bool PostgresCluster::Stop(bool immediate) {
    bool stopped = RunTool({"pg_ctl", "-D", (folder_ / "data").string(), "-m",
                            immediate ? "immediate" : "fast", "-w", "-t", "60", "stop"});
    if (stopped) {
        running_ = false;
    }
    return stopped;
}

std::string PostgresCluster::Uri(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + folder_.string() +
           "&port=" + std::to_string(port_) + "&user=postgres";
}

std::string PostgresCluster::CreateDatabase(const std::string& name, const std::string& encoding) {
    std::string error;
    if (!Query("postgres",
               "CREATE DATABASE \"" + name + "\" TEMPLATE template0 ENCODING '" + encoding +
                   "' LC_COLLATE 'C' LC_CTYPE 'C'",
               nullptr, &error)) {
        return "";
    }
    return Uri(name);
}

bool PostgresCluster::Query(const std::string& database, const std::string& sql,
                            std::vector<std::string>* rows, std::string* error) const {
    PGconn* connection = PQconnectdb(Uri(database).c_str());
    bool ok = false;
    if (PQstatus(connection) == CONNECTION_OK) {
        PGresult* result = PQexec(connection, sql.c_str());
        ExecStatusType status = PQresultStatus(result);
        ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (ok && rows != nullptr) {
            for (int row = 0; row < PQntuples(result); ++row) {
                rows->push_back(PQgetvalue(result, row, 0));
            }
        }
        if (!ok && error != nullptr) {
            *error = PQresultErrorMessage(result);
        }
        PQclear(result);
    } else if (error != nullptr) {
        *error = PQerrorMessage(connection);
    }
    PQfinish(connection);
    return ok;
}

std::string PostgresCluster::logText() const {
    return ReadWholeFile(folder_ / "server.log") + ReadWholeFile(folder_ / "tools.log");
}

}  // namespace brindle::test
