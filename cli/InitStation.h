#pragma once
// orvane-cli init over several readers at once (--reader A --reader B ..., --all-readers): the
// engine's station (engine/Station.h), one run per reader on its own thread, with the settings of
// the one-reader run. Every line and JSON event names its reader; --count counts the tokens of
// all readers together. Ctrl+C ends the station: the attempts under way finish first.

#include "Console.h"
#include "Output.h"

#include <string>
#include <vector>

class IInitSettings;
struct InitOutcome;

struct InitStationOptions {
    // The readers; empty: every reader attached, now and later.
    std::vector<std::string> readers;
    // Tokens over all readers; 0: until Ctrl+C.
    int count = 1;
};

// The event of an attempt's end: "result", with the card number before the text.
OutputEvent ResultEvent(const std::string& reader, const InitOutcome& outcome);

// The last event of a run, one reader or several: the counts, the exit code and whether a stop
// request came (`interrupted`: before the run's count).
OutputEvent RunDoneEvent(int initialized, int failed, int code, bool interrupted, int linesLost,
                         bool stopRequested);

int RunInitStation(const InitStationOptions& options, const IInitSettings& settings,
                   Console& console, Output& output);
