#pragma once
// orvane-cli journal: a day's initialization log as the journal window sums it up: the counts
// (initialized, failed, distinct cards, lines without a number) and the cards to initialize
// again, each with its last failure; --csv writes the day's lines as the window's CSV.

#include "Console.h"
#include "Output.h"

#include <string>

struct JournalOptions {
    std::string date; // YYYY-MM-DD; empty: today (unless a file is given)
    std::string file; // a log file of its own
    std::string csv;  // where to write the CSV; empty: none
};

int RunJournal(const JournalOptions& options, Output& output);
