#include "server/store/postgres/search_plan.h"

#include <cmath>
#include <string_view>

#include "server/store/name_filter.h"

namespace brindle::server {
namespace {

// The trigram index serves lower(name COLLATE "C") only: the same comparison
// on an expression it does not cover makes a plain scan.
constexpr char kIndexedName[] = "lower(f.name COLLATE \"C\")";
constexpr char kUnindexedName[] = "(lower(f.name COLLATE \"C\") || '')";
// The folded text after a name's last dot (the whole name without one), which
// the type index serves together with the publishing order.
constexpr char kNameType[] = "lower(reverse(split_part(reverse(f.name COLLATE \"C\"), '.', 1)))";

bool HasNul(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

bool AnyType(const SearchRequest& request) {
    return request.pattern.empty() || request.pattern == "*.*";
}

std::string Folded(std::string_view text) {
    std::string folded;
    for (char c : text) {
        folded += FoldAscii(c);
    }
    return folded;
}

// Appends `text` ASCII-folded with LIKE's wildcards and escape character made literal.
void AppendLikeLiteral(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') {
            out += '\\';
        }
        out += FoldAscii(c);
    }
}

// The query as a LIKE pattern for names holding it anywhere.
std::string ContainsLike(std::string_view query) {
    std::string like = "%";
    AppendLikeLiteral(like, query);
    like += '%';
    return like;
}

// The file-type glob as a LIKE pattern: '*' any run of bytes, '?' one byte.
std::string GlobToLike(std::string_view glob) {
    std::string like;
    for (char c : glob) {
        if (c == '*') {
            like += '%';
        } else if (c == '?') {
            like += '_';
        } else {
            AppendLikeLiteral(like, std::string_view(&c, 1));
        }
    }
    return like;
}

// For a pattern "*.EXT" whose EXT holds no wildcard and no dot: EXT folded,
// what kNameType is for every name the pattern matches. Empty for any other.
std::string PatternType(std::string_view pattern) {
    if (pattern.size() < 3 || pattern.substr(0, 2) != "*." ||
        pattern.find_first_of("*?.", 2) != std::string_view::npos) {
        return {};
    }
    return Folded(pattern.substr(2));
}

// A rare query asks the index for its two rarest runs of letters or digits
// only, and the whole query and the file type are checked on what it finds, in
// forms the index does not serve. A common query (share p of N names) walks the
// files in order and stops at the limit: about limit / p names read in order,
// against p * N read one by one through the index (about four times the cost
// each), so a query is common when 4 * p * p * N > limit. None for a common query.
std::vector<std::string> RareRuns(std::string_view folded, int limit, const TrigramSample& sample) {
    double rows = sample.tableRows() > 1 ? sample.tableRows() : 1;
    if (sample.HeldByAtLeast(folded, std::sqrt(limit / (4 * rows)))) {
        return {};
    }
    return sample.RarestRuns(folded, 2);
}

// The candidates are found first, then ordered: the planner would otherwise
// walk all files in order when it misjudges how rare they are.
std::string CandidatesThenOrderSql(const std::string& users, const std::string& files) {
    return "WITH candidates AS MATERIALIZED (SELECT f.id, f.user_id, f.name, f.size"
           " FROM files AS f WHERE " +
           files +
           ")"
           " SELECT c.name, u.name, u.connection, c.size, u.ip"
           " FROM candidates AS c JOIN users AS u ON u.id = c.user_id WHERE " +
           users + " ORDER BY c.id LIMIT $1::bigint";
}

std::string FilesInOrderSql(const std::string& users, const std::string& files) {
    return "SELECT f.name, u.name, u.connection, f.size, u.ip"
           " FROM files AS f JOIN users AS u ON u.id = f.user_id WHERE " +
           users + " AND " + files + " ORDER BY f.id LIMIT $1::bigint";
}

}  // namespace

// No stored name holds a NUL byte: a query or pattern with one (other than the
// any-type patterns) matches nothing.
bool SearchFindsNothing(const SearchRequest& request) {
    return request.limit <= 0 || HasNul(request.query) ||
           (!AnyType(request) && HasNul(request.pattern));
}

bool SearchPlanUsesSample(const SearchRequest& request) {
    return !SearchFindsNothing(request) && !request.forceScan && !request.query.empty();
}

std::optional<SearchPlan> PlanSearch(const SearchRequest& request, const TrigramSample* sample) {
    if (SearchFindsNothing(request)) {
        return std::nullopt;
    }
    SearchPlan plan;
    auto bind = [&plan](std::string value) {
        plan.params.push_back(std::move(value));
        return "$" + std::to_string(plan.params.size());
    };
    bind(std::to_string(request.limit));
    std::string users = "u.logged_in";
    // No asker, or one whose name holds a NUL byte (which no user's does): nobody's files are left
    // out.
    if (!request.askingUser.empty() && !HasNul(request.askingUser)) {
        users += " AND u.name <> " + bind(std::string(request.askingUser));
    }
    std::string folded = Folded(request.query);
    if (sample != nullptr && SearchPlanUsesSample(request)) {
        plan.indexRuns = RareRuns(folded, request.limit, *sample);
    }
    bool indexed = !plan.indexRuns.empty();
    std::string name = request.forceScan ? kUnindexedName : kIndexedName;
    std::string files = "true";
    for (const std::string& run : plan.indexRuns) {
        files += " AND " + name + " LIKE " + bind("%" + run + "%");
    }
    if (indexed) {
        files += " AND strpos(" + name + ", " + bind(folded) + ") > 0";
    } else if (!request.query.empty()) {
        files += " AND " + name + " LIKE " + bind(ContainsLike(request.query));
    }
    if (!AnyType(request)) {
        // Files of the type alone are walked, in order, when the type index can tell them.
        std::string type =
            indexed || request.forceScan ? std::string() : PatternType(request.pattern);
        if (!type.empty()) {
            files += " AND " + std::string(kNameType) + " = " + bind(type);
        }
        files += " AND " + (indexed ? std::string(kUnindexedName) : name) + " LIKE " +
                 bind(GlobToLike(request.pattern));
    }
    plan.sql = indexed ? CandidatesThenOrderSql(users, files) : FilesInOrderSql(users, files);
    plan.orderedWalk = !indexed && !request.forceScan && !request.query.empty();
    return plan;
}

}  // namespace brindle::server
