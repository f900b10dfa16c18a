#pragma once
// What a command of orvane-cli talks to besides the token: its standard streams, the environment,
// the clock of its waits and the request to stop (Ctrl+C). main() gives the process's own; tests
// give streams of their own and waits that act on a scripted reader.

#include <csignal>
#include <functional>
#include <iosfwd>
#include <string>

// The documented exit codes.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitTokenFailure = 1,
    kExitUsage = 2,
    kExitNoService = 3,
    kExitKeyFile = 4,
    // The reader is in use: another initialization or PIN reset holds it, another program kept
    // the token past the connect's time limit, or the reader's lock could not be made.
    kExitReaderBusy = 5,
    // `init`: the line of the day's log of at least one attempt could not be written (a full
    // disk, a file where the log folder should be, a log file that may not be written). Before 1:
    // a script must not take a run without its record for a mere failed token.
    kExitLogLineLost = 6,
    // What the command had to say could not be written to standard output (a full disk, a closed
    // pipe): its result may be lost, whatever became of the work itself.
    kExitOutput = 7,
    // `journal`: the day's log could not be read to its end (an input/output error of the disk):
    // counts of part of the day are no counts of the day, so none are given.
    kExitLogUnread = 8,
    // Ctrl+C, SIGTERM or SIGHUP ended a command before its work was done: `init` before --count
    // tokens were initialized, `reset-pin` while it waited for the token (130, as a shell reports
    // Ctrl+C).
    kExitInterrupted = 130,
};

struct Console {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    // The descriptor behind `in` when it may be a terminal (its echo is turned off while a secret
    // is typed); -1 for a stream that is no terminal.
    int inDescriptor = -1;
    // The value of an environment variable, or nullptr when it is not set.
    std::function<char*(const std::string&)> environment;
    // Waits `milliseconds` (between two looks at a reader, between the steps of an attempt).
    std::function<void(int milliseconds)> sleep;
    // Set (by a signal handler) when the user asked the command to stop.
    const volatile std::sig_atomic_t* stopRequested = nullptr;
    // How long a token command's connect may wait for the token (another program's transaction
    // holds it), in seconds; 0: as long as the smart-card service makes it wait.
    unsigned connectWaitSeconds = 0;

    bool StopRequested() const { return stopRequested != nullptr && *stopRequested != 0; }
};
