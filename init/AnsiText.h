#pragma once
// The window's QString texts in code page 1251, the encoding of PIN, PUK and new-PIN bytes on a
// token: the engine's encoder (engine/Cp1251.h) read straight from the string's UTF-16.

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// True when every character of `text` has a byte in code page 1251.
bool IsCp1251Text(const QString& text);
// The bytes of `text` in code page 1251; nothing when a character has no byte there.
std::optional<std::vector<std::uint8_t>> ToCp1251(const QString& text);
