// Small text helpers shared by every floor: the one leading-number reader, the
// one case-insensitive comparison, and the path and line trimming helpers.
#pragma once

#include <charconv>
#include <concepts>
#include <limits>
#include <optional>
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

// A whole text that is a plain decimal number within [min, max]: digits only,
// with a leading '-' only for a signed type. No blanks, no '+', no exponent,
// nothing after the digits; anything else, or a value out of range, is nullopt.
template <std::integral T>
[[nodiscard]] std::optional<T> ParseDecimal(std::string_view text,
                                            T min = std::numeric_limits<T>::min(),
                                            T max = std::numeric_limits<T>::max()) {
    std::string_view digits = text;
    if constexpr (std::is_signed_v<T>) {
        if (digits.starts_with('-')) {
            digits.remove_prefix(1);
        }
    }
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
        return std::nullopt;
    }
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || ptr != end || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

// `atol` reading: no digits gives 0; out-of-range values are clamped.
[[nodiscard]] long long ParseLongLikeAtol(std::string_view text);

// Whole-text comparison with ASCII letters compared without regard to case.
[[nodiscard]] bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// A directory setting as a path prefix: ending in "/" (empty stays empty).
[[nodiscard]] std::string DirectoryPrefix(std::string directory);

// `text` without the trailing bytes that are in `characters`.
[[nodiscard]] std::string TrimTrailing(std::string text, std::string_view characters);

}  // namespace brindle
