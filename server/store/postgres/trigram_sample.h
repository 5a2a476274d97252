// How common each run of three ASCII letters or digits is among a sample of
// the stored file names. A search hands the trigram index only the rarest runs
// of its query: the index then reads a few short lists instead of the long
// ones that words like "artist" or "mp3" have, and the whole query is checked
// on the few names that come back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle::server {

class TrigramSample {
  public:
    // `tableRows`: how many names the sample was drawn from.
    explicit TrigramSample(double tableRows = 0) : tableRows_(tableRows) {}

    // Takes one folded name (as searches fold it: ASCII letters to lower case).
    void Add(std::string_view name);

    std::size_t names() const { return names_.size(); }
    double tableRows() const { return tableRows_; }

    // Whether at least `share` of the sampled names hold `query` (folded).
    // Cheap for rare queries (their rarest run already tells) and for common
    // ones (it stops once enough names held it).
    bool HeldByAtLeast(std::string_view query, double share) const;

    // Up to `count` distinct runs of `query`, the rarest first (runs the sample
    // never saw count as rarest), none overlapping another (runs from different
    // parts of the query narrow the candidates most) and none far commoner than
    // the rarest. None when the query has no run.
    std::vector<std::string> RarestRuns(std::string_view query, std::size_t count) const;

  private:
    std::unordered_map<std::uint32_t, std::uint32_t> counts_;
    std::vector<std::string> names_;
    double tableRows_ = 0;
};

}  // namespace brindle::server
