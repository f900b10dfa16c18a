#pragma once
// Program start: one instance per user, the application title, the four windows and the message
// loop.

#include <QString>

#include <functional>

class QCoreApplication;
class QTranslator;
class QWidget;

// The lock file that keeps a second instance from starting (OrvaneMutex in the user's runtime
// folder).
QString InstanceLockPath();

// Loads Qt's Russian translation of its standard texts (buttons, file dialogs, context menus)
// from `folder` (Qt's translations folder unless given) into `app` and answers it. Without it
// the program still runs, with Qt's English texts: the answer is null and a line on stderr says
// so.
QTranslator* InstallQtTranslation(QCoreApplication& app, const QString& folder = QString());

// Runs `action` once the window is on screen (on the turn of the message loop after its first
// expose): what the first paint does not need waits for it. At once for a window not shown yet.
void RunOnceShown(QWidget& window, std::function<void()> action);

// Runs the program; answers the exit code. A second start while an instance runs ends at once
// with 0, silently, after asking the running one to show its window (shell/ShowRequest.h).
int RunOrvane(int argc, char** argv);
