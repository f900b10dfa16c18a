#include "AnsiText.h"

#include "engine/Cp1251.h"

#include <string_view>

namespace {

// The string's own UTF-16, without a copy that would need wiping.
std::u16string_view Utf16Of(const QString& text) {
    return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

} // namespace

std::optional<std::vector<std::uint8_t>> ToCp1251(const QString& text) {
    return Utf16ToCp1251(Utf16Of(text));
}

bool IsCp1251Text(const QString& text) {
    return IsCp1251Utf16(Utf16Of(text));
}
