#pragma once
// Ctrl+C (SIGINT), SIGTERM and SIGHUP ask a running command to stop: the first one sets the flag
// that the command looks at between its steps, and puts the default action back, so that a
// second one ends the program at once.

#include <csignal>

// Installs the handlers; answers the flag they set.
const volatile std::sig_atomic_t* InstallStopSignals();
