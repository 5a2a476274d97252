// The directory server program killed outright (SIGKILL) while clients keep
// registering: after each restart on the same database every registration
// that was answered "OK" is there whole (address and every file), and the
// database passes its own consistency checks.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "directory/directory_client.h"
#include "directory/search.h"
#include "faults/fault_support.h"
#include "server/store/sqlite/sqlite_store.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

using namespace std::chrono_literals;

struct Completed {
    std::string user;
    std::size_t files = 0;
};

// The files user `user` publishes: the first with a name unique to it.
SharedFileList FilesOf(const std::string& user, std::size_t count) {
    SharedFileList files;
    for (std::size_t k = 0; k < count; ++k) {
        files.push_back({"dir\\" + user + "-file" + std::to_string(k) + ".mp3",
                         static_cast<long long>(1000 + k)});
    }
    return files;
}

// Registers new users one after another until a registration fails (the
// server is gone) or `stop` is set; each one answered "OK" is recorded.
void RegisterUntilFailure(const std::string& url, const std::string& prefix,
                          std::atomic<bool>& stop, std::mutex& lock,
                          std::vector<Completed>& completed) {
    FakeMessageBox messages;
    FakeProgressFactory progress;
    for (int i = 0; !stop; ++i) {
        AppSettings settings;
        settings.serverUrl = url;
        settings.userName = prefix + std::to_string(i);
        settings.password = "pw-" + settings.userName;
        settings.connection = "DSL,Cable";
        // Every few users publish a long list, so some kills land mid-body.
        std::size_t count = i % 3 == 2 ? 3000 : 3;
        RegistrationState state;
        DirectoryContext context{settings, messages, progress, RequestTimeouts{2000ms, 5000ms}};
        if (!RegisterWithServer(context, FilesOf(settings.userName, count), state)) {
            return;
        }
        std::lock_guard<std::mutex> hold(lock);
        completed.push_back({settings.userName, count});
    }
}

TEST(DirectoryServerKilled, EveryCompletedRegistrationSurvivesSigkill) {
    TempDir dir;
    const auto database = dir.path() / "directory.db";
    const auto log = dir.path() / "server.log";
    std::mutex lock;
    std::vector<Completed> completed;

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        DirectoryProcess server(BRINDLENET_DIRECTORY_BINARY, database, log);
        ASSERT_TRUE(server.Start()) << ReadWholeFile(log);
        std::size_t before = completed.size();
        std::atomic<bool> stop{false};
        std::thread client(RegisterUntilFailure, server.url(), "r" + std::to_string(round) + "u",
                           std::ref(stop), std::ref(lock), std::ref(completed));
        // Kill as soon as a few have completed: the next one is under way.
        bool some = WaitFor(
            [&] {
                std::lock_guard<std::mutex> hold(lock);
                return completed.size() >= before + 2 + static_cast<std::size_t>(round);
            },
            60s);
        EXPECT_EQ(server.Kill(SIGKILL), -SIGKILL);
        stop = true;
        client.join();
        ASSERT_TRUE(some) << ReadWholeFile(log);
    }

    DirectoryProcess server(BRINDLENET_DIRECTORY_BINARY, database, log);
    ASSERT_TRUE(server.Start()) << ReadWholeFile(log);
    AppSettings asker;
    asker.serverUrl = server.url();
    asker.userName = "checker";
    FakeMessageBox messages;
    FakeProgressFactory progress;
    DirectoryContext context{asker, messages, progress, RequestTimeouts{2000ms, 10000ms}};
    for (const Completed& done : completed) {
        SCOPED_TRACE("user " + done.user);
        EXPECT_EQ(LookupUserIp(context, done.user), LookupAddress("127.0.0.1"));
        SearchResultsTable table;
        RunSearch(context, SearchQuery{done.user + "-file", std::string("*.mp3"), "1000"}, table);
        ASSERT_EQ(table.size(), std::min<std::size_t>(done.files, 1000));
        for (const SearchResult& row : table.rows()) {
            EXPECT_EQ(row.userName, done.user);
            EXPECT_EQ(row.connection, "DSL,Cable");
            EXPECT_EQ(row.ip, "127.0.0.1");
        }
    }
    EXPECT_TRUE(messages.texts().empty());
    EXPECT_EQ(server.Kill(SIGTERM), 0);

    std::string error;
    auto store = server::SqliteStore::Open(database.string(), error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->CheckIntegrity(), "ok");
}

}  // namespace
}  // namespace brindle::test
