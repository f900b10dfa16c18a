// The instruction window on a real desktop: an X display with a window manager (openbox), where the
// frame around a window is known only after the window manager has placed it. Run through
// scripts/virtual-desktop (label `desktop`).

#include "help/ManualWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QScreen>
#include <QWindow>
#include <gtest/gtest.h>

namespace {

// Serves events until `done` holds or `ms` have passed.
bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

bool Framed(const QWidget& w) {
    return w.windowHandle() != nullptr && !w.windowHandle()->frameMargins().isNull();
}

// A main window somewhere off the screen's centre, framed by the window manager.
struct Owner {
    QMainWindow window;
    Owner() {
        window.setFixedSize(300, 430);
        window.move(40, 30);
        window.show();
        EXPECT_TRUE(WaitFor([this] { return Framed(window); })) << "no window manager frame";
    }
};

TEST(Desktop, RunsUnderAWindowManager) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    Owner owner;
    EXPECT_GT(owner.window.windowHandle()->frameMargins().top(), 0) << "a title bar";
}

TEST(Desktop, TheManualIsFiveHundredBySixHundredWithItsFrame) {
    Owner owner;
    ManualWindow manual(&owner.window);
    manual.show();
    ASSERT_TRUE(WaitFor([&] { return Framed(manual); }));
    WaitFor([] { return false; }, 300); // the frame's size settles
    EXPECT_EQ(manual.frameGeometry().size(), QSize(500, 600));

    // A size the user gave the window is kept at the next opening.
    manual.resize(420, 380);
    WaitFor([&] { return manual.size() == QSize(420, 380); });
    manual.hide();
    manual.show();
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(manual.size(), QSize(420, 380));
}

} // namespace
