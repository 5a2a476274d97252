// Conversions between the core's byte strings (UTF-8) and Qt's strings.
#pragma once

#include <QString>
#include <string>

namespace brindle {

inline QString ToQ(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQ(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace brindle
