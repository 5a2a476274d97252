// The command line of brindlenet-directory.
#pragma once

#include <string>
#include <vector>

#include "server/events/event_dispatcher.h"
#include "server/http/http_server.h"

namespace brindle::server {

inline constexpr char kDefaultDatabasePath[] = "brindlenet-directory.db";

struct ServerConfig {
    HttpServerOptions http;
    std::string databasePath = kDefaultDatabasePath;  // SQLite file or PostgreSQL URI
    std::vector<std::string> replicaUris;             // PostgreSQL read replicas
    DirectoryLimits limits;
    bool help = false;
};

// Reads the options after the program name. False with `error` set on an
// unknown option or a bad value.
bool ParseCommandLine(int argc, const char* const* argv, ServerConfig& config, std::string& error);

std::string UsageText();

}  // namespace brindle::server
