// The picture of the station window for the manual: four readers of a private stack in four
// states (done, failed, initializing, waiting), on the screen of scripts/virtual-desktop:
//   scripts/virtual-desktop build/bench/station/station_picture docs/screenshots/station.png

#include "../PrivateStack.h"
#include "StationBenchKit.h"
#include "station/StationWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <QTest>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: station_picture FILE.png\n");
        return 2;
    }
    char logFolder[] = "/tmp/orvane-station-picture-log-XXXXXX";
    ::setenv("XDG_DATA_HOME", ::mkdtemp(logFolder), 1);
    PrivateStack stack("orvane-station-picture", "--readers 4");
    if (!stack.Running())
        return 1;
    QApplication app(argc, argv);
    QuietJournal journal;
    Settings settings;
    // Reader 1: done. Reader 2: its token has no DSTU application to select. Reader 3: a slow
    // token, still being initialized. Reader 4: empty.
    VirtualToken done, refused, slow;
    const auto slot = [](int r) { return VirtualTokenOptions().Slot(2 * r); };
    if (!done.Insert(slot(0)) || !refused.Insert(slot(1).Fail("A4:FA564C4D534734313435=6A82")) ||
        !slow.Insert(slot(2).Arg("--latency-ms").Arg("400"))) {
        std::fprintf(stderr, "station_picture: a token was not inserted\n");
        return 1;
    }
    QStringList readers;
    for (int r = 0; r < 4; ++r)
        readers << QString::fromStdString(Reader(r));
    StationWindow window(settings, readers);
    window.Start();
    const auto look = [&](int r) { return window.LookOf(window.RowOf(readers[r])); };
    QElapsedTimer clock;
    clock.start();
    while (!(look(0) == StationWindow::Look::Done && look(1) == StationWindow::Look::Failed) &&
           clock.elapsed() < 30000)
        QTest::qWait(50);
    QTest::qWait(4000); // the slow token's progress moves on a little
    window.activateWindow();
    QTest::qWait(500);
    const QRect frame = window.frameGeometry();
    QPixmap picture =
        window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (picture.isNull() || picture.width() < window.width()) {
        std::fprintf(stderr, "station_picture: no screen to grab; the window alone\n");
        picture = window.grab();
    }
    const bool saved = picture.save(QString::fromLocal8Bit(argv[1]));
    // The slow token is taken out: its attempt ends at once, and with it the run.
    slow.Remove();
    window.EndRun();
    while (!window.Finished() && clock.elapsed() < 60000)
        QTest::qWait(50);
    return saved ? 0 : 1;
}
