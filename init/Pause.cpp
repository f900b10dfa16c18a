#include "Pause.h"

#include <QThread>

namespace {

class RealPause final : public IInitPause {
public:
    void Pause(int milliseconds, PauseKind) override {
        if (milliseconds > 0)
            QThread::msleep(static_cast<unsigned long>(milliseconds));
    }
    int BeginPhase(int milliseconds) override { return milliseconds; }
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
