#include "AnsiText.h"

#include <QStringEncoder>

std::optional<std::vector<std::uint8_t>> ToCp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    if (!encoder.isValid())
        return std::nullopt;
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

bool IsCp1251Text(const QString& text) {
    return ToCp1251(text).has_value();
}
