#include "server/sqlite_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace brindle::server {
namespace {

using brindle::test::TempDir;

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
        ASSERT_EQ(store_->Register({user, hash, "DSL", ip, &files}), StoreStatus::Ok);
    }

    std::vector<std::string> Names(std::string_view query, std::string_view pattern = "*.*",
                                   std::string_view asker = "nobody", int limit = 100,
                                   bool forceScan = false) {
        std::vector<SearchHit> hits;
        SearchRequest request{query, pattern, asker, limit, forceScan};
        EXPECT_EQ(store_->Search(request, hits), StoreStatus::Ok);
        std::vector<std::string> names;
        for (const auto& hit : hits) {
            names.push_back(hit.userName + ":" + hit.fileName);
        }
        return names;
    }

    TempDir dir_;
    std::unique_ptr<SqliteStore> store_;
};

using List = std::vector<std::string>;

TEST_F(StoreTest, SubstringSearchIgnoresCaseWithAndWithoutIndex) {
    Publish("ann", {"Music\\The Beatles - Help.mp3", "notes.txt", "BEATLEMANIA.ogg"});
    Publish("bob", {"beat.wav", "xBeAtLeSx.mp3"});
    // Three or more characters go through the trigram index, shorter ones scan.
    EXPECT_EQ(Names("beatles"), (List{"ann:Music\\The Beatles - Help.mp3", "bob:xBeAtLeSx.mp3"}));
    EXPECT_EQ(Names("BEA"), (List{"ann:Music\\The Beatles - Help.mp3", "ann:BEATLEMANIA.ogg",
                                  "bob:beat.wav", "bob:xBeAtLeSx.mp3"}));
    EXPECT_EQ(Names("Ea"), Names("ea", "*.*", "nobody", 100, true));
    EXPECT_EQ(Names("s."), List{"ann:notes.txt"});
    EXPECT_EQ(Names("").size(), 5u);
    EXPECT_EQ(Names("no such name"), List{});
    // Quotes and FTS syntax in the query are plain text.
    Publish("cid", {"say \"hi\" AND bye.txt", "a*b.txt"});
    EXPECT_EQ(Names("\"hi\" and"), List{"cid:say \"hi\" AND bye.txt"});
    EXPECT_EQ(Names("a*b"), List{"cid:a*b.txt"});
}

TEST_F(StoreTest, FileTypePatternSelectsNames) {
    Publish("ann", {"a.MP3", "b.mp3.txt", "c.ogg", "README", "d.mp3"});
    EXPECT_EQ(Names("", "*.mp3"), (List{"ann:a.MP3", "ann:d.mp3"}));
    EXPECT_EQ(Names("", "*.*").size(), 5u);
    EXPECT_EQ(Names("", "?.ogg"), List{"ann:c.ogg"});
    EXPECT_EQ(Names("mp3", "*.txt"), List{"ann:b.mp3.txt"});
    EXPECT_EQ(Names("", "*.wav"), List{});
}

TEST_F(StoreTest, OnlyLoggedInUsersOtherThanTheAskerInPublicationOrder) {
    Publish("ann", {"song1.mp3", "song2.mp3"});
    Publish("bob", {"song3.mp3"});
    Publish("cid", {"song4.mp3"});
    EXPECT_EQ(Names("song", "*.*", "bob"),
              (List{"ann:song1.mp3", "ann:song2.mp3", "cid:song4.mp3"}));
    EXPECT_EQ(store_->LogOut("cid", "h-cid"), StoreStatus::Ok);
    EXPECT_EQ(Names("song", "*.*", "bob"), (List{"ann:song1.mp3", "ann:song2.mp3"}));
    EXPECT_EQ(Names("so", "*.*", "ann"), List{"bob:song3.mp3"});
    // The limit keeps the first matches, and the order is the same every time.
    EXPECT_EQ(Names("song", "*.*", "nobody", 2), (List{"ann:song1.mp3", "ann:song2.mp3"}));
    EXPECT_EQ(Names("song", "*.*", "nobody", 2, true), (List{"ann:song1.mp3", "ann:song2.mp3"}));
}

TEST_F(StoreTest, ResultsCarryUserDetailsAndReRegistrationReplacesTheList) {
    std::vector<PublishedFile> files{{"old.mp3", 1}, {"kept.mp3", -1073741824}};
    ASSERT_EQ(store_->Register({"ann", "hash", "DSL,Cable", "10.0.0.5", &files}), StoreStatus::Ok);
    std::vector<SearchHit> hits;
    ASSERT_EQ(store_->Search({"kept", "*.*", "", 10, false}, hits), StoreStatus::Ok);
    EXPECT_EQ(hits,
              (std::vector<SearchHit>{{"kept.mp3", "ann", "DSL,Cable", -1073741824, "10.0.0.5"}}));

    std::vector<PublishedFile> newer{{"kept.mp3", 5}, {"new.mp3", 6}};
    ASSERT_EQ(store_->Register({"ann", "hash", "T1", "10.0.0.9", &newer}), StoreStatus::Ok);
    EXPECT_EQ(Names("mp3"), (List{"ann:kept.mp3", "ann:new.mp3"}));
    EXPECT_EQ(Names("old"), List{});
    EXPECT_EQ(store_->FileCount(), 2);
    UserRecord user;
    ASSERT_EQ(store_->FindUser("ann", user), StoreStatus::Ok);
    EXPECT_EQ(user.ip, "10.0.0.9");
    EXPECT_EQ(user.connection, "T1");
    EXPECT_TRUE(user.loggedIn);
    EXPECT_EQ(store_->CheckIntegrity(), "ok");
}

