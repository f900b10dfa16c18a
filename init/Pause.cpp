#include "Pause.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace {

class RealPause final : public IInitPause {
public:
    void Pause(int milliseconds, PauseKind kind) override {
        if (milliseconds <= 0)
            return;
        if (kind == PauseKind::Step) {
            QThread::msleep(static_cast<unsigned long>(milliseconds));
            return;
        }
        // A blink phase: let the window repaint and the run's own hand-overs queue up, but keep
        // key presses and clicks for the caller's event processing at the end of the phase.
        QElapsedTimer clock;
        clock.start();
        QEventLoop loop;
        QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        // A loop that could not run (the application is quitting) still keeps the rhythm.
        const qint64 left = milliseconds - clock.elapsed();
        if (left > 0)
            QThread::msleep(static_cast<unsigned long>(left));
    }
};

RealPause realPause;
IInitPause* current = nullptr;

} // namespace

IInitPause& InitPause() {
    return current ? *current : realPause;
}

void SetInitPause(IInitPause* pause) {
    current = pause;
}
