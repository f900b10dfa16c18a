#include "Startup.h"

#include "MainWindow.h"

#include "help/AboutDialog.h"
#include "help/HelpResources.h"
#include "help/ManualWindow.h"
#include "init/ProgressDialog.h"
#include "shell/InitTab.h"
#include "shell/ReaderComboBox.h"
#include "shell/UnblockTab.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLockFile>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimer>

#include <unistd.h>

namespace {

// With ORVANE_SCREENSHOT_DIR set, the program saves a picture of each tab of the main window
// into that folder (main-init.png, main-unblock.png) and ends. When readers are attached, the
// first one is chosen in both device lists first, so the pictures show what the program found.
void ScheduleScreenshots(MainWindow* window, const QString& folder) {
    QTimer::singleShot(500, window, [window, folder] {
        const char* names[] = {"main-init.png", "main-unblock.png"};
        QDir().mkpath(folder);
        for (QComboBox* list : {static_cast<QComboBox*>(window->initTab->cbRdrList2),
                                static_cast<QComboBox*>(window->unblockTab->cbRdrList)})
            if (list->count() > 0)
                list->setCurrentIndex(0);
        for (int tab = 0; tab < 2; ++tab) {
            window->PageControl1->setCurrentIndex(tab);
            QApplication::processEvents();
            window->grab().save(QDir(folder).filePath(QString::fromLatin1(names[tab])));
        }
        window->PageControl1->setCurrentIndex(0);
        QApplication::quit();
    });
}

} // namespace

QString InstanceLockPath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!folder.isEmpty())
        return QDir(folder).filePath(QStringLiteral("OrvaneMutex.lock"));
    // The shared temporary folder: the user id keeps one user's Orvane from blocking another's.
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("OrvaneMutex-%1.lock").arg(static_cast<qulonglong>(getuid())));
}

int RunOrvane(int argc, char** argv) {
    // One instance at a time: a second start ends here, before any window exists. A lock left
    // by a crashed instance is taken over (its process is gone).
    QLockFile instance(InstanceLockPath());
    instance.setStaleLockTime(0);
    // Only a lock held by a running Orvane ends the start; a lock that cannot be made at all (an
    // unwritable runtime folder) must not keep the program from starting.
    if (!instance.tryLock(0) && instance.error() == QLockFile::LockFailedError)
        return 0;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvane"));
    // No display name: Qt would append it to every window's title ("Инициализация — Orvane").
    QGuiApplication::setDesktopFileName(QStringLiteral("orvane"));
    InitOrvaneResources();
    if (QFile::exists(QStringLiteral(":/orvane.png")))
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/orvane.png")));

    // The four windows live until the program ends; the dialogs are the main window's children.
    auto* mainWindow = new MainWindow;
    auto* progress = new ProgressDialog(*mainWindow, mainWindow);
    auto* about = new AboutDialog(mainWindow);
    auto* manual = new ManualWindow(mainWindow);
    mainWindow->SetInitRunner(progress);
    mainWindow->SetHelpWindows(manual, about);
    mainWindow->show();

    const QString shots = qEnvironmentVariable("ORVANE_SCREENSHOT_DIR");
    if (!shots.isEmpty())
        ScheduleScreenshots(mainWindow, shots);

    const int code = QApplication::exec();

    // The windows go in the reverse order of their creation, the main window last.
    delete manual;
    delete about;
    delete progress;
    delete mainWindow;
    instance.unlock();
    return code;
}
