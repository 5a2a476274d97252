// Registration of 100,000 files over loopback, from the client's first byte to
// "OK\n", against storing the same list one statement per row with an index
// trigger, measured in the same run.
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

constexpr int kFiles = 100000;

// The straightforward way: one INSERT per file, the name index kept by a trigger.
double RowByRowSeconds(const std::string& path, const std::vector<std::string>& names) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(
        db,
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
        "CREATE TABLE files(id INTEGER PRIMARY KEY, user_id INTEGER, name TEXT, size INTEGER);"
        "CREATE VIRTUAL TABLE files_fts USING fts5(name, content='files', content_rowid='id',"
        " tokenize='trigram');"
        "CREATE TRIGGER files_ai AFTER INSERT ON files BEGIN"
        " INSERT INTO files_fts(rowid, name) VALUES (new.id, new.name); END;",
        nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO files(user_id, name, size) VALUES(1, ?1, ?2)", -1, &insert,
                       nullptr);
    auto start = Clock::now();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::size_t i = 0; i < names.size(); ++i) {
        sqlite3_bind_text(insert, 1, names[i].c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, static_cast<sqlite3_int64>(i));
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    double seconds = MillisecondsSince(start) / 1000;
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return seconds;
}

}  // namespace

int main() {
    ScratchDir scratch;
    std::string error;
    auto store = SqliteStore::Open((scratch.path() / "directory.db").string(), error);
    if (!store || !PasswordHasher::Initialize()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // The production password cost: every registration hashes or verifies once.
    PasswordHasher hasher(PasswordHasher::Interactive());
    EventDispatcher dispatcher(*store, hasher);
    HttpServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    DirectoryHttpServer server(dispatcher, options, nullptr);
    if (!server.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    NameGenerator generator(7);
    std::vector<std::vector<std::string>> lists(4);
    for (auto& list : lists) {
        for (int i = 0; i < kFiles; ++i) {
            list.push_back(generator.Next(i));
        }
    }
    std::printf("Registering %d files over loopback (first byte to \"OK\\n\"):\n", kFiles);
    std::vector<double> fresh, replacing, unchanged;
    for (int round = 0; round < 3; ++round) {
        std::string user = "user" + std::to_string(round);
        std::string request =
            ClientRequest(RegistrationBody(user, "secret", lists[round]), server.port());
        Exchanged reply = Exchange(server.port(), request);
        if (!reply.ok || reply.body != "OK\n") {
            std::printf("registration failed: %s\n", reply.body.c_str());
            return 1;
        }
        fresh.push_back(reply.firstByteToReplyMs);
        std::printf("  new user %s: %.0f ms (%.1f MB body)\n", user.c_str(),
                    reply.firstByteToReplyMs, static_cast<double>(request.size()) / 1e6);
        // The same user again with a different list: the old one is replaced.
        request =
            ClientRequest(RegistrationBody(user, "secret", lists[3 - round % 2]), server.port());
        reply = Exchange(server.port(), request);
        if (!reply.ok || reply.body != "OK\n") {
            std::printf("re-registration failed\n");
            return 1;
        }
        replacing.push_back(reply.firstByteToReplyMs);
        std::printf("  %s again, every file different: %.0f ms\n", user.c_str(),
                    reply.firstByteToReplyMs);
        // And once more with that same list, as after a rescan that found no change.
        reply = Exchange(server.port(), request);
        if (!reply.ok || reply.body != "OK\n") {
            std::printf("repeated registration failed\n");
            return 1;
        }
        unchanged.push_back(reply.firstByteToReplyMs);
        std::printf("  %s again, same list: %.0f ms\n", user.c_str(), reply.firstByteToReplyMs);
    }
    server.Stop();
    std::printf("Reference: one INSERT per row with an index trigger...\n");
    std::fflush(stdout);
    double reference = RowByRowSeconds((scratch.path() / "reference.db").string(), lists[0]);
    double median = Median(fresh) / 1000;
    std::printf(
        "\nmedians: new user %.2f s (target: at most 2 s), every file different %.2f s, "
        "same list %.2f s\n",
        median, Median(replacing) / 1000, Median(unchanged) / 1000);
    std::printf("row-by-row reference (store only, no HTTP, no hashing) %.2f s: %.1fx slower\n",
                reference, reference / median);
    return 0;
}
