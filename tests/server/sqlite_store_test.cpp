#include "server/store/sqlite/sqlite_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <mutex>
#include <string>
#include <vector>

#include "server/store_contract.h"
#include "support/test_support.h"

namespace brindle::server {
namespace {

using brindle::test::TempDir;
using test::StoreContract;

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        store_ = SqliteStore::Open(Path(), error);
        ASSERT_TRUE(store_) << error;
    }
    std::string Path() const { return (dir_.path() / "directory.db").string(); }

    // Registers `user` (password hash "h-" + user) with the named files, each of size 10.
    void Publish(const std::string& user, const std::vector<std::string>& names,
                 const std::string& ip = "10.0.0.1") {
        std::vector<PublishedFile> files;
        for (const auto& name : names) {
            files.push_back({name, 10});
        }
        std::string hash = "h-" + user;
        ASSERT_EQ(store_->Register({user, hash, "DSL", ip, files}), StoreStatus::Ok);
    }

    TempDir dir_;
    std::unique_ptr<SqliteStore> store_;
};

// The general behaviour, shared with the other stores.
class SqliteBackend : public test::StoreBackend {
  public:
    explicit SqliteBackend(std::filesystem::path path) : path_(std::move(path)) {}
    std::unique_ptr<DirectoryStore> Open(std::string& error) override {
        return SqliteStore::Open(path_.string(), error);
    }
    long long StoredFileCount() override {
        std::string error;
        auto store = SqliteStore::Open(path_.string(), error);
        return store ? store->FileCount() : -1;
    }
    std::string CheckIntegrity() override {
        std::string error;
        auto store = SqliteStore::Open(path_.string(), error);
        return store ? store->CheckIntegrity() : error;
    }

  private:
    std::filesystem::path path_;
};

INSTANTIATE_TEST_SUITE_P(Sqlite, StoreContract,
                         ::testing::Values(test::StoreKind{
                             "Sqlite",
                             [](const std::filesystem::path& folder,
                                std::string&) -> std::unique_ptr<test::StoreBackend> {
                                 return std::make_unique<SqliteBackend>(folder / "directory.db");
                             }}),
                         test::StoreKindName);

TEST_F(StoreTest, RefusesAFileThatIsNotADatabase) {
    auto path = dir_.WriteFile("junk.db", std::string(8192, 'x'));
    std::string error;
    EXPECT_FALSE(SqliteStore::Open(path.string(), error));
    EXPECT_FALSE(error.empty());
}

// Database failures met while serving go to the store's log, one line each,
// and the request fails instead of answering from a broken index.
TEST_F(StoreTest, DatabaseFailuresGoToTheLog) {
    Publish("ann", {"beatles.mp3"});
    store_.reset();
    std::vector<std::string> lines;
    std::mutex linesLock;
    SqliteStore::Options options;
    options.log = [&](const std::string& line) {
        std::lock_guard<std::mutex> hold(linesLock);
        lines.push_back(line);
    };
    std::string error;
    store_ = SqliteStore::Open(Path(), error, options);
    ASSERT_TRUE(store_) << error;
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "DROP TABLE name_trigrams", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);

    std::vector<SearchHit> hits;
    EXPECT_EQ(store_->Search({"beatles", "*.*", "bob", 10, false}, hits), StoreStatus::Failed);
    store_.reset();  // the sink refers to this test's locals
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("database: no such table: name_trigrams (in: SELECT", 0), 0u)
        << lines[0];
}

}  // namespace
}  // namespace brindle::server
