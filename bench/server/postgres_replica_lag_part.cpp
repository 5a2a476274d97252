// How long after a registration is answered a search through a store with a
// streaming read replica finds it: a new user is registered through a store
// on the primary (another node) and searched for through the replica-backed
// one until found. Beside it, the same through the primary alone, which finds
// it at the first search.
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "postgres_bench.h"

namespace brindle::server::bench {
namespace {

constexpr int kRepetitions = 50;
constexpr int kReplicaPort = 5433;
constexpr auto kDeadline = std::chrono::seconds(10);

// A file name no other user publishes, and the query that finds only it.
std::string Token(const char* kind, int index) {
    char number[16];
    std::snprintf(number, sizeof number, "%04d", index);
    return "lagprobe " + std::string(kind) + " " + number;
}

bool Publish(DirectoryStore& store, const std::string& user, const std::string& token) {
    std::vector<std::string> texts = {"music\\" + token + ".mp3", "music\\other 1.mp3",
                                      "music\\other 2.ogg"};
    std::vector<PublishedFile> files;
    for (const auto& text : texts) {
        files.push_back({text, 1000});
    }
    return store.Register({user, "hash", "DSL,Cable", "10.1.0.1", files}) == StoreStatus::Ok;
}

// Searches `reader` for `token` until found: milliseconds since `since`, or
// -1 when not found within the deadline. `searches` counts the attempts.
double FindDelay(DirectoryStore& reader, const std::string& token, Clock::time_point since,
                 int& searches) {
    std::vector<SearchHit> hits;
    while (Clock::now() - since < kDeadline) {
        ++searches;
        if (reader.Search({token, "*.*", "", 10}, hits) == StoreStatus::Ok && !hits.empty()) {
            return MillisecondsSince(since);
        }
    }
    return -1;
}

struct Delays {
    std::vector<double> found;
    std::vector<double> registered;  // how long Register took
    int missed = 0;
    int searches = 0;
};

bool Measure(DirectoryStore& writer, DirectoryStore& reader, const char* kind, Delays& delays) {
    for (int i = 0; i < kRepetitions; ++i) {
        std::string token = Token(kind, i);
        auto start = Clock::now();
        if (!Publish(writer, std::string(kind) + "-user" + std::to_string(i), token)) {
            std::printf("registration failed\n");
            return false;
        }
        auto answered = Clock::now();
        delays.registered.push_back(MillisecondsSince(start));
        double delay = FindDelay(reader, token, answered, delays.searches);
        if (delay < 0) {
            ++delays.missed;
        } else {
            delays.found.push_back(delay);
        }
    }
    return true;
}

// Pauses replay on the replica, registers a user, and searches once: when the
// search does not find the user, searches are answered by the replica.
// Replay is resumed before returning.
bool SearchesGoToReplica(test::PostgresCluster& replica, DirectoryStore& writer,
                         DirectoryStore& reader, std::string& note) {
    std::string error;
    if (!replica.Query(kDatabaseName, "SELECT pg_wal_replay_pause()", nullptr, &error)) {
        note = "cannot pause replay: " + error;
        return false;
    }
    bool found = false;
    std::vector<SearchHit> hits;
    std::string token = Token("paused", 0);
    bool registered = Publish(writer, "paused-user", token);
    for (int i = 0; registered && i < 3 && !found; ++i) {
        found = reader.Search({token, "*.*", "", 10}, hits) == StoreStatus::Ok && !hits.empty();
    }
    replica.Query(kDatabaseName, "SELECT pg_wal_replay_resume()", nullptr, &error);
    int searches = 0;
    if (!registered || FindDelay(reader, token, Clock::now(), searches) < 0) {
        note = "the user registered while replay was paused never showed up";
        return false;
    }
    note = found ? "no: it found a user the paused replica had not replayed"
                 : "yes: it did not find a user the paused replica had not replayed";
    return !found;
}

void PrintRow(const char* label, const Delays& delays) {
    std::printf(
        "%-30s median %7.2f ms  max %7.2f ms  (%zu found, %d not within %lld s, %.1f searches "
        "each; Register %.2f ms)\n",
        label, Median(delays.found), Percentile(delays.found, 1.0), delays.found.size(),
        delays.missed, static_cast<long long>(kDeadline.count()),
        static_cast<double>(delays.searches) / kRepetitions, Median(delays.registered));
    std::fflush(stdout);
}

}  // namespace

int RunReplicaLagPart(const PartOptions& partOptions) {
    if (partOptions.sqlite) {
        std::printf("replica lag: needs PostgreSQL (SQLite has no read replicas); skipped\n");
        return 0;
    }
    ScratchDir scratch;
    std::string error;
    auto primary = BenchDatabase::Create(scratch.path() / "primary", {.durable = true}, error);
    if (!primary) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // The writer creates the schema before the copy is taken.
    auto writer = primary->Open(error);
    auto replica =
        writer ? primary->cluster()->CreateReplica(scratch.path() / "replica", error, kReplicaPort)
               : nullptr;
    auto reader = replica ? primary->Open(error, {replica->Uri(kDatabaseName)}) : nullptr;
    auto primaryReader = reader ? primary->Open(error) : nullptr;
    if (!primaryReader) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("%s, one streaming replica on the same machine\n", primary->Describe().c_str());
    std::string note;
    bool viaReplica = SearchesGoToReplica(*replica, *writer, *reader, note);
    std::printf("searches of the replica-backed store are answered by the replica: %s\n",
                note.c_str());
    Delays replicated, direct;
    if (!Measure(*writer, *reader, "replica", replicated) ||
        !Measure(*writer, *primaryReader, "primary", direct)) {
        return 1;
    }
    std::printf("\n%d new users, registration answered to first search that finds it:\n",
                kRepetitions);
    PrintRow("through the replica", replicated);
    PrintRow("through the primary", direct);
    std::printf("\nreplica lag: median %.2f ms, max %.2f ms; replica / primary (median): %.1fx\n",
                Median(replicated.found), Percentile(replicated.found, 1.0),
                Median(replicated.found) / Median(direct.found));
    return viaReplica && replicated.missed == 0 && direct.missed == 0 ? 0 : 1;
}

}  // namespace brindle::server::bench
