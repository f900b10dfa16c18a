// The day's log names and times without Qt, beside what the window's Qt wrote for the same
// regional settings and data folder: any divergence in a tabled locale shows here.

#include "engine/InitLog.h"
#include "engine/RegionalFormats.h"

#include <QDate>
#include <QLocale>
#include <QStandardPaths>
#include <QTime>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

// The window's file name and time as Qt made them.
std::string QtFileName(const QLocale& locale, const QDate& date) {
    QString text = locale.toString(date, QLocale::ShortFormat);
    text.replace(QLatin1Char('/'), QLatin1Char('-'));
    text.replace(QLatin1Char('\\'), QLatin1Char('-'));
    return ("Orvane_" + text + ".log").toStdString();
}

std::string QtTime(const QLocale& locale, const QTime& time) {
    QString format;
    bool quoted = false;
    for (const QChar c : locale.timeFormat(QLocale::LongFormat)) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        format += c;
    }
    return locale.toString(time, format.simplified()).toStdString();
}

std::vector<std::string> LocaleNames() {
    std::vector<std::string> names;
    std::size_t count = 0;
    const RegionalFormats* tabled = TabledLocales(count);
    for (std::size_t i = 0; i < count; ++i)
        names.push_back(tabled[i].language.empty() ? std::string("C")
                                                   : std::string(tabled[i].language) + "_" +
                                                         std::string(tabled[i].territory));
    // How the environment spells them, the languages alone, and names Qt falls back on.
    for (const char* name : {"POSIX",      "",           "C.UTF-8",     "ru_RU.UTF-8",
                             "uk_UA.utf8", "de_DE@euro", "be_BY@latin", "en_US.ISO-8859-1",
                             "ru-RU",      "ru",         "uk",          "be",
                             "kk",         "en",         "de",          "pl",
                             "fr",         "ru_MD",      "en_UA",       "xx_YY",
                             "qq"})
        names.push_back(name);
    return names;
}

TEST(InitLogRegionalFormats, MatchQtForEveryTabledLocale) {
    const QDate dates[] = {
        {2026, 1, 5}, {2026, 12, 7}, {2009, 10, 31}, {2000, 2, 29}, {2031, 7, 1}};
    const QTime times[] = {{0, 0, 0}, {12, 0, 0}, {23, 59, 59}, {9, 5, 7}, {13, 1, 2}, {0, 30, 0}};
    for (const std::string& name : LocaleNames()) {
        SCOPED_TRACE("locale \"" + name + "\"");
        const QLocale qt(QString::fromStdString(name));
        for (const QDate& d : dates)
            EXPECT_EQ(InitLogFileName(d.year(), d.month(), d.day(), name), QtFileName(qt, d))
                << d.toString(Qt::ISODate).toStdString();
        for (const QTime& t : times)
            EXPECT_EQ(InitLogTime(t.hour(), t.minute(), t.second(), name), QtTime(qt, t))
                << t.toString(Qt::ISODate).toStdString();
    }
}

TEST(InitLogRegionalFormats, PatternLetters) {
    const RegionalFormats& english = FormatsOfLocale("en_US");
    const DateTimeFields fields{2007, 3, 4, 0, 5, 9};
    const struct {
        const char* pattern;
        const char* text;
    } cases[] = {
        {"d.M.yy", "4.3.07"},
        {"dd.MM.yyyy", "04.03.2007"},
        {"yyy", "07y"},           // three letters are two and a literal
        {"h:mm AP", "12:05 AM"},  // midnight on a 12-hour clock
        {"hh:mm ap", "12:05 am"}, //
        {"H:m:s", "0:5:9"},       //
        {"h:mm", "0:05"},         // no AM/PM: 'h' counts 24 hours
        {"'h' HH 'o''clock'", "h 00 o'clock"},
        {"''HH", "'00"},
        {"HH 'AP' h", "00 AP 0"}, // a quoted AP does not make the clock 12-hour
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatDateTime(c.pattern, fields, english), c.text) << c.pattern;
}

TEST(InitLogEnvironment, TimeLocaleComesFromLcAllThenLcTimeThenLang) {
    const struct {
        const char* lcAll;
        const char* lcTime;
        const char* lang;
        const char* expected;
    } cases[] = {
        {"ru_RU.UTF-8", "de_DE.UTF-8", "en_US.UTF-8", "ru_RU.UTF-8"},
        {"", "de_DE.UTF-8", "en_US.UTF-8", "de_DE.UTF-8"},
        {nullptr, nullptr, "uk_UA.UTF-8", "uk_UA.UTF-8"},
        {nullptr, "", "", "C"},
        {nullptr, nullptr, nullptr, "C"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TimeLocaleName(c.lcAll, c.lcTime, c.lang), c.expected) << c.expected;
}

// Sets or unsets one environment variable until the end of the scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        Set(value);
    }
    ~ScopedVariable() { Set(old_ ? old_->c_str() : nullptr); }

private:
    void Set(const char* value) {
        if (value)
            setenv(name_, value, 1);
        else
            unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

TEST(InitLogEnvironment, DataFolderIsQtsGenericDataLocation) {
    const struct {
        const char* xdgDataHome;
        const char* home;
    } cases[] = {
        {nullptr, "/home/admin"}, {"", "/home/admin/"},  {"/srv/data/", "/home/admin"},
        {"relative/data", "/h"},  {"/a//b/../c", "/h"},  {nullptr, "/home//admin/./"},
        {nullptr, "/a/b/../c"},   {nullptr, "relative"}, {nullptr, ""},
        {nullptr, nullptr},       {nullptr, "/"},        {nullptr, "/a/../../b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("XDG_DATA_HOME=") + (c.xdgDataHome ? c.xdgDataHome : "(unset)") +
                     " HOME=" + (c.home ? c.home : "(unset)"));
        const ScopedVariable xdg("XDG_DATA_HOME", c.xdgDataHome);
        const ScopedVariable home("HOME", c.home);
        EXPECT_EQ(
            DataFolderOf(c.xdgDataHome, c.home),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString());
        EXPECT_EQ(SystemInitLogEnvironment().DataFolder(), DataFolderOf(c.xdgDataHome, c.home));
    }
}

} // namespace
