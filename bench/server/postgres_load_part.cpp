// 200 concurrent clients, half searches and half lookups, against two nodes
// sharing one PostgreSQL database (clients alternate between them), beside
// one node on SQLite under the same load in the same run. Each node is a
// DirectoryHttpServer with its own store, as two brindlenet-directory
// processes would have.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "load_generator.h"
#include "postgres_bench.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"

namespace brindle::server::bench {
namespace {

constexpr int kUsers = 200;
constexpr int kFilesPerUser = 500;
constexpr int kClients = 200;
constexpr double kWarmUpSeconds = 2;
constexpr double kSeconds = 10;

// A node: its own store on the shared database, its dispatcher and HTTP front.
struct Node {
    std::unique_ptr<DirectoryStore> store;
    std::unique_ptr<EventDispatcher> dispatcher;
    std::unique_ptr<DirectoryHttpServer> server;
};

bool StartNode(const BenchDatabase& database, PasswordHasher& hasher, Node& node) {
    std::string error;
    node.store = database.Open(error);
    if (node.store) {
        node.dispatcher = std::make_unique<EventDispatcher>(*node.store, hasher);
        HttpServerOptions options;  // the defaults, apart from the address
        options.bindAddress = "127.0.0.1";
        options.port = 0;
        node.server = std::make_unique<DirectoryHttpServer>(*node.dispatcher, options, nullptr);
        if (node.server->Start(error)) {
            return true;
        }
    }
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
}

// A warm-up, not counted, then the measured run.
LoadOutcome Measure(const std::vector<Node>& nodes, const char* label) {
    std::vector<int> ports;
    for (const Node& node : nodes) {
        ports.push_back(node.server->port());
    }
    RunLoad(ports, kClients, kWarmUpSeconds, kUsers);
    LoadOutcome outcome = RunLoad(ports, kClients, kSeconds, kUsers);
    PrintLoadRow(label, outcome);
    return outcome;
}

}  // namespace

int RunLoadPart(const PartOptions& partOptions) {
    ScratchDir scratch;
    std::string error;
    if (!PasswordHasher::Initialize()) {
        return 1;
    }
    auto shared =
        BenchDatabase::Create(scratch.path() / "db", {.sqlite = partOptions.sqlite}, error);
    auto reference = BenchDatabase::Create(scratch.path() / "reference", {.sqlite = true}, error);
    if (!shared || !reference) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    PasswordHasher hasher(PasswordHasher::Interactive());
    std::vector<Node> sharedNodes(2);
    std::vector<Node> referenceNode(1);
    if (!StartNode(*shared, hasher, sharedNodes[0]) ||
        !StartNode(*shared, hasher, sharedNodes[1]) ||
        !StartNode(*reference, hasher, referenceNode[0])) {
        return 1;
    }
    if (!PublishLibrary(*sharedNodes[0].store, kUsers, kFilesPerUser, 11, 2) ||
        !PublishLibrary(*referenceNode[0].store, kUsers, kFilesPerUser, 11)) {
        std::fprintf(stderr, "load failed\n");
        return 1;
    }
    // Measured as the database runs day to day, with the planner's statistics.
    if (!shared->Analyze()) {
        std::fprintf(stderr, "ANALYZE failed\n");
        return 1;
    }
    std::printf("shared database: %s\n", shared->Describe().c_str());
    std::printf(
        "%d users, %d files; %d concurrent clients, half searches, half lookups, %.0f s "
        "after %.0f s of warm-up; default limits\n",
        kUsers, kUsers * kFilesPerUser, kClients, kSeconds, kWarmUpSeconds);
    std::string sharedLabel =
        std::string(shared->postgres() ? "PostgreSQL" : "SQLite") + ", two nodes";
    LoadOutcome sqlite = Measure(referenceNode, "SQLite, one node");
    LoadOutcome measured = Measure(sharedNodes, sharedLabel.c_str());
    std::printf(
        "\n%s / SQLite one node: throughput %.2fx, median %.2fx, p99 %.2fx; failures %lld and "
        "%lld (must be 0)\n",
        sharedLabel.c_str(), measured.RequestsPerSecond() / sqlite.RequestsPerSecond(),
        Median(measured.latencies) / Median(sqlite.latencies),
        Percentile(measured.latencies, 0.99) / Percentile(sqlite.latencies, 0.99),
        measured.failures, sqlite.failures);
    return measured.failures == 0 && sqlite.failures == 0 ? 0 : 1;
}

}  // namespace brindle::server::bench
