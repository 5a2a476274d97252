// Searches over 1,000,000 published files: the trigram name index against a
// full LIKE scan of the same database, and the whole request over loopback.
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"
#include "server/store/sqlite/sqlite_store.h"

using namespace brindle::server;
using namespace brindle::server::bench;

namespace {

constexpr int kUsers = 10;
constexpr int kFilesPerUser = 100000;

// The same selection as the server's, written as a plain LIKE over every row.
class LikeScan {
  public:
    explicit LikeScan(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_prepare_v2(db_,
                           "SELECT f.name, u.name, u.connection, f.size, u.ip"
                           " FROM files AS f CROSS JOIN users AS u ON u.id = f.user_id"
                           " WHERE f.name LIKE ?1 ESCAPE '!' AND u.logged_in = 1 AND u.name <> ?2"
                           " ORDER BY f.id LIMIT ?3",
                           -1, &statement_, nullptr);
    }
    ~LikeScan() {
        sqlite3_finalize(statement_);
        sqlite3_close(db_);
    }
    int Run(const std::string& query, int limit) {
        std::string pattern = "%";
        for (char c : query) {
            if (c == '%' || c == '_' || c == '!') {
                pattern += '!';
            }
            pattern += c;
        }
        pattern += '%';
        sqlite3_bind_text(statement_, 1, pattern.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement_, 2, "bench-asker", -1, SQLITE_STATIC);
        sqlite3_bind_int(statement_, 3, limit);
        int rows = 0;
        while (sqlite3_step(statement_) == SQLITE_ROW) {
            ++rows;
        }
        sqlite3_reset(statement_);
        return rows;
    }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace

int main() {
    ScratchDir scratch;
    const std::string path = (scratch.path() / "directory.db").string();
    std::string error;
    auto store = SqliteStore::Open(path, error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("Loading %d files of %d users...\n", kUsers * kFilesPerUser, kUsers);
    std::fflush(stdout);
    auto loadStart = Clock::now();
    NameGenerator names(2024);
    for (int user = 0; user < kUsers; ++user) {
        std::vector<std::string> texts;
        texts.reserve(kFilesPerUser);
        for (int i = 0; i < kFilesPerUser; ++i) {
            texts.push_back(names.Next(i));
        }
        std::vector<PublishedFile> files;
        files.reserve(texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            files.push_back({texts[i], static_cast<std::int64_t>(i)});
        }
        std::string name = "user" + std::to_string(user);
        if (store->Register({name, "hash", "DSL,Cable", "10.0.0.1", files}) != StoreStatus::Ok) {
            std::fprintf(stderr, "load failed\n");
            return 1;
        }
    }
    std::printf("  loaded in %.1f s (%lld files stored)\n\n", MillisecondsSince(loadStart) / 1000,
                store->FileCount());

    struct Case {
        const char* query;
        const char* what;
    };
    const Case cases[] = {
        {"artist 0042\\album 07", "rare (about 10 matches)"},
        {"velvet mirror", "a few hundred matches"},
        {"no such title", "no match"},
        {"CANYON", "tens of thousands, first 100 kept"},
    };
    LikeScan like(path);
    std::printf("%-24s %-36s %10s %10s %10s %8s\n", "query", "", "index ms", "scan ms", "LIKE ms",
                "LIKE/idx");
    std::vector<double> ratios;
    std::vector<double> indexMedians;
    for (const Case& c : cases) {
        std::vector<double> indexed, scanned, liked;
        std::vector<SearchHit> hits, scanHits;
        for (int i = 0; i < 31; ++i) {
            auto start = Clock::now();
            store->Search({c.query, "*.*", "bench-asker", 100, false}, hits);
            indexed.push_back(MillisecondsSince(start));
        }
        for (int i = 0; i < 5; ++i) {
            auto start = Clock::now();
            store->Search({c.query, "*.*", "bench-asker", 100, true}, scanHits);
            scanned.push_back(MillisecondsSince(start));
            start = Clock::now();
            like.Run(c.query, 100);
            liked.push_back(MillisecondsSince(start));
        }
        if (hits != scanHits) {
            std::printf("MISMATCH between index and scan for %s\n", c.query);
            return 1;
        }
        double ratio = Median(liked) / Median(indexed);
        ratios.push_back(ratio);
        indexMedians.push_back(Median(indexed));
        std::printf("%-24s %-36s %10.3f %10.1f %10.1f %7.0fx  (%zu results)\n", c.query, c.what,
                    Median(indexed), Median(scanned), Median(liked), ratio, hits.size());
    }

    // The whole request over loopback, as a client makes it.
    if (!PrintHttpSearchTimes(*store)) {
        return 1;
    }
    std::printf(
        "Index median for the rare query %.3f ms (target: at most 5 ms); "
        "LIKE scan / index: %.0fx\n",
        indexMedians[0], ratios[0]);
    return 0;
}
