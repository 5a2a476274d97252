#include "server/store_factory.h"

#include <filesystem>

#include "server/sqlite_store.h"

namespace brindle::server {

bool IsPostgresUri(std::string_view database) {
    return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
}

std::unique_ptr<DirectoryStore> OpenStore(const StoreConfig& config, const LogSink& log,
                                          std::string& error) {
    if (IsPostgresUri(config.database)) {
        error = "PostgreSQL databases are not supported yet";
        return nullptr;
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
