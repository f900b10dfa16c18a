#pragma once
// Helpers of the journal's window tests.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

namespace journalkit {

// Lets the windows work until `done` holds or `ms` passed; answers `done`.
inline bool WaitFor(const std::function<bool()>& done, int ms = 1500) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

} // namespace journalkit
