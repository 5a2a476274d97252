#include "server/store/postgres/trigram_sample.h"

#include <algorithm>
#include <cmath>

#include "server/store/name_filter.h"

namespace brindle::server {
namespace {

bool IsAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Calls `visit(key, position)` for every three letters or digits in a row
// (folded), the only runs the index holds as written.
template <typename Visit>
void ForEachRun(std::string_view text, Visit&& visit) {
    unsigned run = 0;
    std::uint32_t key = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!IsAsciiAlnum(c)) {
            run = 0;
            continue;
        }
        key = ((key << 8) | static_cast<unsigned char>(FoldAscii(c))) & 0xFFFFFF;
        if (++run >= 3) {
            visit(key, i - 2);
        }
    }
}

}  // namespace

void TrigramSample::Add(std::string_view name) {
    names_.emplace_back(name);
    std::vector<std::uint32_t> seen;
    ForEachRun(name, [&](std::uint32_t key, std::size_t) {
        if (std::find(seen.begin(), seen.end(), key) == seen.end()) {
            seen.push_back(key);
            ++counts_[key];
        }
    });
}

bool TrigramSample::HeldByAtLeast(std::string_view query, double share) const {
    if (names_.empty()) {
        return false;
    }
    auto needed = static_cast<std::size_t>(std::ceil(share * static_cast<double>(names_.size())));
    needed = needed == 0 ? 1 : needed;
    // No more names hold the query than hold its rarest run.
    std::size_t bound = names_.size();
    ForEachRun(query, [&](std::uint32_t key, std::size_t) {
        auto found = counts_.find(key);
        bound = std::min<std::size_t>(bound, found == counts_.end() ? 0 : found->second);
    });
    if (bound < needed) {
        return false;
    }
    std::size_t holding = 0;
    for (const std::string& name : names_) {
        if (name.find(query) != std::string::npos && ++holding >= needed) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> TrigramSample::RarestRuns(std::string_view query,
                                                   std::size_t count) const {
    struct Candidate {
        std::uint32_t key;
        std::uint32_t seen;
        std::size_t position;
        std::size_t word;  // which run of letters and digits it lies in
    };
    std::vector<Candidate> candidates;
    ForEachRun(query, [&](std::uint32_t key, std::size_t position) {
        for (const Candidate& candidate : candidates) {
            if (candidate.key == key) {
                return;
            }
        }
        auto found = counts_.find(key);
        std::size_t word = 0;
        for (std::size_t i = 1; i <= position; ++i) {
            word += IsAsciiAlnum(query[i]) && !IsAsciiAlnum(query[i - 1]) ? 1 : 0;
        }
        candidates.push_back({key, found == counts_.end() ? 0u : found->second, position, word});
    });
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.seen < b.seen; });
    // Another word first (its runs are the least tied to the first run's),
    // then a run that does not overlap a chosen one, then any other run.
    std::vector<const Candidate*> chosen;
    for (int pass = 0; pass < 3; ++pass) {
        for (const Candidate& candidate : candidates) {
            if (chosen.size() == count) {
                break;
            }
            bool fits = true;
            for (const Candidate* other : chosen) {
                std::size_t distance = candidate.position > other->position
                                           ? candidate.position - other->position
                                           : other->position - candidate.position;
                fits = fits && distance > 0 && (pass == 2 || distance >= 3) &&
                       (pass != 0 || candidate.word != other->word);
            }
            // A much commoner run would cost the index more than it narrows.
            bool worthIt = chosen.empty() || candidate.seen <= 4 * chosen.front()->seen + 4;
            if (fits && worthIt) {
                chosen.push_back(&candidate);
            }
        }
    }
    std::vector<std::string> runs;
    for (const Candidate* candidate : chosen) {
        std::string run;
        for (int shift = 16; shift >= 0; shift -= 8) {
            run += static_cast<char>((candidate->key >> shift) & 0xFF);
        }
        runs.push_back(run);
    }
    return runs;
}

}  // namespace brindle::server
