// The day's log line as other tools read it.

#include "engine/LogLine.h"

#include <gtest/gtest.h>

namespace {

TEST(LogLine, SuccessAndErrorForms) {
    struct Row {
        const char* time;
        const char* cardId;
        const char* failure;
        const char* line;
    };
    const Row rows[] = {
        {"14:03:27", "0123456789ABCDEF", "", "14:03:27: #0123456789ABCDEF SUCCESS"},
        {"14:03:27", "", "", "14:03:27: # SUCCESS"},
        {"9:05:01", "0123456789ABCDEF", "Смарт-карта не отвечает. No smart card inserted.",
         "9:05:01: #0123456789ABCDEF ERROR: Смарт-карта не отвечает. No smart card inserted."},
        // A message with colons and a trailing blank is carried as it is.
        {"14:03:27", "", "Card Error 6A82: ", "14:03:27: # ERROR: Card Error 6A82: "},
    };
    for (const Row& row : rows)
        EXPECT_EQ(FormatLogLine(row.time, row.cardId, row.failure), row.line) << row.line;
}

} // namespace
