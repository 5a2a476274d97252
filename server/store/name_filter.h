// Which file names a search selects: a substring and a file-type pattern, both
// compared without regard to the case of ASCII letters (other bytes compare
// exactly, since names arrive in whatever single-byte or UTF-8 encoding the
// sharing client used).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::server {

char FoldAscii(char c);

// Three consecutive ASCII bytes (no NUL), case folded, packed into one number
// from 1 to 2^21 - 1: the unit of the name index.
using TrigramKey = std::uint32_t;
inline constexpr TrigramKey kTrigramKeyLimit = 1u << 21;

// Calls `visit` with the key of every trigram of `text`, repeats included:
// every three ASCII bytes in a row (with `glob`, '*' and '?' also end a run).
template <typename Visit>
void ForEachTrigram(std::string_view text, bool glob, Visit&& visit) {
    unsigned run = 0;
    TrigramKey key = 0;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || byte == 0 || (glob && (c == '*' || c == '?'))) {
            run = 0;
            continue;
        }
        if (byte >= 'A' && byte <= 'Z') {
            byte = static_cast<unsigned char>(byte - 'A' + 'a');
        }
        key = ((key << 7) | byte) & (kTrigramKeyLimit - 1);
        if (++run >= 3) {
            visit(key);
        }
    }
}

// Appends the distinct trigram keys of `text`.
void CollectTrigrams(std::string_view text, bool glob, std::vector<TrigramKey>& out);

// The three bytes of a key.
std::string TrigramText(TrigramKey key);

// True when `name` holds `query` (an empty query is found in every name).
bool ContainsIgnoringCase(std::string_view name, std::string_view query);

// '*' matches any run of bytes, '?' exactly one byte, every other byte itself.
// An empty pattern and "*.*" match every name.
bool GlobMatchesIgnoringCase(std::string_view pattern, std::string_view name);

class NameFilter {
  public:
    NameFilter(std::string_view query, std::string_view pattern);

    [[nodiscard]] bool Matches(std::string_view name) const;

    // The trigrams every matching name contains (ignoring case), taken from
    // the query and from the literal parts of the pattern; a trigram index can
    // narrow the candidates with them. Empty when neither has three ASCII bytes
    // in a row.
    [[nodiscard]] const std::vector<TrigramKey>& trigrams() const { return trigrams_; }

  private:
    std::string foldedQuery_;
    std::string pattern_;
    bool anyType_ = false;
    std::vector<TrigramKey> trigrams_;
};

}  // namespace brindle::server
