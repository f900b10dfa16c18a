#pragma once
// orvane-cli init: the window's initialization run without the window. It waits for a token in
// the reader, runs the engine's attempt with the settings the window would give for the same
// choices (init/InitSettings.h), writes the day's log line, waits until the token is taken out
// (or another put in its place) and goes on, until --count tokens are initialized, or until
// Ctrl+C with --continuous. A failed attempt is reported and logged; the token taken out and put
// in again (or another one) is tried anew. Ctrl+C between tokens ends at once; during an attempt
// the attempt is finished first, so a token is never left half initialized, and the run ends
// without waiting for the removal.

#include "Console.h"
#include "KeyCommands.h"
#include "Output.h"
#include "SecretInput.h"

#include <string>
#include <vector>

struct InitOptions {
    std::string reader;
    // Several readers at once (cli/InitStation.h): every --reader given, or --all-readers.
    std::vector<std::string> readers;
    bool allReaders = false;
    SecretSource pin;
    // No file and no variable: no PUK (it is stored blocked).
    SecretSource puk;
    KeySource key; // the unblock key, usable; no file with --no-key (the built-in key, blocked)
    std::string groupRsa;  // two hexadecimal digits; empty: no group (blocked)
    std::string groupDstu; // the same for DSTU
    std::string name = "<None>";
    int count = 1;
    bool continuous = false;
    // Every token of the family is asked for its card number, for the log.
    bool readCardNumber = false;
};

int RunInit(const InitOptions& options, Console& console, Output& output);

// The group number as the window's field holds it: two hexadecimal digits, upper case, not 00.
// Empty when the text is no such number (a single digit is refused: the window's field reads "5"
// as 50).
std::string GroupField(const std::string& typed);
