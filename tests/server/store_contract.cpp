#include "server/store_contract.h"

#include <algorithm>
#include <random>
#include <thread>

namespace brindle::server::test {

void StoreContract::SetUp() {
    std::string error;
    backend_ = GetParam().create(dir_.path(), error);
    if (!backend_ && error.rfind("skip:", 0) == 0) {
        GTEST_SKIP() << error;
    }
    ASSERT_TRUE(backend_) << error;
    store_ = backend_->Open(error);
    ASSERT_TRUE(store_) << error;
}

void StoreContract::Publish(const std::string& user, const std::vector<std::string>& names,
                            const std::string& ip) {
    std::vector<PublishedFile> files;
    for (const auto& name : names) {
        files.push_back({name, 10});
    }
    std::string hash = "h-" + user;
    ASSERT_EQ(store_->Register({user, hash, "DSL", ip, files}), StoreStatus::Ok);
}

std::vector<std::string> StoreContract::Names(std::string_view query, std::string_view pattern,
                                              std::string_view asker, int limit, bool forceScan) {
    std::vector<SearchHit> hits;
    SearchRequest request{query, pattern, asker, limit, forceScan};
    EXPECT_EQ(store_->Search(request, hits), StoreStatus::Ok);
    std::vector<std::string> names;
    for (const auto& hit : hits) {
        names.push_back(hit.userName + ":" + hit.fileName);
    }
    return names;
}

std::string StoreKindName(const ::testing::TestParamInfo<StoreKind>& info) {
    return info.param.name;
}

namespace {

using List = std::vector<std::string>;

TEST_P(StoreContract, SubstringSearchIgnoresCaseWithAndWithoutIndex) {
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

TEST_P(StoreContract, FileTypePatternSelectsNames) {
    Publish("ann", {"a.MP3", "b.mp3.txt", "c.ogg", "README", "d.mp3"});
    EXPECT_EQ(Names("", "*.mp3"), (List{"ann:a.MP3", "ann:d.mp3"}));
    EXPECT_EQ(Names("", "*.*").size(), 5u);
    EXPECT_EQ(Names("", "?.ogg"), List{"ann:c.ogg"});
    EXPECT_EQ(Names("mp3", "*.txt"), List{"ann:b.mp3.txt"});
    EXPECT_EQ(Names("", "*.wav"), List{});
}

// Names are bytes: control characters, backslashes and non-UTF-8 bytes come
// back as they went in, and wildcard characters of the database's own
// pattern language are plain text in queries and patterns.
TEST_P(StoreContract, NamesKeepEveryByteAndWildcardsStayLiteral) {
    const List names{"\xE9t\xE9.mp3", "tab\there.mp3", "back\\slash\\N.mp3", "cr\rx.mp3",
                     "100%_off.mp3",  "100x off.mp3",  "caf\xC3\xA9.MP3"};
    Publish("ann", names);
    List all;
    for (const auto& name : names) {
        all.push_back("ann:" + name);
    }
    EXPECT_EQ(Names("mp3"), all);
    EXPECT_EQ(Names("\xE9T\xE9"), List{"ann:\xE9t\xE9.mp3"});  // only ASCII letters fold
    EXPECT_EQ(Names("\xC9T\xC9"), List{});
    EXPECT_EQ(Names("\\n"), List{"ann:back\\slash\\N.mp3"});
    EXPECT_EQ(Names("B\tH"), List{"ann:tab\there.mp3"});
    EXPECT_EQ(Names("%_"), List{"ann:100%_off.mp3"});
    EXPECT_EQ(Names("0%"), Names("0%", "*.*", "nobody", 100, true));
    EXPECT_EQ(Names("", "*%*"), List{"ann:100%_off.mp3"});
    EXPECT_EQ(Names("", "*\\*"), List{"ann:back\\slash\\N.mp3"});
    EXPECT_EQ(Names("", "caf??.mp3"), List{"ann:caf\xC3\xA9.MP3"});
    std::vector<SearchHit> hits;
    ASSERT_EQ(store_->Search({"cr\r", "", "", 10, false}, hits), StoreStatus::Ok);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].fileName, "cr\rx.mp3");
}

TEST_P(StoreContract, OnlyLoggedInUsersOtherThanTheAskerInPublicationOrder) {
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
    EXPECT_TRUE(store_->Reachable());
    StoreStatistics statistics = store_->Statistics();
    EXPECT_EQ(statistics.usersLoggedIn, 2);
    EXPECT_EQ(statistics.filesPublished, 3);
    EXPECT_EQ(statistics.databaseErrors, 0);
}

TEST_P(StoreContract, ResultsCarryUserDetailsAndReRegistrationReplacesTheList) {
    std::vector<PublishedFile> files{{"old.mp3", 1}, {"kept.mp3", -1073741824}};
    ASSERT_EQ(store_->Register({"ann", "hash", "DSL,Cable", "10.0.0.5", files}), StoreStatus::Ok);
    std::vector<SearchHit> hits;
    ASSERT_EQ(store_->Search({"kept", "*.*", "", 10, false}, hits), StoreStatus::Ok);
    EXPECT_EQ(hits,
              (std::vector<SearchHit>{{"kept.mp3", "ann", "DSL,Cable", -1073741824, "10.0.0.5"}}));

    std::vector<PublishedFile> newer{{"kept.mp3", 5}, {"new.mp3", 6}};
    ASSERT_EQ(store_->Register({"ann", "hash", "T1", "10.0.0.9", newer}), StoreStatus::Ok);
    EXPECT_EQ(Names("mp3"), (List{"ann:kept.mp3", "ann:new.mp3"}));
    EXPECT_EQ(Names("old"), List{});
    EXPECT_EQ(backend_->StoredFileCount(), 2);
    UserRecord user;
    ASSERT_EQ(store_->FindUser("ann", user), StoreStatus::Ok);
    EXPECT_EQ(user.ip, "10.0.0.9");
    EXPECT_EQ(user.connection, "T1");
    EXPECT_TRUE(user.loggedIn);
    EXPECT_EQ(backend_->CheckIntegrity(), "ok");
}

TEST_P(StoreContract, UnchangedFilesKeepTheirPlaceWhenAListIsPublishedAgain) {
    Publish("ann", {"a1.mp3", "a2.mp3", "a3.mp3"});
    Publish("bob", {"b1.mp3"});
    Publish("ann", {"a3.mp3", "a1.mp3", "a4.mp3"});  // a2 gone, a4 new, order changed
    EXPECT_EQ(Names("mp3"), (List{"ann:a1.mp3", "ann:a3.mp3", "bob:b1.mp3", "ann:a4.mp3"}));
    EXPECT_EQ(Names("a2"), List{});
    // Copies of one name and size count: one of two goes, then a third comes last.
    Publish("ann", {"a1.mp3", "a1.mp3", "a3.mp3", "a4.mp3"});
    Publish("ann", {"a1.mp3", "a3.mp3", "a4.mp3"});
    EXPECT_EQ(Names("mp3"), (List{"ann:a1.mp3", "ann:a3.mp3", "bob:b1.mp3", "ann:a4.mp3"}));
    Publish("ann", {"a1.mp3", "a1.mp3", "a3.mp3", "a4.mp3"});
    EXPECT_EQ(Names("mp3"),
              (List{"ann:a1.mp3", "ann:a3.mp3", "bob:b1.mp3", "ann:a4.mp3", "ann:a1.mp3"}));
    Publish("ann", {});
    EXPECT_EQ(Names("mp3"), List{"bob:b1.mp3"});
    EXPECT_EQ(backend_->CheckIntegrity(), "ok");
}

TEST_P(StoreContract, PasswordHashGuardsRegistrationAndLogOut) {
    std::vector<PublishedFile> files{{"a.mp3", 1}};
    ASSERT_EQ(store_->Register({"ann", "hash-1", "", "10.0.0.1", files}), StoreStatus::Ok);
    std::vector<PublishedFile> other{{"b.mp3", 1}};
    EXPECT_EQ(store_->Register({"ann", "hash-2", "", "10.0.0.2", other}), StoreStatus::Conflict);
    EXPECT_EQ(Names("mp3"), List{"ann:a.mp3"});  // nothing of the refused one stayed
    EXPECT_EQ(store_->LogOut("ann", "hash-2"), StoreStatus::Conflict);
    EXPECT_EQ(store_->LogOut("zed", "hash-1"), StoreStatus::NotFound);
    EXPECT_EQ(store_->LogOut("ann", "hash-1"), StoreStatus::Ok);
    UserRecord user;
    EXPECT_EQ(store_->FindUser("zed", user), StoreStatus::NotFound);
    EXPECT_EQ(store_->FindUser("zed", user, ReadFreshness::MayLag), StoreStatus::NotFound);
    ASSERT_EQ(store_->FindUser("ann", user), StoreStatus::Ok);
    EXPECT_FALSE(user.loggedIn);
    EXPECT_EQ(user.passwordHash, "hash-1");
    // A NUL byte is part of a name, never its end.
    const std::string withNul("ann\0x", 5);
    EXPECT_EQ(store_->FindUser(withNul, user), StoreStatus::NotFound);
    EXPECT_EQ(store_->LogOut(withNul, "hash-1"), StoreStatus::NotFound);
    ASSERT_EQ(store_->Register({"ann", "hash-1", "", "10.0.0.1", files}), StoreStatus::Ok);
    EXPECT_EQ(Names("mp3", "*.*", withNul), List{"ann:a.mp3"});
    EXPECT_EQ(Names(std::string("a\0", 2)), List{});
}

// The longest address text a registration records (an IPv6 address of eight
// full groups) comes back whole from lookups and searches, also after a reopen.
TEST_P(StoreContract, KeepsTheLongestIpv6AddressWhole) {
    const std::string longest = "2001:db8:1234:5678:9abc:def0:fedc:ba98";
    Publish("ann", {"a.mp3"}, longest);
    store_.reset();
    std::string error;
    store_ = backend_->Open(error);
    ASSERT_TRUE(store_) << error;
    UserRecord user;
    ASSERT_EQ(store_->FindUser("ann", user), StoreStatus::Ok);
    EXPECT_EQ(user.ip, longest);
    std::vector<SearchHit> hits;
    ASSERT_EQ(store_->Search({"a.mp3", "*.*", "", 10, false}, hits), StoreStatus::Ok);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].ip, longest);
}

