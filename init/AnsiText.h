#pragma once
// PIN, PUK and new-PIN bytes on a token are the typed characters in code page 1251, so that a token
// initialized here and one initialized on a Windows workstation accept the same typed PIN.

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// True when every character of `text` has a byte in code page 1251.
bool IsCp1251Text(const QString& text);
// The bytes of `text` in code page 1251; nothing when a character has no byte there.
std::optional<std::vector<std::uint8_t>> ToCp1251(const QString& text);
