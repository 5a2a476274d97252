#include "headless/progress_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace brindle {

namespace {

// "1:05" or "1:02:03"; "-:--" without a rate, ">99:59:59" beyond that.
std::string TimeLeftText(long long left, double rateKiBps) {
    if (rateKiBps <= 0.0) {
        return "-:--";
    }
    const double seconds = static_cast<double>(std::max(left, 0LL)) / (rateKiBps * 1024.0);
    if (seconds >= 100.0 * 3600.0) {
        return ">99:59:59";
    }
    const long long whole = static_cast<long long>(std::ceil(seconds));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

std::string ProgressLine(const TransferRow& row) {
    const TransferCells cells = FormatTransferRow(row);
    const long long total = row.total;
    const int width = 30;
    int filled =
        total > 0 ? static_cast<int>(std::min<long long>(width, row.done * width / total)) : 0;
    if (row.status == TransferStatus::Complete) {
        filled = width;
    }
    std::string timeLeft;
    if (row.status == TransferStatus::Downloading || row.status == TransferStatus::Uploading) {
        timeLeft = TimeLeftText(total - row.done, row.rateKiBps) + " left  ";
    }
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '.') + "]  " + cells[kColumnDone] +
           "  " + cells[kColumnSize] + "  " + cells[kColumnRate] + "  " + timeLeft +
           cells[kColumnStatus];
}

std::string OverDrawn(const std::string& line, const std::string& before) {
    return line.size() >= before.size() ? line
                                        : line + std::string(before.size() - line.size(), ' ');
}

}  // namespace brindle
