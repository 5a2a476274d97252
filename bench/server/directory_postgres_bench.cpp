// The directory on PostgreSQL: searches over a million files, registration of
// 100,000 files over HTTP, 200 clients on two nodes sharing one database, the
// lag of a read replica, and a push crossing nodes. Each part starts a throwaway cluster of its own
// (PostgreSQL's programs are run as the postgres user when run as root) and
// prints its figures beside a reference measured in the same run.
//
//   directory_postgres_bench [--sqlite] [search] [register] [load] [lag] [push]
//
// runs the parts named (all when none is), each in about half a minute on two cores.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "postgres_bench.h"

using namespace brindle::server::bench;

namespace {

struct Part {
    const char* name;
    const char* what;
    int (*run)(const PartOptions&);
};

const Part kParts[] = {
    {"search", "searches over 1,000,000 files: name index against a LIKE scan", RunSearchPart},
    {"register", "100,000-file registrations over HTTP, beside SQLite", RunRegisterPart},
    {"load", "200 clients on two nodes sharing one database, beside one SQLite node", RunLoadPart},
    {"lag", "replica lag: registration to a search through the replica finding it",
     RunReplicaLagPart},
    {"push", "a push crossing nodes, beside one asked for on the node the user waits on",
     RunPushPart},
};

void PrintUsage() {
    std::printf(
        "usage: directory_postgres_bench [--sqlite] [part...]\n"
        "Runs the named parts, or all of them in this order:\n");
    for (const Part& part : kParts) {
        std::printf("  %-9s %s\n", part.name, part.what);
    }
    std::printf("--sqlite runs the parts on SQLite files instead of PostgreSQL.\n");
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    PartOptions options;
    std::vector<const Part*> chosen;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sqlite") == 0) {
            options.sqlite = true;
            continue;
        }
        const Part* found = nullptr;
        for (const Part& part : kParts) {
            if (std::strcmp(argv[i], part.name) == 0) {
                found = &part;
            }
        }
        if (found == nullptr) {
            PrintUsage();
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
        chosen.push_back(found);
    }
    if (chosen.empty()) {
        for (const Part& part : kParts) {
            chosen.push_back(&part);
        }
    }
    int failed = 0;
    for (const Part* part : chosen) {
        std::printf("== %s: %s\n", part->name, part->what);
        std::fflush(stdout);
        if (part->run(options) != 0) {
            std::printf("== %s FAILED\n", part->name);
            ++failed;
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return failed == 0 ? 0 : 1;
}
