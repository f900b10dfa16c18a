#pragma once
// The short date and long time of a locale, as the window has always written them into the day's
// log: date and time patterns in Qt's letters ("dd.MM.yyyy", "h:mm:ss AP"), a table of the
// locales the product's administrators use, and a formatter for those patterns. Plain C++.
//
// A locale name is read as the C library's environment gives it: language, an optional
// territory after '_' or '-', an optional codeset after '.' and modifier after '@' (both
// ignored). "C", "POSIX" and an empty name are the C locale. A name whose language and territory
// are both tabled gets its own patterns; a tabled language with another territory gets the
// language's usual patterns (ru_MD as ru_RU, en_NZ as en_US); an untabled language gets the C
// locale's patterns ("5 Jan 2026", "14:03:27").

#include <array>
#include <string>
#include <string_view>

struct RegionalFormats {
    std::string_view language;  // "ru"; empty for the C locale
    std::string_view territory; // "RU"; empty for the language's usual patterns
    std::string_view shortDate; // "dd.MM.yyyy"
    std::string_view longTime;  // "HH:mm:ss t": 't' is the time-zone name
    std::string_view amText = "AM";
    std::string_view pmText = "PM";
    // The abbreviated month names "MMM" writes; the C locale's are English.
    const std::array<std::string_view, 12>* shortMonths = nullptr;
};

// The patterns of `localeName` (see above for names outside the table).
const RegionalFormats& FormatsOfLocale(std::string_view localeName);
// Every tabled locale, the C locale first.
const RegionalFormats* TabledLocales(std::size_t& count);

// `pattern` without its time-zone letters 't' (outside quoted literals), runs of white space made
// one space and the ends trimmed: "HH:mm:ss t" -> "HH:mm:ss", "HH:mm:ss, t" -> "HH:mm:ss,".
std::string WithoutTimeZone(std::string_view pattern);

struct DateTimeFields {
    int year = 1970, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0;
};

// `fields` written by a Qt-style pattern: d dd M MM MMM yy yyyy, h hh (12-hour when the pattern
// has AP, else 24-hour) H HH, m mm, s ss, AP/A (upper case) ap/a (lower case), 'quoted literals'
// ('' is one quote); any other character stands for itself.
std::string FormatDateTime(std::string_view pattern, const DateTimeFields& fields,
                           const RegionalFormats& formats);
