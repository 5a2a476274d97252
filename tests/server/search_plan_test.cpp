#include "server/store/postgres/search_plan.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace brindle::server {
namespace {

using Params = std::vector<std::string>;

// 990 names that all hold "velvet", 10 (1%) that hold "zebra", none with
// "mirror", drawn from a table of a million names.
const TrigramSample& Sample() {
    static const TrigramSample sample = [] {
        TrigramSample built(1e6);
        for (int i = 0; i < 990; ++i) {
            built.Add("artist " + std::to_string(1000 + i) + "\\album 07\\velvet.mp3");
        }
        for (int i = 0; i < 10; ++i) {
            built.Add("zebra " + std::to_string(i) + ".ogg");
        }
        return built;
    }();
    return sample;
}

enum class Route { Filter, OrderedWalk, IndexRuns };

struct PlanCase {
    const char* label;
    SearchRequest request;
    Route route;
    // The parameters before the index runs (limit, asker) and after them.
    Params leading;
    Params trailing;
    bool withSample = true;
};

// Every placeholder of the statement has a parameter and every parameter is used.
void ExpectPlaceholdersMatch(const SearchPlan& plan) {
    std::set<std::size_t> used;
    const std::regex placeholder(R"(\$([0-9]+))");
    for (std::sregex_iterator it(plan.sql.begin(), plan.sql.end(), placeholder), end; it != end;
         ++it) {
        used.insert(std::stoul((*it)[1].str()));
    }
    std::set<std::size_t> expected;
    for (std::size_t i = 1; i <= plan.params.size(); ++i) {
        expected.insert(i);
    }
    EXPECT_EQ(used, expected) << plan.sql;
}

class SearchPlanShapes : public ::testing::TestWithParam<PlanCase> {};

TEST_P(SearchPlanShapes, ChoosesTheRouteAndBindsTheFilterAsLiterals) {
    const PlanCase& c = GetParam();
    std::optional<SearchPlan> plan = PlanSearch(c.request, c.withSample ? &Sample() : nullptr);
    ASSERT_TRUE(plan);
    Route route = !plan->indexRuns.empty() ? Route::IndexRuns
                  : plan->orderedWalk      ? Route::OrderedWalk
                                           : Route::Filter;
    EXPECT_EQ(route, c.route);
    EXPECT_FALSE(!plan->indexRuns.empty() && plan->orderedWalk);
    Params expected = c.leading;
    for (const std::string& run : plan->indexRuns) {
        EXPECT_EQ(run.size(), 3u);
        expected.push_back("%" + run + "%");
    }
    expected.insert(expected.end(), c.trailing.begin(), c.trailing.end());
    EXPECT_EQ(plan->params, expected);
    ExpectPlaceholdersMatch(*plan);
    // A plan that does not look at the sample is the same without one.
    if (!SearchPlanUsesSample(c.request)) {
        std::optional<SearchPlan> unsampled = PlanSearch(c.request, nullptr);
        ASSERT_TRUE(unsampled);
        EXPECT_EQ(unsampled->sql, plan->sql);
        EXPECT_EQ(unsampled->params, plan->params);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SearchPlanShapes,
    ::testing::Values(
        PlanCase{"EverythingOfOthers", {"", "", "bob", 100}, Route::Filter, {"100", "bob"}, {}},
        PlanCase{
            "WildcardTypeIsNoFilter", {"", "*.*", "bob", 100}, Route::Filter, {"100", "bob"}, {}},
        PlanCase{"ExtensionFolded",
                 {"", "*.MP3", "bob", 100},
                 Route::Filter,
                 {"100", "bob"},
                 {"mp3", "%.mp3"}},
        PlanCase{"OnlyAPlainExtensionIsATypeOfItsOwn",
                 {"", "*.tar.gz", "bob", 100},
                 Route::Filter,
                 {"100", "bob"},
                 {"%.tar.gz"}},
        PlanCase{"CommonQueryWalksTheFilesOfItsType",
                 {"Velvet", "*.Ogg", "bob", 100},
                 Route::OrderedWalk,
                 {"100", "bob"},
                 {"%velvet%", "ogg", "%.ogg"}},
        PlanCase{"GlobWildcardsBecomeLikeOnesAndLikeOnesStayLiteral",
                 {"", "?100%_\\*", "bob", 100},
                 Route::Filter,
                 {"100", "bob"},
                 {"_100\\%\\_\\\\%"}},
        PlanCase{"CommonQueryWalksInOrder",
                 {"Velvet", "", "bob", 100},
                 Route::OrderedWalk,
                 {"100", "bob"},
                 {"%velvet%"}},
        PlanCase{"RareQueryAsksTheIndexThenChecksTheWholeQuery",
                 {"Mirror", "*.MP3", "bob", 100},
                 Route::IndexRuns,
                 {"100", "bob"},
                 {"mirror", "%.mp3"}},
        PlanCase{"LikeWildcardsInARareQueryStayLiteral",
                 {"100%_a\\b", "", "bob", 100},
                 Route::IndexRuns,
                 {"100", "bob"},
                 {"100%_a\\b"}},
        PlanCase{"LikeWildcardsInACommonQueryAreEscaped",
                 {"100%_A\\b", "", "bob", 100},
                 Route::OrderedWalk,
                 {"100", "bob"},
                 {"%100\\%\\_a\\\\b%"},
                 false},
        PlanCase{"QueryWithoutRunsWalksInOrder",
                 {"%_", "", "bob", 100},
                 Route::OrderedWalk,
                 {"100", "bob"},
                 {"%\\%\\_%"}},
        // 1% of the names: common when 100 are wanted, rare when 1000 are.
        PlanCase{"FewWantedMakeAQueryCommon",
                 {"zebra", "", "bob", 100},
                 Route::OrderedWalk,
                 {"100", "bob"},
                 {"%zebra%"}},
        PlanCase{"ManyWantedMakeItRare",
                 {"zebra", "", "bob", 1000},
                 Route::IndexRuns,
                 {"1000", "bob"},
                 {"zebra"}},
        PlanCase{"ForcedScanSkipsIndexAndOrderedWalk",
                 {"mirror", "*.mp3", "bob", 100, true},
                 Route::Filter,
                 {"100", "bob"},
                 {"%mirror%", "%.mp3"}},
        PlanCase{"AskerHoldingNulIsNobody",
                 {"", "", std::string_view("b\0b", 3), 7},
                 Route::Filter,
                 {"7"},
                 {}},
        PlanCase{"NoAskerLeavesNobodyOut", {"", "", "", 7}, Route::Filter, {"7"}, {}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SearchPlan, RequestsThatCanMatchNothingAskNothing) {
    const std::vector<SearchRequest> requests{
        {"song", "", "bob", 0},
        {"song", "", "bob", -3},
        {std::string_view("so\0ng", 5), "", "bob", 100},
        {"song", std::string_view("*\0", 2), "bob", 100},
    };
    for (const SearchRequest& request : requests) {
        EXPECT_FALSE(SearchPlanUsesSample(request)) << request.limit;
        EXPECT_FALSE(PlanSearch(request, &Sample())) << request.limit;
    }
}

}  // namespace
}  // namespace brindle::server
