#include "Screenshots.h"

#include "FormControls.h"
#include "InitTab.h"
#include "MainWindow.h"
#include "ReaderComboBox.h"
#include "UnblockKeyFiles.h"

#include "help/AboutDialog.h"
#include "help/ManualWindow.h"
#include "init/Dialogs.h"
#include "init/ProgressDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace {

// Lets the window system and the window manager do their part for `ms` milliseconds.
void Wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Saves what the screen shows of `window`, its frame included.
void Save(QWidget* window, const QString& path) {
    QApplication::processEvents();
    const QRect frame = window->frameGeometry();
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    QPixmap picture = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    // A platform without a real screen (offscreen) gives nothing: the widget itself then.
    if (picture.isNull() || picture.width() < window->width())
        picture = window->grab();
    picture.save(path);
}

// Saves the modal window that `open` shows, a moment after it appeared, then closes it.
void SaveModal(const QString& path, const std::function<void()>& open) {
    QTimer::singleShot(700, [path] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            Save(modal, path);
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
        }
    });
    open();
}

} // namespace

void ScheduleScreenshots(MainWindow& window, ProgressDialog& progress, ManualWindow& manual,
                         AboutDialog& about, const QString& folder) {
    QTimer::singleShot(700, &window, [&window, &progress, &manual, &about, folder] {
        QDir().mkpath(folder);
        const QDir out(folder);
        // When readers are attached, the first one is chosen in both device lists, so the
        // pictures show what the program found.
        for (const char* name : {"cbRdrList2", "cbRdrList"}) {
            auto* list = window.findChild<ReaderComboBox*>(QLatin1String(name));
            if (list->count() > 0) {
                list->setCurrentIndex(0);
                window.CardReader().SelectReader(list->currentText().toStdString());
            }
        }
        // With ORVANE_SCREENSHOT_KEY naming a key file, both tabs show it loaded (its box closed).
        const QString key = qEnvironmentVariable("ORVANE_SCREENSHOT_KEY");
        if (!key.isEmpty()) {
            for (KeyMark mark : {KeyMark::Initialization, KeyMark::Response}) {
                QTimer::singleShot(300, [] {
                    if (QWidget* box = QApplication::activeModalWidget())
                        box->close();
                });
                window.KeyFiles().LoadFrom(key, mark);
            }
            window.findChild<QCheckBox*>(QStringLiteral("cbCRKey"))->setChecked(true);
        }
        auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("PageControl1"));
        tabs->setCurrentIndex(1);
        Save(&window, out.filePath(QStringLiteral("main-unblock.png")));
        tabs->setCurrentIndex(0);
        Save(&window, out.filePath(QStringLiteral("main-init.png")));

        SaveModal(out.filePath(QStringLiteral("message-box.png")), [&window] {
            WindowMessage(&window, QString::fromUtf8(InitTab::kKeyNotLoadedQuestion),
                          MsgType::Information, mbYes | mbNo);
        });
        SaveModal(out.filePath(QStringLiteral("open-dialog.png")),
                  [&window] { Dialogs().OpenFileName(&window, UnblockKeyFiles::kKeyFilter); });
        // The progress dialog as a run opens it (without starting the run).
        progress.ShowReady();
        progress.show();
        Wait(700);
        Save(&progress, out.filePath(QStringLiteral("progress-dialog.png")));
        // What a wait shows while the smart-card service does not answer.
        progress.ShowServiceAway();
        Wait(300);
        Save(&progress, out.filePath(QStringLiteral("progress-service-away.png")));
        progress.hide();
        SaveModal(out.filePath(QStringLiteral("instruction.png")),
                  [&manual] { manual.ShowInstruction(); });
        SaveModal(out.filePath(QStringLiteral("about.png")), [&about] { about.exec(); });
        QApplication::quit();
    });
}
