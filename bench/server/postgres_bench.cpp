#include "postgres_bench.h"

#include "server/log_sink.h"
#include "server/store/store_factory.h"

namespace brindle::server::bench {

std::unique_ptr<BenchDatabase> BenchDatabase::Create(const std::filesystem::path& folder,
                                                     const Options& options, std::string& error) {
    std::unique_ptr<BenchDatabase> database(new BenchDatabase());
    database->durable_ = options.durable;
    if (options.sqlite) {
        std::error_code ec;
        if (!std::filesystem::create_directories(folder, ec)) {
            error = "cannot create " + folder.string();
            return nullptr;
        }
        database->location_ = (folder / "directory.db").string();
        return database;
    }
    database->cluster_ = test::PostgresCluster::Create(
        folder, error, {.port = options.port, .durable = options.durable});
    if (!database->cluster_) {
        return nullptr;
    }
    database->location_ = database->cluster_->CreateDatabase(kDatabaseName);
    if (database->location_.empty()) {
        error = "cannot create the database: " + database->cluster_->logText();
        return nullptr;
    }
    return database;
}

std::string BenchDatabase::Describe() const {
    if (!cluster_) {
        return "SQLite";
    }
    std::vector<std::string> version;
    cluster_->Query(kDatabaseName, "SHOW server_version", &version);
    return "PostgreSQL " + (version.empty() ? std::string("?") : version[0]) +
           (durable_ ? " (fsync and synchronous commit on)"
                     : " (fsync and synchronous commit off)");
}

bool BenchDatabase::Analyze() {
    return !cluster_ || cluster_->Query(kDatabaseName, "ANALYZE");
}

std::unique_ptr<DirectoryStore> BenchDatabase::Open(
    std::string& error, const std::vector<std::string>& replicas) const {
    return OpenStore({location_, replicas}, StderrLogSink(), error);
}

}  // namespace brindle::server::bench
