// 200 concurrent clients, half searches and half lookups, against two nodes
// sharing one PostgreSQL database (clients alternate between them), beside
// one node on SQLite under the same load in the same run. Each node is a
// DirectoryHttpServer with its own store, as two brindlenet-directory
// processes would have. Then the same again while a user registers 20 times a
// second, each registration making every node search the database afresh.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
constexpr auto kChurnInterval = std::chrono::milliseconds(50);

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

// While it lives, a user of 50 files registers every kChurnInterval through
// the nodes in turn, one of its files renamed each time.
class Churn {
  public:
    explicit Churn(const std::vector<Node>& nodes) {
        thread_ = std::thread([this, &nodes] {
            for (long round = 0;; ++round) {
                std::vector<std::string> names;
                for (int i = 0; i < 50; ++i) {
                    names.push_back("newcomer\\song " + std::to_string(i == 0 ? round : i) +
                                    ".mp3");
                }
                std::vector<PublishedFile> files;
                for (const std::string& name : names) {
                    files.push_back({name, 1});
                }
                DirectoryStore& store =
                    *nodes[static_cast<std::size_t>(round) % nodes.size()].store;
                ++(store.Register({"newcomer", "hash", "DSL", "127.0.0.9", files}) ==
                           StoreStatus::Ok
                       ? registered_
                       : failures_);
                std::unique_lock<std::mutex> hold(lock_);
                if (wake_.wait_for(hold, kChurnInterval, [this] { return stop_; })) {
                    return;
                }
            }
        });
    }
    ~Churn() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Churn(const Churn&) = delete;
    Churn& operator=(const Churn&) = delete;
    [[nodiscard]] long long registered() const { return registered_.load(); }
    [[nodiscard]] long long failures() const { return failures_.load(); }

  private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<long long> registered_{0};
    std::atomic<long long> failures_{0};
    std::thread thread_;
};

// A warm-up, not counted, then the measured run.
LoadOutcome Measure(const std::vector<Node>& nodes, const char* label, bool churn) {
    std::vector<int> ports;
    for (const Node& node : nodes) {
        ports.push_back(node.server->port());
    }
    std::optional<Churn> writes;
    if (churn) {
        writes.emplace(nodes);
    }
    RunLoad(ports, kClients, kWarmUpSeconds, kUsers);
    LoadOutcome outcome = RunLoad(ports, kClients, kSeconds, kUsers);
    if (writes) {
        outcome.failures += writes->failures();
    }
    PrintLoadRow(label, outcome);
    if (writes) {
        std::printf("  (%lld registrations in %.0f s)\n", writes->registered(),
                    kWarmUpSeconds + kSeconds);
    }
    return outcome;
}

bool Compare(const char* sharedLabel, const LoadOutcome& measured, const LoadOutcome& sqlite) {
    std::printf(
        "%s / SQLite one node: throughput %.2fx, median %.2fx, p99 %.2fx, lookups' median "
        "%.2fx; failures %lld and %lld (must be 0)\n",
        sharedLabel, measured.RequestsPerSecond() / sqlite.RequestsPerSecond(),
        Median(measured.latencies) / Median(sqlite.latencies),
        Percentile(measured.latencies, 0.99) / Percentile(sqlite.latencies, 0.99),
        Median(measured.lookups) / Median(sqlite.lookups), measured.failures, sqlite.failures);
    return measured.failures == 0 && sqlite.failures == 0;
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
    LoadOutcome sqlite = Measure(referenceNode, "SQLite, one node", false);
    LoadOutcome measured = Measure(sharedNodes, sharedLabel.c_str(), false);
    bool ok = Compare(sharedLabel.c_str(), measured, sqlite);
    std::printf("\nThe same while a user registers every %lld ms:\n",
                static_cast<long long>(kChurnInterval.count()));
    LoadOutcome sqliteChurn = Measure(referenceNode, "SQLite, one node", true);
    LoadOutcome measuredChurn = Measure(sharedNodes, sharedLabel.c_str(), true);
    ok = Compare(sharedLabel.c_str(), measuredChurn, sqliteChurn) && ok;
    return ok ? 0 : 1;
}

}  // namespace brindle::server::bench
