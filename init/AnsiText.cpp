#include "AnsiText.h"

#include "crypto/Wipe.h"

#include <QStringEncoder>

std::optional<std::vector<std::uint8_t>> ToCp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    if (!encoder.isValid())
        return std::nullopt;
    QByteArray bytes = encoder.encode(text);
    std::optional<std::vector<std::uint8_t>> result;
    if (!encoder.hasError())
        result.emplace(bytes.begin(), bytes.end());
    // The text may be a PIN: leave no copy of its bytes behind in the encoder's buffer.
    WipeAll(bytes);
    return result;
}

bool IsCp1251Text(const QString& text) {
    return ToCp1251(text).has_value();
}
