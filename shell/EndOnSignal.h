#pragma once
// SIGTERM (logout, shutdown, `kill`), SIGINT and SIGHUP end Orvane as closing its main window
// does: a run in progress ends as Esc ends it, never in the middle of a command sequence (an
// attempt runs to its end on the user-interface thread before the signal is served), the reader
// is released, the single-instance lock removed, and the exit code is 0.

#include <functional>

// Installs the handlers; `endRun` is called first when a signal is served (it ends an open run,
// if any); then every event loop of the program is left.
void EndOnSignals(std::function<void()> endRun);
