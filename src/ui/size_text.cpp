#include "ui/size_text.h"

#include <array>

#include "base/strings.h"

namespace brindle {

QString ReadableSize(long long bytes) {
    if (bytes < 1024) {
        return QStringLiteral("%1 bytes").arg(bytes);
    }
    static constexpr std::array<const char*, 5> kUnits = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < kUnits.size()) {
        value /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 2).arg(QString::fromLatin1(kUnits[unit]));
}

QString SizeTip(long long bytes) {
    if (bytes < 1024) {
        return ReadableSize(bytes);
    }
    return QStringLiteral("%1 bytes (%2)").arg(bytes).arg(ReadableSize(bytes));
}

std::optional<long long> ParseByteCount(const std::string& text) {
    return ParseDecimal<long long>(text, 0);
}

}  // namespace brindle
