#include "server/store/store_factory.h"

#include <filesystem>

#include "server/store/postgres/pg_connection.h"
#include "server/store/postgres/postgres_store.h"
#include "server/store/sqlite/sqlite_store.h"

namespace brindle::server {

bool IsPostgresUri(std::string_view database) {
    return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
}

std::string DatabaseForLog(std::string_view database) {
    return IsPostgresUri(database) ? RedactedUri(database) : std::string(database);
}

std::unique_ptr<DirectoryStore> OpenStore(const StoreConfig& config, const LogSink& log,
                                          std::string& error) {
    if (IsPostgresUri(config.database)) {
        for (const std::string& replica : config.replicas) {
            if (!IsPostgresUri(replica)) {
                error = "a read replica must be given as a postgresql:// URI";
                return nullptr;
            }
        }
        return PostgresStore::Open(config.database, config.replicas, error, {.log = log});
    }
    if (!config.replicas.empty()) {
        error = "read replicas need a PostgreSQL database";
        return nullptr;
    }
    std::error_code ignored;
    auto parent = std::filesystem::path(config.database).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, ignored);
    }
    return SqliteStore::Open(config.database, error, {.log = log});
}

}  // namespace brindle::server
