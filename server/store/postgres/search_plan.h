// How the shared store asks PostgreSQL for a search: the statement, its
// parameters and how the planner must run it. Worked out from the request and
// a sample of the stored names alone, so choosing needs no database.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/store/directory_store.h"
#include "server/store/postgres/trigram_sample.h"

namespace brindle::server {

struct SearchPlan {
    std::string sql;
    // The text parameters $1, $2, ... in order; $1 is the limit.
    std::vector<std::string> params;
    // The rarest runs of the query the trigram index looks up (folded, without
    // LIKE wildcards); the whole query is then checked on what it finds. Empty
    // when the files are filtered without them.
    std::vector<std::string> indexRuns;
    // A common query: the files are walked in publishing order until the limit
    // is reached, with the planner kept from reading every match first.
    bool orderedWalk = false;
};

// Whether `request` can match nothing whatever is stored: no results wanted,
// or a query or type pattern holding a NUL byte, which no stored name holds.
[[nodiscard]] bool SearchFindsNothing(const SearchRequest& request);

// Whether planning `request` looks at the sample of stored names: only a
// search with a query that may use the name index does.
[[nodiscard]] bool SearchPlanUsesSample(const SearchRequest& request);

// The plan for `request`; nullopt when it finds nothing without asking (no
// results wanted, or a query or type pattern holding a NUL byte, which no
// stored name holds). `sample` is read only when SearchPlanUsesSample(request);
// without one every query counts as common.
[[nodiscard]] std::optional<SearchPlan> PlanSearch(const SearchRequest& request,
                                                   const TrigramSample* sample);

}  // namespace brindle::server
