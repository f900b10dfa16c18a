#pragma once
// PIN, PUK and new-PIN bytes on a token are the typed characters in code page 1251, so that a token
// initialized here and one initialized on a Windows workstation accept the same typed PIN. Plain
// C++: the window's QString texts come in as UTF-16, the command line's as UTF-8.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The code page 1251 bytes of UTF-8 `text`; nothing when a character has no byte there or the
// UTF-8 is invalid. A refused text leaves no partial copy behind.
std::optional<std::vector<std::uint8_t>> Utf8ToCp1251(std::string_view text);
// The same for UTF-16 text; an unpaired surrogate is refused.
std::optional<std::vector<std::uint8_t>> Utf16ToCp1251(std::u16string_view text);
// True when `text` is valid UTF-8 and every character has a byte in code page 1251.
bool IsCp1251Utf8(std::string_view text);
// True when every UTF-16 unit of `text` is a character with a byte in code page 1251.
bool IsCp1251Utf16(std::u16string_view text);

// UTF-8 `text` as UTF-16, as the window's fields hold it; every byte of an invalid sequence reads
// as U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// The length of UTF-8 `text` in UTF-16 code units, the characters a window field counts.
std::size_t Utf16Length(std::string_view text);
