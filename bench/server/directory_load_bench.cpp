// 200 concurrent clients on loopback mixing searches and lookups, each request
// on a connection of its own as the client makes them, against one client
// alone measured in the same run. The server runs with its default limits; the
// clients come from ten loopback addresses, as users of a group would come from
// several machines.
#include <cstdio>
#include <string>

#include "bench_support.h"
#include "load_generator.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"
#include "server/store/sqlite/sqlite_store.h"

using namespace brindle::server;
using namespace brindle::server::bench;

namespace {

constexpr int kUsers = 200;
constexpr int kFilesPerUser = 500;

}  // namespace

int main() {
    ScratchDir scratch;
    std::string error;
    auto store = SqliteStore::Open((scratch.path() / "directory.db").string(), error);
    if (!store || !PasswordHasher::Initialize()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!PublishLibrary(*store, kUsers, kFilesPerUser, 11)) {
        std::fprintf(stderr, "load failed\n");
        return 1;
    }
    PasswordHasher hasher(PasswordHasher::Interactive());
    EventDispatcher dispatcher(*store, hasher);
    HttpServerOptions options;  // the defaults, apart from the address
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    DirectoryHttpServer server(dispatcher, options, nullptr);
    if (!server.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf(
        "%d users, %d files; half searches, half lookups; default limits "
        "(%u connections, %u per address)\n\n",
        kUsers, kUsers * kFilesPerUser, options.maxConnections, options.maxConnectionsPerAddress);
    LoadOutcome single = RunLoad({server.port()}, 1, 4, kUsers);
    PrintLoadRow("1 client", single);
    LoadOutcome loaded = RunLoad({server.port()}, 200, 10, kUsers);
    PrintLoadRow("200 concurrent clients", loaded);
    std::printf(
        "\nthroughput 200 clients / 1 client: %.2fx; p99 under load / median alone: %.1fx; "
        "failures: %lld\n",
        loaded.RequestsPerSecond() / single.RequestsPerSecond(),
        Percentile(loaded.latencies, 0.99) / Median(single.latencies), loaded.failures);
    return loaded.failures == 0 ? 0 : 1;
}