TEST_P(StoreContract, EverythingSurvivesReopening) {
    Publish("ann", {"one.mp3", "two.mp3"});
    Publish("bob", {"three.mp3"});
    store_.reset();
    std::string error;
    store_ = backend_->Open(error);
    ASSERT_TRUE(store_) << error;
    EXPECT_EQ(Names("mp3"), (List{"ann:one.mp3", "ann:two.mp3", "bob:three.mp3"}));
    EXPECT_EQ(backend_->CheckIntegrity(), "ok");
}

// Registrations, searches and lookups from many threads at once, several of
// them registering the same new user.
TEST_P(StoreContract, ServesManyThreadsAtOnce) {
    constexpr int kThreads = 12;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<PublishedFile> files;
            std::vector<std::string> names;
            for (int i = 0; i < 50; ++i) {
                names.push_back("t" + std::to_string(t) + "-" + std::to_string(i) + ".mp3");
            }
            for (const auto& name : names) {
                files.push_back({name, 1});
            }
            std::vector<PublishedFile> shared{{"shared.ogg", 2}};
            for (int round = 0; round < 5; ++round) {
                std::string user = "user" + std::to_string(t);
                std::vector<SearchHit> hits;
                UserRecord record;
                failures[t] +=
                    (store_->Register({user, "h", "", "10.0.0.1", files}) != StoreStatus::Ok) +
                    (store_->Register({"everyone", "h", "", "10.0.0.2", shared}) !=
                     StoreStatus::Ok) +
                    (store_->Search({"mp3", "*.mp3", user, 20, false}, hits) != StoreStatus::Ok) +
                    (store_->FindUser(user, record, ReadFreshness::MayLag) != StoreStatus::Ok);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
    EXPECT_EQ(Names("", "*.mp3", "nobody", 10000).size(), kThreads * 50u);
    EXPECT_EQ(Names("shared"), List{"everyone:shared.ogg"});
}

// The index only narrows the candidates: whatever the bytes, it must find
// exactly what a full scan finds.
TEST_P(StoreContract, IndexedSearchAgreesWithFullScan) {
    std::mt19937 random(7);
    const std::string alphabet = std::string("abcABC.\\ _\"*?%") + "\xC3\xA9\xE9\x80";
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
    EXPECT_EQ(backend_->StoredFileCount(), 4 * 251);
    EXPECT_EQ(backend_->CheckIntegrity(), "ok");
}

}  // namespace
}  // namespace brindle::server::test
