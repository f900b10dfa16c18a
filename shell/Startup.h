#pragma once
// Program start: one instance per user, the application title, the four windows and the message
// loop.

#include <QString>

// The lock file that keeps a second instance from starting (OrvaneMutex in the user's runtime
// folder).
QString InstanceLockPath();

// Runs the program; answers the exit code. A second start while an instance runs ends at once
// with 0, silently.
int RunOrvane(int argc, char** argv);
