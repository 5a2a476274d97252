// The name index: an FTS5 trigram table over the stored file names, and a
// count of how often each trigram occurs, so a search asks the index for its
// rarest trigrams only and checks every candidate name itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/name_filter.h"
#include "server/store/sqlite/sqlite_wrappers.h"

namespace brindle::server {

// Creates the index tables when absent (after `files`, whose names they read).
[[nodiscard]] bool CreateTrigramIndex(SqliteConnection& writer, std::string& error);
// Lets the index collect its entries in memory, so a large registration makes
// few index segments.
[[nodiscard]] bool SetTrigramIndexMemory(SqliteConnection& writer, std::string& error);

// Counts the trigrams of every stored name when the counts are missing.
[[nodiscard]] bool CountTrigramsIfMissing(SqliteConnection& writer, std::string& error);

// Makes name_matches(name, filter) callable on `reader`: the search's own test
// of one name, with the filter bound by BindNameFilter.
[[nodiscard]] bool InstallNameMatches(SqliteConnection& reader);
void BindNameFilter(SqliteQuery& query, int index, const NameFilter& filter);

// Picks the rarest of a search's trigrams for the index query; none when even
// the rarest is so common that checking every name is cheaper.
[[nodiscard]] bool ChooseTrigrams(SqliteConnection& reader, const std::vector<TrigramKey>& trigrams,
                                  std::vector<TrigramKey>& chosen);

// The full-text query that narrows the candidates: files holding every one of
// `trigrams`, each written as a quoted string.
std::string FtsQuery(const std::vector<TrigramKey>& trigrams);

// The net change of the trigram occurrence counts made by one write.
class TrigramTally {
  public:
    TrigramTally();

    // Counts the trigrams of one name added (`change` 1) or removed (-1).
    void Add(std::string_view name, int change);
    // Adds the collected changes to the stored counts and starts afresh.
    [[nodiscard]] bool Write(SqliteConnection& db);

  private:
    std::vector<std::int32_t> delta_;
    std::vector<TrigramKey> touched_;
    std::int64_t files_ = 0;
};

}  // namespace brindle::server
