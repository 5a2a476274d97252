#include "server/store/sqlite/trigram_index.h"

#include <algorithm>
#include <utility>

namespace brindle::server {
namespace {

constexpr char kFilterPointerType[] = "brindle-name-filter";

const char* const kIndexSchema[] = {
    // Which files hold each trigram, without positions (a search only needs
    // the candidates; it checks every name itself). It keeps no copy of the
    // names but reads them from `files`.
    "CREATE VIRTUAL TABLE IF NOT EXISTS files_fts USING fts5("
    "  name, content='files', content_rowid='id', tokenize='trigram case_sensitive 0',"
    "  detail=none, columnsize=0)",
    // How often each trigram occurs in the stored names (key 0: how many files
    // there are), so a search asks the index for its rarest trigrams only.
    "CREATE TABLE IF NOT EXISTS name_trigrams("
    "  trigram INTEGER PRIMARY KEY, occurrences INTEGER NOT NULL)",
};

// Index entries are collected in memory up to this size before they are written.
constexpr char kIndexMemory[] =
    "INSERT INTO files_fts(files_fts, rank) VALUES('hashsize', 67108864)";

constexpr char kCountTrigram[] =
    "INSERT INTO name_trigrams(trigram, occurrences) VALUES(?1, ?2)"
    " ON CONFLICT(trigram) DO UPDATE SET occurrences = occurrences + excluded.occurrences";
constexpr char kTrigramOccurrences[] = "SELECT occurrences FROM name_trigrams WHERE trigram = ?1";
constexpr char kAllNames[] = "SELECT name FROM files";

// Trigrams occurring more often than this share of the number of files are
// left out of an index query: walking their long lists costs more than
// checking the names.
constexpr long long kCommonTrigramShare = 10;
constexpr std::size_t kMaxQueryTrigrams = 3;

// The filter is bound as a pointer, so it is compiled once per search.
void NameMatchesFunction(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* filter =
        static_cast<const NameFilter*>(sqlite3_value_pointer(argv[1], kFilterPointerType));
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    if (filter == nullptr || text == nullptr) {
        sqlite3_result_int(context, 0);
        return;
    }
    std::string_view name(text, static_cast<std::size_t>(sqlite3_value_bytes(argv[0])));
    sqlite3_result_int(context, filter->Matches(name) ? 1 : 0);
}

}  // namespace

bool CreateTrigramIndex(SqliteConnection& writer, std::string& error) {
    for (const char* statement : kIndexSchema) {
        if (!writer.Exec(statement, &error)) {
            return false;
        }
    }
    return true;
}

bool SetTrigramIndexMemory(SqliteConnection& writer, std::string& error) {
    return writer.Exec(kIndexMemory, &error);
}

bool CountTrigramsIfMissing(SqliteConnection& writer, std::string& error) {
    {
        SqliteQuery total(writer, kTrigramOccurrences);
        if (!total.ok()) {
            error = "cannot read the trigram counts";
            return false;
        }
        total.Bind(1, std::int64_t{0});
        int rc = total.Step();
        if (rc == SQLITE_ROW) {
            return true;
        }
    }
    SqliteTransaction transaction(writer);
    TrigramTally tally;
    {
        SqliteQuery names(writer, kAllNames);
        if (!transaction.began() || !names.ok()) {
            error = "cannot count the trigrams of the stored names";
            return false;
        }
        while (names.Step() == SQLITE_ROW) {
            tally.Add(names.Text(0), 1);
        }
    }
    if (!writer.Exec("DELETE FROM name_trigrams", &error) || !tally.Write(writer) ||
        !transaction.Commit()) {
        error = "cannot store the trigram counts";
        return false;
    }
    return true;
}

bool InstallNameMatches(SqliteConnection& reader) {
    return sqlite3_create_function_v2(reader.db(), "name_matches", 2, SQLITE_UTF8, nullptr,
                                      NameMatchesFunction, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void BindNameFilter(SqliteQuery& query, int index, const NameFilter& filter) {
    query.BindPointer(index, const_cast<NameFilter*>(&filter), kFilterPointerType);
}

bool ChooseTrigrams(SqliteConnection& reader, const std::vector<TrigramKey>& trigrams,
                    std::vector<TrigramKey>& chosen) {
    if (trigrams.empty()) {
        return true;
    }
    SqliteQuery lookup(reader, kTrigramOccurrences);
    if (!lookup.ok()) {
        return false;
    }
    auto occurrences = [&](TrigramKey key) -> std::int64_t {
        lookup.Bind(1, static_cast<std::int64_t>(key));
        std::int64_t count = lookup.Step() == SQLITE_ROW ? lookup.Int(0) : 0;
        lookup.Reset();
        return count;
    };
    std::int64_t total = occurrences(0);  // the number of files
    std::vector<std::pair<std::int64_t, TrigramKey>> counted;
    counted.reserve(trigrams.size());
    for (TrigramKey key : trigrams) {
        counted.emplace_back(occurrences(key), key);
    }
    std::sort(counted.begin(), counted.end());
    if (counted.front().first * 2 > total) {
        return true;
    }
    chosen.push_back(counted.front().second);
    for (std::size_t i = 1; i < counted.size() && chosen.size() < kMaxQueryTrigrams; ++i) {
        if (counted[i].first * kCommonTrigramShare <= total) {
            chosen.push_back(counted[i].second);
        }
    }
    return true;
}

std::string FtsQuery(const std::vector<TrigramKey>& trigrams) {
    std::string query;
    for (TrigramKey key : trigrams) {
        if (!query.empty()) {
            query += " AND ";
        }
        query += '"';
        for (char c : TrigramText(key)) {
            query += c;
            if (c == '"') {
                query += '"';
            }
        }
        query += '"';
    }
    return query;
}

TrigramTally::TrigramTally() : delta_(kTrigramKeyLimit, 0) {}

void TrigramTally::Add(std::string_view name, int change) {
    ForEachTrigram(name, false, [&](TrigramKey key) {
        if (delta_[key] == 0) {
            touched_.push_back(key);
        }
        delta_[key] += change;
    });
    files_ += change;
}

bool TrigramTally::Write(SqliteConnection& db) {
    SqliteQuery count(db, kCountTrigram);
    if (!count.ok()) {
        return false;
    }
    std::sort(touched_.begin(), touched_.end());
    touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
    auto write = [&](TrigramKey key, std::int64_t change) {
        count.Bind(1, static_cast<std::int64_t>(key));
        count.Bind(2, change);
        bool ok = count.Run();
        count.Reset();
        return ok;
    };
    for (TrigramKey key : touched_) {
        if (delta_[key] != 0 && !write(key, delta_[key])) {
            return false;
        }
        delta_[key] = 0;
    }
    touched_.clear();
    bool ok = write(0, files_);
    files_ = 0;
    return ok;
}

}  // namespace brindle::server
