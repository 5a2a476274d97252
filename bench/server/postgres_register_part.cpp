// Registration of 100,000 files over loopback, from the client's first byte to
// "OK\n": a new user, the same user with every file changed, and the same list
// again, on a node whose database is PostgreSQL, against the same requests to
// a node on SQLite measured in the same run.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "postgres_bench.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"

namespace brindle::server::bench {
namespace {

constexpr int kFiles = 100000;
constexpr int kRounds = 3;

struct Medians {
    double fresh = 0;
    double replacing = 0;
    double unchanged = 0;
    double slowest = 0;  // the slowest single registration
};

// Sends kRounds × (new user, every file different, same list) to a node on
// `store`; false when one is not answered "OK\n".
bool RegisterRounds(DirectoryStore& store, const std::vector<std::vector<std::string>>& lists,
                    Medians& medians) {
    // The production password cost: every registration hashes or verifies once.
    PasswordHasher hasher(PasswordHasher::Interactive());
    EventDispatcher dispatcher(store, hasher);
    HttpServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    DirectoryHttpServer server(dispatcher, options, nullptr);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    const int port = server.port();
    auto send = [&](const std::string& request, const char* what, std::vector<double>& into) {
        Exchanged reply = Exchange(port, request);
        if (!reply.ok || reply.body != "OK\n") {
            std::printf("  %s failed: %s\n", what, reply.body.c_str());
            return false;
        }
        into.push_back(reply.firstByteToReplyMs);
        std::printf("  %-34s %6.0f ms\n", what, reply.firstByteToReplyMs);
        std::fflush(stdout);
        return true;
    };
    std::vector<double> fresh, replacing, unchanged;
    for (int round = 0; round < kRounds; ++round) {
        std::string user = "user" + std::to_string(round);
        if (!send(ClientRequest(RegistrationBody(user, "secret", lists[round]), port), "new user",
                  fresh)) {
            return false;
        }
        // The same user with a different list: the old one is replaced.
        std::string request =
            ClientRequest(RegistrationBody(user, "secret", lists[kRounds + round % 2]), port);
        if (!send(request, "again, every file different", replacing) ||
            // And once more with that list, as after a rescan that found no change.
            !send(request, "again, same list", unchanged)) {
            return false;
        }
    }
    medians = {
        Median(fresh), Median(replacing), Median(unchanged),
        std::max({Percentile(fresh, 1.0), Percentile(replacing, 1.0), Percentile(unchanged, 1.0)})};
    return true;
}

}  // namespace

int RunRegisterPart(const PartOptions& partOptions) {
    ScratchDir scratch;
    std::string error;
    if (!PasswordHasher::Initialize()) {
        return 1;
    }
    auto database = BenchDatabase::Create(scratch.path() / "db",
                                          {.sqlite = partOptions.sqlite, .durable = true}, error);
    auto store = database ? database->Open(error) : nullptr;
    auto reference = BenchDatabase::Create(scratch.path() / "reference", {.sqlite = true}, error);
    auto referenceStore = reference ? reference->Open(error) : nullptr;
    if (!store || !referenceStore) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    NameGenerator generator(7);
    std::vector<std::vector<std::string>> lists(kRounds + 2);
    for (auto& list : lists) {
        for (int i = 0; i < kFiles; ++i) {
            list.push_back(generator.Next(i));
        }
    }
    std::printf("Registering %d files over loopback (%.1f MB body, first byte to \"OK\\n\")\n",
                kFiles,
                static_cast<double>(RegistrationBody("user0", "secret", lists[0]).size()) / 1e6);
    std::printf("%s:\n", database->Describe().c_str());
    Medians measured;
    if (!RegisterRounds(*store, lists, measured)) {
        return 1;
    }
    std::printf("SQLite, the same requests:\n");
    Medians sqlite;
    if (!RegisterRounds(*referenceStore, lists, sqlite)) {
        return 1;
    }
    std::printf("\n%-28s %10s %10s %8s\n", "medians", "this", "SQLite", "ratio");
    auto row = [](const char* label, double ms, double referenceMs) {
        std::printf("%-28s %8.2f s %8.2f s %7.2fx\n", label, ms / 1000, referenceMs / 1000,
                    ms / referenceMs);
    };
    row("new user", measured.fresh, sqlite.fresh);
    row("every file different", measured.replacing, sqlite.replacing);
    row("same list", measured.unchanged, sqlite.unchanged);
    row("slowest single registration", measured.slowest, sqlite.slowest);
    std::printf("Slowest registration on %s: %.2f s (target: at most 3 s)\n",
                database->postgres() ? "PostgreSQL" : "SQLite", measured.slowest / 1000);
    return 0;
}

}  // namespace brindle::server::bench
