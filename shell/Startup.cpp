#include "Startup.h"

#include "DeferredIconStyle.h"
#include "EndOnSignal.h"
#include "MainWindow.h"
#include "Screenshots.h"
#include "ShowRequest.h"

#include "help/HelpResources.h"
#include "init/ProgressDialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>
#include <QTranslator>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <utility>

#include <unistd.h>

QTranslator* InstallQtTranslation(QCoreApplication& app, const QString& folder) {
    const QString where =
        folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : folder;
    auto* translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                         QStringLiteral("_"), where) &&
        QCoreApplication::installTranslator(translator))
        return translator;
    delete translator;
    std::fprintf(stderr, "orvane: Qt's Russian translation (qtbase_ru.qm) not found in %s\n",
                 qUtf8Printable(where));
    return nullptr;
}

QString InstanceLockPath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!folder.isEmpty())
        return QDir(folder).filePath(QStringLiteral("OrvaneMutex.lock"));
    // The shared temporary folder: the user id keeps one user's Orvane from blocking another's.
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("OrvaneMutex-%1.lock").arg(static_cast<qulonglong>(getuid())));
}

namespace {

// Runs its action once, on the turn of the message loop after the window's first expose, and
// goes away.
class FirstExposeWatch final : public QObject {
public:
    FirstExposeWatch(std::function<void()> action, QObject* parent)
        : QObject(parent), action_(std::move(action)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, [this] {
                action_();
                deleteLater();
            });
        }
        return false;
    }

private:
    std::function<void()> action_;
};

} // namespace

void RunOnceShown(QWidget& window, std::function<void()> action) {
    QWindow* handle = window.windowHandle();
    if (handle == nullptr) {
        action();
        return;
    }
    handle->installEventFilter(new FirstExposeWatch(std::move(action), handle));
}

int RunOrvane(int argc, char** argv) {
    // One instance at a time: a second start ends here, before any window exists. A lock left
    // by a crashed instance is taken over (its process is gone).
    QLockFile instance(InstanceLockPath());
    instance.setStaleLockTime(0);
    // Only a lock held by a running Orvane ends the start; a lock that cannot be made at all (an
    // unwritable runtime folder) must not keep the program from starting.
    // The running one is asked to show its window: this start was the administrator looking for
    // it.
    if (!instance.tryLock(0) && instance.error() == QLockFile::LockFailedError) {
        SendShowRequest(ShowRequestPath(InstanceLockPath()));
        return 0;
    }

    // The menu stays inside the window, whose fixed size counts it, also on desktops with a menu
    // bar of their own; nor does the start wait for D-Bus to say whether there is one.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeMenuBar);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvane"));
    // No display name: Qt would append it to every window's title ("Инициализация — Orvane").
    QGuiApplication::setDesktopFileName(QStringLiteral("orvane"));
    InstallQtTranslation(app);
    InitOrvaneResources();
    // The desktop's style (or the one asked for with -style), its menu overflow arrow decoded
    // only when shown.
    QApplication::setStyle(new DeferredIconStyle(QApplication::style()->name()));

    // The windows live until the program ends, as the main window's children; the progress
    // dialog, the instruction, About and the journal are made when first needed, so the main
    // window shows sooner.
    auto* mainWindow = new MainWindow(MainWindow::Controls::FirstPaintOnly);
    mainWindow->show();
    // The controls of the tab "Разблокировка" are made, and the program's icon decoded and handed
    // to the window manager, once the main window is on screen: the first paint shows neither
    // (the title bar takes the icon a moment later).
    RunOnceShown(*mainWindow, [mainWindow] {
        mainWindow->MakeAllControls();
        if (QFile::exists(QStringLiteral(":/orvane.png")))
            QApplication::setWindowIcon(QIcon(QStringLiteral(":/orvane.png")));
    });
    // A later start asks for the window (it ends with the main window, which it shows).
    auto* showRequests =
        new ShowRequestServer([mainWindow] { BringToFront(*mainWindow); }, mainWindow);
    showRequests->Listen(ShowRequestPath(InstanceLockPath()));
    EndOnSignals([mainWindow] {
        ProgressDialog* progress = mainWindow->ProgressIfMade();
        if (progress && progress->Active())
            progress->PressEscape();
    });

    const QString shots = qEnvironmentVariable("ORVANE_SCREENSHOT_DIR");
    if (!shots.isEmpty())
        ScheduleScreenshots(*mainWindow, mainWindow->Progress(), mainWindow->Manual(),
                            mainWindow->About(), shots);

    const int code = QApplication::exec();
    delete mainWindow;
    instance.unlock();
    return code;
}
