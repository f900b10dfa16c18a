#pragma once
// One line of the day's initialization log, without its line end (CR LF):
//   "<time>: #<card number> SUCCESS"  or  "<time>: #<card number> ERROR: <message>"
// The time is the regional long time without a time-zone name ("14:03:27"); the card number may
// be empty. Plain C++ on UTF-8 texts.

#include <string>
#include <string_view>

// A success line when `failureMessage` is empty, else an error line carrying it.
std::string FormatLogLine(std::string_view time, std::string_view cardId,
                          std::string_view failureMessage);

enum class LogOutcome { Success, Error, Unrecognized };

// A line taken apart; the views point into the text given to ParseLogLine. An unrecognized line
// keeps only its outcome: the caller shows the text as it is.
struct ParsedLogLine {
    LogOutcome outcome = LogOutcome::Unrecognized;
    std::string_view time;
    std::string_view cardId;
    std::string_view message; // the failure text of an error line, colons and all
};

// Reads one line as FormatLogLine writes it; a trailing CR is ignored. The time is whatever
// stands before the first ": #" (regional formats differ: "14:03:27", "2:03:27 PM"), so it may
// not be empty, hold no '#' and be at most 32 bytes long.
ParsedLogLine ParseLogLine(std::string_view line);
