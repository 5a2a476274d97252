// Searches over 1,000,000 published files of 1000 users: the store's name
// index against a LIKE scan of the same rows (SearchRequest::forceScan), the
// same search answered again from what the node kept, and the whole request
// over loopback.
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

constexpr int kUsers = 1000;
constexpr int kFilesPerUser = 1000;
constexpr int kIndexRuns = 31;
constexpr int kScanRuns = 5;

struct Case {
    const char* query;
    const char* what;
};
const Case kCases[] = {
    {"artist 0042\\album 07", "rare (about 10 matches)"},
    {"velvet mirror", "a few hundred matches"},
    {"no such title", "no match"},
    {"CANYON", "tens of thousands, first 100 kept"},
};
constexpr int kRare = 0;
constexpr int kNoMatch = 2;

struct Timing {
    double index = 0;
    double scan = 0;
    double kept = 0;
};

// Times every case through the index and as a scan; false when a search
// fails or the two disagree. `timings` gets one entry per case.
bool MeasureCases(DirectoryStore& store, std::vector<Timing>& timings) {
    timings.clear();
    std::printf("%-24s %-36s %10s %10s %9s %9s\n", "query", "", "index ms", "scan ms", "scan/idx",
                "kept ms");
    for (const Case& c : kCases) {
        std::vector<double> indexed, scanned;
        std::vector<SearchHit> hits, scanHits;
        for (int i = 0; i < kIndexRuns; ++i) {
            auto start = Clock::now();
            if (store.Search({c.query, "*.*", "bench-asker", 100, false, true}, hits) !=
                StoreStatus::Ok) {
                std::printf("search failed: %s\n", c.query);
                return false;
            }
            indexed.push_back(MillisecondsSince(start));
        }
        for (int i = 0; i < kScanRuns; ++i) {
            auto start = Clock::now();
            if (store.Search({c.query, "*.*", "bench-asker", 100, true}, scanHits) !=
                StoreStatus::Ok) {
                std::printf("scan failed: %s\n", c.query);
                return false;
            }
            scanned.push_back(MillisecondsSince(start));
        }
        std::vector<double> kept;
        std::vector<SearchHit> keptHits;
        for (int i = 0; i < kIndexRuns; ++i) {
            auto start = Clock::now();
            if (store.Search({c.query, "*.*", "bench-asker", 100}, keptHits) != StoreStatus::Ok) {
                std::printf("search failed: %s\n", c.query);
                return false;
            }
            kept.push_back(MillisecondsSince(start));
        }
        if (hits != scanHits || hits != keptHits) {
            std::printf("MISMATCH between index (%zu) and scan (%zu) for %s\n", hits.size(),
                        scanHits.size(), c.query);
            return false;
        }
        timings.push_back({Median(indexed), Median(scanned), Median(kept)});
        std::printf("%-24s %-36s %10.3f %10.1f %8.0fx %9.3f  (%zu results)\n", c.query, c.what,
                    timings.back().index, timings.back().scan,
                    timings.back().scan / timings.back().index, timings.back().kept, hits.size());
        std::fflush(stdout);
    }
    return true;
}

}  // namespace

int RunSearchPart(const PartOptions& partOptions) {
    ScratchDir scratch;
    std::string error;
    auto database =
        BenchDatabase::Create(scratch.path() / "db", {.sqlite = partOptions.sqlite}, error);
    auto store = database ? database->Open(error) : nullptr;
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("%s: loading %d files of %d users...\n", database->Describe().c_str(),
                kUsers * kFilesPerUser, kUsers);
    std::fflush(stdout);
    auto loadStart = Clock::now();
    if (!PublishLibrary(*store, kUsers, kFilesPerUser, 2024, 2)) {
        std::fprintf(stderr, "load failed\n");
        return 1;
    }
    StoreStatistics statistics = store->Statistics();
    std::printf("  loaded in %.1f s through Register, two at a time (%lld files published)\n\n",
                MillisecondsSince(loadStart) / 1000, statistics.filesPublished);

    std::vector<Timing> timings;
    if (database->postgres()) {
        std::printf("Right after loading, before the planner's statistics are gathered:\n");
        if (!MeasureCases(*store, timings)) {
            return 1;
        }
        if (!database->Analyze()) {
            std::fprintf(stderr, "ANALYZE failed\n");
            return 1;
        }
        std::printf("\nAfter ANALYZE, as the database runs day to day:\n");
    }
    if (!MeasureCases(*store, timings)) {
        return 1;
    }

    // The whole request over loopback, as a client makes it.
    if (!PrintHttpSearchTimes(*store)) {
        return 1;
    }
    const Timing& rare = timings[kRare];
    const Timing& none = timings[kNoMatch];
    std::printf(
        "Rare query: index median %.3f ms (target: at most 5 ms), LIKE scan %.1f ms, "
        "scan / index %.0fx\n"
        "No match:   index median %.3f ms, LIKE scan %.1f ms, scan / index %.0fx\n",
        rare.index, rare.scan, rare.scan / rare.index, none.index, none.scan,
        none.scan / none.index);
    return 0;
}

}  // namespace brindle::server::bench
