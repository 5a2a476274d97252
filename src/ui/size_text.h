// Byte counts as people read them: "11.77 MiB" beside the exact count.
#pragma once

#include <QString>
#include <optional>
#include <string>

namespace brindle {

// "512 bytes", "1.50 KiB", "11.77 MiB", "2.00 GiB" (powers of 1024, two decimals).
QString ReadableSize(long long bytes);
// "12345678 bytes (11.77 MiB)".
QString SizeTip(long long bytes);
// A size as the directory lists it: a whole non-negative number of bytes, or
// nothing when the text is no such number.
std::optional<long long> ParseByteCount(const std::string& text);

}  // namespace brindle
