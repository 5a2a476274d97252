#include "base/strings.h"

#include <algorithm>
#include <climits>

namespace brindle {

LeadingNumber ReadLeadingNumber(std::string_view text) {
    LeadingNumber number;
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string_view::npos) {
        return number;
    }
    if (text[at] == '+' || text[at] == '-') {
        number.negative = text[at] == '-';
        ++at;
    }
    // Accumulated as a negative number so LLONG_MIN fits.
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        number.hasDigits = true;
        int digit = text[at] - '0';
        if (value < (LLONG_MIN + digit) / 10) {
            value = LLONG_MIN;
            number.overflowed = true;
        } else {
            value = value * 10 - digit;
        }
    }
    if (number.negative) {
        number.value = value;
    } else if (value == LLONG_MIN) {
        number.value = LLONG_MAX;
        number.overflowed = true;
    } else {
        number.value = -value;
    }
    return number;
}

long long ParseLongLikeAtol(std::string_view text) {
    return ReadLeadingNumber(text).value;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

std::string DirectoryPrefix(std::string directory) {
    if (!directory.empty() && directory.back() != '/') {
        directory += '/';
    }
    return directory;
}

std::string TrimTrailing(std::string text, std::string_view characters) {
    while (!text.empty() && characters.find(text.back()) != std::string_view::npos) {
        text.pop_back();
    }
    return text;
}

}  // namespace brindle
