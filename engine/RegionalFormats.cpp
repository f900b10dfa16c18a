#include "RegionalFormats.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

constexpr std::array<std::string_view, 12> kEnglishMonths = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The patterns of the Unicode CLDR data the window's Qt carries. The first entry of a language is
// its usual one, used for the language alone and for an untabled territory.
const RegionalFormats kLocales[] = {
    {"", "", "d MMM yyyy", "HH:mm:ss t", "AM", "PM", &kEnglishMonths},
    {"ru", "RU", "dd.MM.yyyy", "HH:mm:ss t"},
    {"ru", "UA", "dd.MM.yyyy", "HH:mm:ss t"},
    {"ru", "BY", "dd.MM.yyyy", "HH:mm:ss t"},
    {"ru", "KZ", "dd.MM.yyyy", "HH:mm:ss t"},
    {"uk", "UA", "dd.MM.yy", "HH:mm:ss t"},
    {"be", "BY", "d.MM.yy", "HH:mm:ss, t"},
    {"kk", "KZ", "dd.MM.yy", "HH:mm:ss t"},
    {"en", "US", "M/d/yy", "h:mm:ss AP t"},
    {"en", "GB", "dd/MM/yyyy", "HH:mm:ss t", "am", "pm"},
    {"de", "DE", "dd.MM.yy", "HH:mm:ss t"},
    {"de", "AT", "dd.MM.yy", "HH:mm:ss t"},
    {"de", "CH", "dd.MM.yy", "HH:mm:ss t"},
    {"pl", "PL", "d.MM.yyyy", "HH:mm:ss t"},
    {"fr", "FR", "dd/MM/yyyy", "HH:mm:ss t"},
    {"lt", "LT", "yyyy-MM-dd", "HH:mm:ss t"},
    {"lv", "LV", "dd.MM.yy", "HH:mm:ss t"},
    {"et", "EE", "dd.MM.yy", "HH:mm:ss t"},
    {"ro", "RO", "dd.MM.yyyy", "HH:mm:ss t"},
    {"ro", "MD", "dd.MM.yyyy", "HH:mm:ss t"},
    {"tr", "TR", "d.MM.yyyy", "HH:mm:ss t"},
    {"az", "AZ", "dd.MM.yy", "HH:mm:ss t"},
    {"ka", "GE", "dd.MM.yy", "HH:mm:ss t"},
    {"hy", "AM", "dd.MM.yy", "HH:mm:ss t"},
};

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string Number(int value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", digits, value);
    return text;
}

// Whether the pattern writes AM/PM: then 'h' counts hours 1..12.
bool HasAmPm(std::string_view pattern) {
    bool quoted = false;
    for (const char c : pattern) {
        if (c == '\'')
            quoted = !quoted;
        else if (!quoted && (c == 'a' || c == 'A'))
            return true;
    }
    return false;
}

} // namespace

const RegionalFormats& FormatsOfLocale(std::string_view localeName) {
    // Codeset and modifier say nothing about the patterns.
    const std::size_t end = localeName.find_first_of(".@");
    if (end != std::string_view::npos)
        localeName = localeName.substr(0, end);
    const std::size_t separator = localeName.find_first_of("_-");
    std::string language(localeName.substr(0, separator));
    std::string territory;
    if (separator != std::string_view::npos)
        territory = localeName.substr(separator + 1);
    std::transform(language.begin(), language.end(), language.begin(), Lower);
    std::transform(territory.begin(), territory.end(), territory.begin(), Upper);

    const RegionalFormats* usual = nullptr;
    for (const RegionalFormats& formats : kLocales) {
        if (formats.language.empty() || formats.language != language)
            continue;
        if (formats.territory == territory)
            return formats;
        if (!usual)
            usual = &formats;
    }
    // "C", "POSIX", "" and every untabled language land on the C locale.
    return usual ? *usual : kLocales[0];
}

const RegionalFormats* TabledLocales(std::size_t& count) {
    count = std::size(kLocales);
    return kLocales;
}

std::string WithoutTimeZone(std::string_view pattern) {
    std::string kept;
    bool quoted = false;
    for (const char c : pattern) {
        if (c == '\'')
            quoted = !quoted;
        if (!quoted && c == 't')
            continue;
        kept += c;
    }
    std::string result;
    bool pendingSpace = false;
    for (const char c : kept) {
        if (IsSpace(c)) {
            pendingSpace = !result.empty();
            continue;
        }
        if (pendingSpace)
            result += ' ';
        pendingSpace = false;
        result += c;
    }
    return result;
}

std::string FormatDateTime(std::string_view pattern, const DateTimeFields& fields,
                           const RegionalFormats& formats) {
    const bool amPm = HasAmPm(pattern);
    std::string result;
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '\'') {
            // A quoted literal; '' is a quote, inside a literal or alone.
            if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                result += '\'';
                i += 2;
                continue;
            }
            for (++i; i < pattern.size(); ++i) {
                if (pattern[i] != '\'') {
                    result += pattern[i];
                } else if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                    result += '\'';
                    ++i;
                } else {
                    break;
                }
            }
            ++i;
            continue;
        }
        std::size_t run = 1;
        while (i + run < pattern.size() && pattern[i + run] == c)
            ++run;
        std::size_t used = 0;
        switch (c) {
        case 'd':
            used = std::min<std::size_t>(run, 2);
            result += Number(fields.day, static_cast<int>(used));
            break;
        case 'M':
            used = std::min<std::size_t>(run, 3);
            if (used == 3 && formats.shortMonths && fields.month >= 1 && fields.month <= 12)
                result += (*formats.shortMonths)[static_cast<std::size_t>(fields.month - 1)];
            else
                result += Number(fields.month, used == 1 ? 1 : 2);
            break;
        case 'y':
            if (run >= 4) {
                used = 4;
                result += Number(fields.year, 4);
            } else if (run >= 2) {
                used = 2;
                result += Number(fields.year % 100, 2);
            }
            break;
        case 'h':
        case 'H': {
            used = std::min<std::size_t>(run, 2);
            int hour = fields.hour;
            if (c == 'h' && amPm) {
                hour %= 12;
                if (hour == 0)
                    hour = 12;
            }
            result += Number(hour, static_cast<int>(used));
            break;
        }
        case 'm':
            used = std::min<std::size_t>(run, 2);
            result += Number(fields.minute, static_cast<int>(used));
            break;
        case 's':
            used = std::min<std::size_t>(run, 2);
            result += Number(fields.second, static_cast<int>(used));
            break;
        case 'a':
        case 'A': {
            used = (i + 1 < pattern.size() && (pattern[i + 1] == 'p' || pattern[i + 1] == 'P')) ? 2
                                                                                                : 1;
            std::string text(fields.hour < 12 ? formats.amText : formats.pmText);
            std::transform(text.begin(), text.end(), text.begin(), c == 'a' ? Lower : Upper);
            result += text;
            break;
        }
        default:
            break;
        }
        if (used == 0) {
            result += c;
            used = 1;
        }
        i += used;
    }
    return result;
}
