// The program for the termination tests: Orvane's own start code (instance lock, windows, signal
// handling, message loop), driven through its real windows into an initialization run against
// the private PC/SC stack. It types a PIN, presses "Инициализация" and, unless told to stay in
// the ready state, Enter; every state the run enters is printed on stdout ("state Ready", ...),
// so the test knows when to send its signal. The run's waits are the real ones. Questions are
// answered "Да" and boxes "OK" by the dialogs double; nothing else is replaced.
//
//   orvane_termination_child <reader> [stay-ready]

#include "WindowDriver.h"

#include "shell/Startup.h"
#include "support/FakeDialogs.h"

#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string reader;
bool stayReady = false;

const char* StateName(InitRun::State state) {
    switch (state) {
    case InitRun::State::Idle:
        return "Idle";
    case InitRun::State::Ready:
        return "Ready";
    case InitRun::State::Attempt:
        return "Attempt";
    case InitRun::State::Failed:
        return "Failed";
    case InitRun::State::RemovalWait:
        return "RemovalWait";
    case InitRun::State::Waiting:
        return "Waiting";
    case InitRun::State::Ended:
        return "Ended";
    }
    return "?";
}

// Prints every change of the run's state; the timer fires whenever the run serves events.
void ReportStates(ProgressDialog& progress) {
    auto* poll = new QTimer(&progress);
    auto last = std::make_shared<InitRun::State>(InitRun::State::Idle);
    QObject::connect(poll, &QTimer::timeout, poll, [&progress, last] {
        const InitRun::State now = progress.Run().CurrentState();
        if (now == *last)
            return;
        *last = now;
        std::printf("state %s\n", StateName(now));
        std::fflush(stdout);
        if (now == InitRun::State::Ready && !stayReady)
            e2e::PostKey(&progress, Qt::Key_Return);
    });
    poll->start(10);
}

void DriveOnceTheWindowIsUp() {
    MainWindow* main = e2e::Main();
    if (!main || !main->isVisible()) {
        QMetaObject::invokeMethod(qApp, &DriveOnceTheWindowIsUp, Qt::QueuedConnection);
        return;
    }
    static FakeDialogs dialogs;
    ProgressDialog* progress = &main->Progress();
    if (!e2e::ChooseReader(Control<ReaderComboBox>(main, "cbRdrList2"), reader)) {
        std::printf("error no reader %s\n", reader.c_str());
        std::fflush(stdout);
        QCoreApplication::exit(3);
        return;
    }
    e2e::TypeText(Control<QLineEdit>(main, "EdPIN"), QStringLiteral("1234"));
    ReportStates(*progress);
    // The click opens the run's dialog and returns when the run has ended.
    QTimer::singleShot(0, main, [main] { Control<QPushButton>(main, "BtnInit")->click(); });
}

void ScheduleDriving() {
    QMetaObject::invokeMethod(qApp, &DriveOnceTheWindowIsUp, Qt::QueuedConnection);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <reader> [stay-ready]\n", argv[0]);
        return 2;
    }
    reader = argv[1];
    stayReady = argc > 2 && std::string(argv[2]) == "stay-ready";
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qAddPreRoutine(&ScheduleDriving);
    char* programArgs[] = {argv[0], nullptr};
    return RunOrvane(1, programArgs);
}
