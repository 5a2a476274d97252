// Opens the store the command line names: a PostgreSQL database for a
// "postgresql://" or "postgres://" URI, else an SQLite file at that path.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/log_sink.h"
#include "server/store/directory_store.h"

namespace brindle::server {

struct StoreConfig {
    std::string database;               // URI or file path
    std::vector<std::string> replicas;  // read replicas' URIs (PostgreSQL only)
};

// True for a libpq connection URI ("postgresql://..." or "postgres://...").
bool IsPostgresUri(std::string_view database);

// The database as a log line may show it: a URI's password replaced by "***".
std::string DatabaseForLog(std::string_view database);

// Null with `error` set when the store cannot be opened.
std::unique_ptr<DirectoryStore> OpenStore(const StoreConfig& config, const LogSink& log,
                                          std::string& error);

}  // namespace brindle::server
