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