TEST_F(StoreTest, UnchangedFilesKeepTheirPlaceWhenAListIsPublishedAgain) {
    Publish("ann", {"a1.mp3", "a2.mp3", "a3.mp3"});
    Publish("bob", {"b1.mp3"});
    Publish("ann", {"a3.mp3", "a1.mp3", "a4.mp3"});  // a2 gone, a4 new, order changed
    EXPECT_EQ(Names("mp3"), (List{"ann:a1.mp3", "ann:a3.mp3", "bob:b1.mp3", "ann:a4.mp3"}));
    EXPECT_EQ(Names("a2"), List{});
    Publish("ann", {});
    EXPECT_EQ(Names("mp3"), List{"bob:b1.mp3"});
    EXPECT_EQ(store_->CheckIntegrity(), "ok");
}

TEST_F(StoreTest, PasswordHashGuardsRegistrationAndLogOut) {
    std::vector<PublishedFile> files{{"a.mp3", 1}};
    ASSERT_EQ(store_->Register({"ann", "hash-1", "", "10.0.0.1", &files}), StoreStatus::Ok);
    std::vector<PublishedFile> other{{"b.mp3", 1}};
    EXPECT_EQ(store_->Register({"ann", "hash-2", "", "10.0.0.2", &other}), StoreStatus::Conflict);
    EXPECT_EQ(Names("mp3"), List{"ann:a.mp3"});  // nothing of the refused one stayed
    EXPECT_EQ(store_->LogOut("ann", "hash-2"), StoreStatus::Conflict);
    EXPECT_EQ(store_->LogOut("zed", "hash-1"), StoreStatus::NotFound);
    EXPECT_EQ(store_->LogOut("ann", "hash-1"), StoreStatus::Ok);
    UserRecord user;
    EXPECT_EQ(store_->FindUser("zed", user), StoreStatus::NotFound);
    ASSERT_EQ(store_->FindUser("ann", user), StoreStatus::Ok);
    EXPECT_FALSE(user.loggedIn);
    EXPECT_EQ(user.passwordHash, "hash-1");
}

TEST_F(StoreTest, EverythingSurvivesReopening) {
    Publish("ann", {"one.mp3", "two.mp3"});
    Publish("bob", {"three.mp3"});
    store_.reset();
    std::string error;
    store_ = SqliteStore::Open(Path(), error);
    ASSERT_TRUE(store_) << error;
    EXPECT_EQ(Names("mp3"), (List{"ann:one.mp3", "ann:two.mp3", "bob:three.mp3"}));
    EXPECT_EQ(store_->CheckIntegrity(), "ok");
}

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

// The index only narrows the candidates: whatever the bytes, it must find
// exactly what a full scan finds.
TEST_F(StoreTest, IndexedSearchAgreesWithFullScan) {
    std::mt19937 random(7);
    const std::string alphabet = std::string("abcABC.\\ _\"*?") + "\xC3\xA9\xE9\x80";
    auto randomText = [&](int maxLength) {
        std::string text;
        int length = 1 + static_cast<int>(random() % maxLength);
        for (int i = 0; i < length; ++i) {
            text += alphabet[random() % alphabet.size()];
        }
        return text;
    };
    std::vector<std::vector<std::string>> lists(4);
    for (auto& list : lists) {
        for (int i = 0; i < 300; ++i) {
            list.push_back(randomText(12));
        }
    }
    auto compare = [&] {
        for (int i = 0; i < 150; ++i) {
            std::string query = randomText(5);
            std::string pattern = i % 3 == 0 ? "*" + randomText(3) + "*" : "*.*";
            ASSERT_EQ(Names(query, pattern, "user1", 1000),
                      Names(query, pattern, "user1", 1000, true))
                << "query [" << query << "] pattern [" << pattern << "]";
        }
    };
    for (int round = 0; round < 3; ++round) {
        for (std::size_t user = 0; user < lists.size(); ++user) {
            Publish("user" + std::to_string(user), lists[user]);
        }
        compare();
        // Next round: keep half of each list (in a new order), repeat a name,
        // add new ones.
        for (auto& list : lists) {
            std::shuffle(list.begin(), list.end(), random);
            list.resize(150);
            list.push_back(list.front());
            for (int i = 0; i < 100; ++i) {
                list.push_back(randomText(12));
            }
        }
    }
    EXPECT_EQ(store_->FileCount(), 4 * 251);
    EXPECT_EQ(store_->CheckIntegrity(), "ok");
}

}  // namespace
}  // namespace brindle::server
