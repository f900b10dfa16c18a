#include "AnsiText.h"

#include <QStringEncoder>

#include <cstring>

std::optional<std::vector<std::uint8_t>> ToCp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    if (!encoder.isValid())
        return std::nullopt;
    QByteArray bytes = encoder.encode(text);
    std::optional<std::vector<std::uint8_t>> result;
    if (!encoder.hasError())
        result.emplace(bytes.begin(), bytes.end());
    // The text may be a PIN: leave no copy of its bytes behind in the encoder's buffer.
    if (!bytes.isEmpty())
        explicit_bzero(bytes.data(), static_cast<std::size_t>(bytes.size()));
    return result;
}

bool IsCp1251Text(const QString& text) {
    return ToCp1251(text).has_value();
}
