#include "Pause.h"

#include "common/Seam.h"

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

constexpr auto PauseSeam = SeamOf<IInitPause, RealPause>;

} // namespace

IInitPause& InitPause() {
    return PauseSeam().Get();
}

void SetInitPause(IInitPause* pause) {
    PauseSeam().Set(pause);
}
