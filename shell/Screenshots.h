#pragma once
// The program's own picture book, for the README and for looking at the windows as a user sees
// them: with ORVANE_SCREENSHOT_DIR set, the program shows each window in turn, saves a picture of
// it (taken from the screen, so the window manager's frame is in it) and ends. With
// ORVANE_SCREENSHOT_KEY naming a key file, the tabs are pictured with that key loaded.

#include <QString>

class AboutDialog;
class MainWindow;
class ManualWindow;
class ProgressDialog;

// Starts the picture book once the message loop runs: main-init.png, main-unblock.png,
// message-box.png, open-dialog.png, progress-dialog.png, progress-service-away.png,
// instruction.png and about.png in
// `folder`, then quits.
void ScheduleScreenshots(MainWindow& window, ProgressDialog& progress, ManualWindow& manual,
                         AboutDialog& about, const QString& folder);
