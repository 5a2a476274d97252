#include "server/store/name_filter.h"

#include <algorithm>

namespace brindle::server {
char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

void CollectTrigrams(std::string_view text, bool glob, std::vector<TrigramKey>& out) {
    std::size_t first = out.size();
    ForEachTrigram(text, glob, [&](TrigramKey key) { out.push_back(key); });
    auto begin = out.begin() + static_cast<std::ptrdiff_t>(first);
    std::sort(begin, out.end());
    out.erase(std::unique(begin, out.end()), out.end());
}

std::string TrigramText(TrigramKey key) {
    return {static_cast<char>((key >> 14) & 0x7F), static_cast<char>((key >> 7) & 0x7F),
            static_cast<char>(key & 0x7F)};
}

bool ContainsIgnoringCase(std::string_view name, std::string_view query) {
    if (query.size() > name.size()) {
        return false;
    }
    auto equal = [](char a, char b) { return FoldAscii(a) == FoldAscii(b); };
    return std::search(name.begin(), name.end(), query.begin(), query.end(), equal) != name.end();
}

bool GlobMatchesIgnoringCase(std::string_view pattern, std::string_view name) {
    if (pattern.empty() || pattern == "*.*") {
        return true;
    }
    // Greedy matching that backtracks only to the last '*': linear in practice
    // and never exponential.
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || FoldAscii(pattern[p]) == FoldAscii(name[n]))) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

NameFilter::NameFilter(std::string_view query, std::string_view pattern)
    : pattern_(pattern), anyType_(pattern.empty() || pattern == "*.*") {
    foldedQuery_.reserve(query.size());
    for (char c : query) {
        foldedQuery_.push_back(FoldAscii(c));
    }
    CollectTrigrams(query, false, trigrams_);
    if (!anyType_) {
        CollectTrigrams(pattern, true, trigrams_);
        std::sort(trigrams_.begin(), trigrams_.end());
        trigrams_.erase(std::unique(trigrams_.begin(), trigrams_.end()), trigrams_.end());
    }
}

bool NameFilter::Matches(std::string_view name) const {
    if (!foldedQuery_.empty()) {
        if (foldedQuery_.size() > name.size()) {
            return false;
        }
        auto equal = [](char a, char b) { return FoldAscii(a) == b; };
        if (std::search(name.begin(), name.end(), foldedQuery_.begin(), foldedQuery_.end(),
                        equal) == name.end()) {
            return false;
        }
    }
    return anyType_ || GlobMatchesIgnoringCase(pattern_, name);
}

}  // namespace brindle::server
