#include "server/store/postgres/search_cache.h"

#include <gtest/gtest.h>

#include <sstream>

namespace brindle::server {
namespace {

// An answer with one hit for each blank-separated user of `users`.
SearchCache::Answer AnswerOf(const std::string& users, int asked) {
    SearchCache::Answer answer;
    answer.asked = asked;
    std::istringstream words(users);
    for (std::string user; words >> user;) {
        answer.hits.push_back({user + ".mp3", user, "DSL", 1, "10.0.0.1"});
    }
    return answer;
}

std::string Users(const std::vector<SearchHit>& hits) {
    std::string users;
    for (const auto& hit : hits) {
        users += hit.userName + ' ';
    }
    return users;
}

TEST(SearchCache, KeysFoldCaseAndTellQueryFromPattern) {
    EXPECT_EQ(SearchCache::Key({"Song", "*.MP3", "a"}), SearchCache::Key({"song", "*.mp3", "b"}));
    EXPECT_EQ(SearchCache::Key({"song", "*.*", "a"}), SearchCache::Key({"song", "", "a"}));
    EXPECT_NE(SearchCache::Key({"ab", "c", "a"}), SearchCache::Key({"a", "bc", "a"}));
    EXPECT_NE(SearchCache::Key({"song", "*.mp3", "a"}), SearchCache::Key({"song", "", "a"}));
}

TEST(SearchCache, AnAnswerServesReadersOfItsGenerationOrAnEarlierOne) {
    SearchCache cache;
    std::vector<SearchHit> out;
    const SearchRequest request{"song", "", "me", 2};
    cache.Keep("k", 5, AnswerOf("ann bob", 3));
    EXPECT_FALSE(cache.Find("k", 6, request, out));
    EXPECT_FALSE(cache.Find("other", 5, request, out));
    ASSERT_TRUE(cache.Find("k", 4, request, out));
    ASSERT_TRUE(cache.Find("k", 5, request, out));
    EXPECT_EQ(Users(out), "ann bob ");
    cache.Keep("k", 4, AnswerOf("old", 3));  // read before the newest write: not kept
    ASSERT_TRUE(cache.Find("k", 5, request, out));
    EXPECT_EQ(Users(out), "ann bob ");
    cache.Keep("k", 6, AnswerOf("new", 3));
    ASSERT_TRUE(cache.Find("k", 6, request, out));
    EXPECT_EQ(Users(out), "new ");
    EXPECT_EQ(cache.hits(), 4);
}

TEST(SearchCache, TheLeastRecentlyUsedAnswersMakeRoomAndOldOnesServeNobody) {
    // Room for two answers of one hit each: then no more, nor one of three hits.
    SearchCache cache({.maxBytes = 2 * SearchCache::Cost("a", AnswerOf("ann", 1))});
    std::vector<SearchHit> out;
    const SearchRequest request{"song", "", "me", 1};
    cache.Keep("a", 1, AnswerOf("ann", 1));
    cache.Keep("b", 1, AnswerOf("bob", 1));
    ASSERT_TRUE(cache.Find("a", 1, request, out));
    cache.Keep("c", 1, AnswerOf("cat", 1));
    EXPECT_TRUE(cache.Find("a", 1, request, out));
    EXPECT_FALSE(cache.Find("b", 1, request, out));
    EXPECT_TRUE(cache.Find("c", 1, request, out));
    cache.Keep("d", 1, AnswerOf("dan eve fay", 4));
    EXPECT_FALSE(cache.Find("d", 1, request, out));

    SearchCache expiring({.maxAge = std::chrono::milliseconds(-1)});
    expiring.Keep("a", 1, AnswerOf("ann", 1));
    EXPECT_FALSE(expiring.Find("a", 1, request, out));
}

struct TakeCase {
    const char* label;
    const char* users;
    int asked;
    const char* asker;
    int limit;
    bool taken;
    const char* expected;
};

void PrintTo(const TakeCase& c, std::ostream* out) {
    *out << c.label;
}

class TakeOthersHitsTest : public ::testing::TestWithParam<TakeCase> {};

TEST_P(TakeOthersHitsTest, LeavesOutTheAskerOrSaysItCannot) {
    const TakeCase& c = GetParam();
    std::vector<SearchHit> out;
    EXPECT_EQ(TakeOthersHits(AnswerOf(c.users, c.asked), c.asker, c.limit, out), c.taken);
    EXPECT_EQ(Users(out), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TakeOthersHitsTest,
    ::testing::Values(TakeCase{"FirstOfMany", "ann bob cat", 3, "me", 2, true, "ann bob "},
                      TakeCase{"AskerLeftOut", "me ann bob", 3, "me", 2, true, "ann bob "},
                      TakeCase{"TooFewWhenMoreMayMatch", "me ann me", 3, "me", 2, false, ""},
                      TakeCase{"AllThereAreWhenComplete", "me ann", 3, "me", 2, true, "ann "},
                      TakeCase{"NothingWanted", "ann", 3, "me", 0, true, ""}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace brindle::server
