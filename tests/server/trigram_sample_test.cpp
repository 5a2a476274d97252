#include "server/store/postgres/trigram_sample.h"

#include <gtest/gtest.h>

namespace brindle::server {
namespace {

using Runs = std::vector<std::string>;

TEST(TrigramSample, PicksTheRarestRunsOfDifferentWordsAndSkipsFarCommonerOnes) {
    TrigramSample sample(1000);
    for (int i = 0; i < 100; ++i) {
        sample.Add("artist " + std::to_string(1000 + i) + "\\album 07\\velvet.mp3");
    }
    sample.Add("artist 0042\\mirror.mp3");
    sample.Add("artist 1042\\mirror.mp3");
    EXPECT_EQ(sample.names(), 102u);
    EXPECT_TRUE(sample.HeldByAtLeast("velvet", 0.9));
    EXPECT_FALSE(sample.HeldByAtLeast("velvet", 0.99));
    EXPECT_TRUE(sample.HeldByAtLeast("0042", 0.005));
    EXPECT_FALSE(sample.HeldByAtLeast("0042", 0.02));
    EXPECT_FALSE(sample.HeldByAtLeast("no such", 0.001));
    // "004" was never seen, "042" twice; "art" is in every name and not worth it.
    EXPECT_EQ(sample.RarestRuns("artist 0042", 2), (Runs{"004", "042"}));
    // Two rare words: a run of each, rather than two runs of one word.
    EXPECT_EQ(sample.RarestRuns("Mirror Zebra", 2), (Runs{"zeb", "mir"}));
    // Case folded; runs hold letters and digits only.
    EXPECT_EQ(sample.RarestRuns("ZEB", 2), Runs{"zeb"});
    EXPECT_EQ(sample.RarestRuns("a.b c-d", 2), Runs{});
    EXPECT_EQ(sample.RarestRuns("velvet", 1).size(), 1u);
}

}  // namespace
}  // namespace brindle::server
