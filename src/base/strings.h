// Small text helpers shared by every floor: the one leading-number reader, the
// one case-insensitive comparison, and the path and line trimming helpers.
#pragma once

#include <string>
#include <string_view>

namespace brindle {

// A leading number as atol reads it: white space, an optional sign, then digits
// up to the first other byte. `value` saturates at the long long limits instead
// of overflowing; `hasDigits` and `overflowed` say what was seen.
struct LeadingNumber {
    long long value = 0;
    bool hasDigits = false;
    bool negative = false;
    bool overflowed = false;  // the digits named a value beyond the long long range
};
[[nodiscard]] LeadingNumber ReadLeadingNumber(std::string_view text);

// `atol` reading: no digits gives 0; out-of-range values are clamped.
[[nodiscard]] long long ParseLongLikeAtol(std::string_view text);

// Whole-text comparison with ASCII letters compared without regard to case.
[[nodiscard]] bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// A directory setting as a path prefix: ending in "/" (empty stays empty).
[[nodiscard]] std::string DirectoryPrefix(std::string directory);

// `text` without the trailing bytes that are in `characters`.
[[nodiscard]] std::string TrimTrailing(std::string text, std::string_view characters);

}  // namespace brindle
