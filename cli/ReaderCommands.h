#pragma once
// The commands on readers and tokens: readers (what is attached) and reset-pin (the PIN reset with
// the unblock key), and the check every token command makes before it sends anything: the
// smart-card service answers and the reader named exists.

#include "Console.h"
#include "KeyCommands.h"
#include "Output.h"
#include "SecretInput.h"

#include <string>

class ReaderSession;

int RunReaders(Output& output);

// kExitSuccess when `readerName` is among the usable readers the session sees; else the problem
// is reported (no service, no reader, a name that does not exist) and kExitNoService answered.
int CheckReader(ReaderSession& session, const std::string& readerName, Output& output);

struct ResetPinOptions {
    std::string reader;
    KeySource key;
    SecretSource newPin;
};
int RunResetPin(const ResetPinOptions& options, Console& console, Output& output);

// A PIN as the window's fields take it: 4 to 8 characters, each with a byte in code page 1251.
// Empty when it fits, else the message; `what` names the field in it ("ПИН-код", "ПАК-код").
std::string PinProblem(const std::string& utf8, const std::string& what);
