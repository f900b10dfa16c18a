#pragma once
// The program's embedded files and the window frame the help windows are sized and placed by.

#include <QMargins>

class QWidget;

// The embedded files: the manual (":/helpdoc"), its picture (":/help/unblock.png") and the
// program icon (":/orvane.png"). They are compiled into the help library and registered when the
// program loads; this call makes sure of it (the help windows make it themselves) and does
// nothing when they are registered already.
void InitOrvaneResources();

// The frame the window manager gives `window`; while that is not known yet (before the window is
// first mapped), the frame of the window that owns it, which the same window manager decorates
// alike. Null when neither is known (no window manager, or an offscreen platform).
QMargins ExpectedFrameMargins(const QWidget* window);
