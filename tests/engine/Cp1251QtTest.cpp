// The engine's code page 1251 beside Qt's "windows-1251" encoder, which put the window's PIN bytes
// on tokens before: the same bytes for every character they both know, the same refusals.

#include "engine/Cp1251.h"

#include <QString>
#include <QStringEncoder>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<Bytes> QtCp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return Bytes(bytes.begin(), bytes.end());
}

std::u16string Utf16(const QString& text) {
    return text.toStdU16String();
}

std::string Hex(const std::optional<Bytes>& bytes) {
    if (!bytes)
        return "refused";
    std::string text;
    for (const std::uint8_t b : *bytes) {
        static const char digits[] = "0123456789ABCDEF";
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::vector<char32_t> Characters() {
    std::vector<char32_t> characters;
    for (char32_t c = 0; c <= 0x04FF; ++c)
        characters.push_back(c);
    // The code page's punctuation and signs outside that range, and neighbours it lacks.
    for (char32_t c :
         {0x2013, 0x2014, 0x2018, 0x2019, 0x201A, 0x201C, 0x201D, 0x201E, 0x2020,  0x2021,
          0x2022, 0x2026, 0x2030, 0x2039, 0x203A, 0x20AC, 0x2116, 0x2122, 0x2015,  0x2017,
          0x201B, 0x2023, 0x20AD, 0x2117, 0x2121, 0x0500, 0x0525, 0xFFFD, 0x1F600, 0x10FFFF})
        characters.push_back(c);
    return characters;
}

TEST(Cp1251Encoding, EveryCharacterAsQtEncodesIt) {
    for (const char32_t c : Characters()) {
        const QString text = QString::fromUcs4(&c, 1);
        const std::optional<Bytes> qt = QtCp1251(text);
        SCOPED_TRACE("U+" + QString::number(static_cast<uint>(c), 16).toUpper().toStdString());
        EXPECT_EQ(Hex(Utf8ToCp1251(text.toStdString())), Hex(qt));
        EXPECT_EQ(Hex(Utf16ToCp1251(Utf16(text))), Hex(qt));
        EXPECT_EQ(IsCp1251Utf8(text.toStdString()), qt.has_value());
        EXPECT_EQ(IsCp1251Utf16(Utf16(text)), qt.has_value());
    }
}

TEST(Cp1251Encoding, WholeTextsAsQtEncodesThem) {
    QString everything;
    for (const char32_t c : Characters())
        if (QtCp1251(QString::fromUcs4(&c, 1)))
            everything += QString::fromUcs4(&c, 1);
    const QString texts[] = {
        everything,
        QStringLiteral("Пароль№1 «ёЁ» — ґЄїІ"),
        QStringLiteral(""),
        QStringLiteral("abc\u0100"), // one character without a byte refuses the whole text
        QStringLiteral("пин😀"),
    };
    for (const QString& text : texts) {
        SCOPED_TRACE(text.left(20).toStdString());
        EXPECT_EQ(Hex(Utf8ToCp1251(text.toStdString())), Hex(QtCp1251(text)));
        EXPECT_EQ(Hex(Utf16ToCp1251(Utf16(text))), Hex(QtCp1251(text)));
    }
}

TEST(Cp1251Encoding, InvalidTextIsRefused) {
    const std::string utf8[] = {
        "\xC0\x80",         // overlong NUL
        "\xE0\x80\xAF",     // overlong '/'
        "\xED\xA0\x80",     // a surrogate
        "\xF4\x90\x80\x80", // past U+10FFFF
        "pin\xD0",          // cut inside a character
        "\xD0\x41",         // a lead byte without its continuation
        "\x80",             // a continuation alone
        "\xEF\xF0\xEB\xFC", // "пиль" in CP1251 itself, not UTF-8
    };
    for (const std::string& text : utf8) {
        EXPECT_FALSE(Utf8ToCp1251(text)) << Hex(Bytes(text.begin(), text.end()));
        EXPECT_FALSE(IsCp1251Utf8(text)) << Hex(Bytes(text.begin(), text.end()));
    }
    const std::u16string utf16[] = {u"a\xD800"
                                    u"b",
                                    u"\xDC00", u"ab\xD83D"};
    for (const std::u16string& text : utf16) {
        EXPECT_FALSE(Utf16ToCp1251(text));
        EXPECT_FALSE(IsCp1251Utf16(text));
    }
}

TEST(Cp1251Encoding, FieldLengthsAsQtCountsThem) {
    const std::string texts[] = {
        "",       "1234",    "пароль", "№€—", "a😀b", "\xF0\x9F\x98\x80", "\xEF\xF0\xEB\xFC",
        "ab\xD0", "\xC0\x80"};
    for (const std::string& text : texts) {
        const QString qt = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        EXPECT_EQ(Utf16Length(text), static_cast<std::size_t>(qt.size()))
            << Hex(Bytes(text.begin(), text.end()));
        EXPECT_EQ(Utf8ToUtf16(text), qt.toStdU16String()) << Hex(Bytes(text.begin(), text.end()));
    }
}

} // namespace
