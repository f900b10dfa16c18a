#pragma once
// Driving Orvane's real windows against the private PC/SC stack (fixture `pcsc_stack`): what the
// administrator does with the keyboard and the mouse, the run's waits shortened fifty times, a
// log folder of the test's own, and the user's side of a token (wrong PINs, a second session).

#include "VirtualToken.h"

#include "card/TokenSession.h"
#include "engine/InitLog.h"
#include "init/Pause.h"
#include "init/ProgressDialog.h"
#include "shell/ChallengeEdit.h"
#include "shell/InitTab.h"
#include "shell/MainWindow.h"
#include "shell/ReaderComboBox.h"
#include "shell/UnblockKeyFiles.h"
#include "shell/UnblockTab.h"
#include "support/Controls.h"
#include "support/LogClock.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace e2e {

// The program's main window, and the dialogs it owns (progress dialog, About box, manual).
inline MainWindow* Main() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* main = qobject_cast<MainWindow*>(w))
            return main;
    return nullptr;
}
template <typename Window> Window* Owned() {
    MainWindow* main = Main();
    return main ? main->findChild<Window*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

inline const QString kDoneText = QStringLiteral("Инициализация закончена. Извлеките смарт-карту");
inline const QString kNextText = QStringLiteral("Вставьте следующую смарт-карту");
inline const QString kLoaded = QStringLiteral("Загружен");

// The private stack must be there: these tests fail, never skip, without it.
inline ::testing::AssertionResult PcscStackRuns() {
    const std::string dir = VirtualToken::SandboxDir();
    if (VirtualToken::BasePort() < 0)
        return ::testing::AssertionFailure()
               << "the private PC/SC stack does not run (no " << dir
               << "/ports): run these tests with ctest -L pcsc, whose fixture pcsc_stack starts "
                  "it, or start it by hand with scripts/pcsc-sandbox start "
               << dir << " and export PCSCLITE_CSOCK_NAME=" << dir << "/run/pcscd.comm";
    TokenSession probe;
    const char* socket = std::getenv("PCSCLITE_CSOCK_NAME");
    if (probe.Context == 0)
        return ::testing::AssertionFailure()
               << "no PC/SC service at " << (socket ? socket : "the system socket")
               << " (PCSCLITE_CSOCK_NAME must name " << dir << "/run/pcscd.comm)";
    const std::string wanted = VirtualToken::ReaderName(0);
    for (int position = 1;; ++position) {
        const std::string name = probe.GetReaderName(position);
        if (name.empty())
            break;
        if (name == wanted)
            return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the private PC/SC stack lists no reader " << wanted;
}

// The run's waits, each taken for real but for a fiftieth of its length: pcscd notices a token
// put in or taken out only after a few hundred milliseconds, so the blink phases must still let
// time pass. `onBlink` runs at the start of every blink phase, where the administrator acts (the
// keys posted there are served at the end of the phase, as the run serves them).
class ShortWaits final : public IInitPause {
public:
    static constexpr int Divisor = 50;
    std::function<void()> onBlink;
    int blinks = 0;

    ShortWaits() { SetInitPause(this); }
    ~ShortWaits() override { SetInitPause(nullptr); }

    void Pause(int milliseconds, PauseKind) override {
        QThread::msleep(static_cast<unsigned long>(milliseconds / Divisor));
    }
    int BeginPhase(int milliseconds) override {
        ++blinks;
        if (onBlink)
            onBlink();
        return milliseconds / Divisor;
    }
};

// The initialization log in a temporary data folder of the test's own, with the real clock and
// Russian regional settings (short date 07.12.2026, long time 14:03:27).
class TempLogFolder final : public IInitLogEnvironment {
public:
    TempLogFolder() { SetInitLogEnvironment(this); }
    ~TempLogFolder() override { SetInitLogEnvironment(nullptr); }

    DateTimeFields Now() const override { return LogClockOf(QDateTime::currentDateTime()); }
    std::string DataFolder() const override { return dir.path().toStdString(); }
    std::string TimeLocale() const override { return "ru_RU.UTF-8"; }

    QString LogFolder() const { return dir.path() + QStringLiteral("/Velmar/Orvane"); }
    // The day files written so far.
    QStringList Files() const {
        return QDir(LogFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    QByteArray Contents(const QString& file) const {
        QFile f(LogFolder() + QLatin1Char('/') + file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static QString DayFile(const QDate& day) {
        return QStringLiteral("Orvane_") + day.toString(QStringLiteral("dd.MM.yyyy")) +
               QStringLiteral(".log");
    }

    QTemporaryDir dir;
};

// Types `text` into `field` key by key, as the keyboard does. Unlike QTest::keyClicks it carries
// every character (Cyrillic too) in the key event's text.
inline void TypeText(QWidget* field, const QString& text) {
    for (const QChar c : text) {
        const auto key = static_cast<Qt::Key>(c.toUpper().unicode());
        QTest::sendKeyEvent(QTest::Press, field, key, QString(c), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, field, key, QString(c), Qt::NoModifier);
    }
}

// Selects everything in the field (Ctrl+A) and types `text` over it.
inline void RetypeText(QWidget* field, const QString& text) {
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    TypeText(field, text);
}

// Drops the device list down (the window refills it from the readers attached now), closes it
// and steps with the arrow key to `name`, each step choosing the entry it lands on.
inline bool ChooseReader(QComboBox* list, const std::string& name) {
    list->showPopup();
    list->hidePopup();
    const QString wanted = QString::fromStdString(name);
    for (int step = 0; step <= list->count() && list->currentText() != wanted; ++step)
        QTest::keyClick(list, Qt::Key_Down);
    return list->currentText() == wanted;
}

// Polls `condition` every 10 ms for up to `ms`; the token writes its state and trace a moment
// after it has answered.
inline bool WaitUntil(const std::function<bool()>& condition, int ms = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms)
            return false;
        QThread::msleep(10);
    }
    return true;
}

// Queues a key for `widget`, as the window system does.
inline void PostKey(QWidget* widget, Qt::Key key) {
    QCoreApplication::postEvent(widget, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
}

// Presses "Инициализация" with Enter already queued for the progress dialog, and returns when
// the run has ended. A run still open after a minute has lost its way: Esc ends it and the test
// fails.
inline void PressInit(MainWindow& window, ProgressDialog& progbar) {
    PostKey(&progbar, Qt::Key_Return);
    bool finished = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (!finished) {
            ADD_FAILURE() << "the initialization run did not end; pressing Esc";
            progbar.PressEscape();
        }
    });
    watchdog.start(60000);
    Control<QPushButton>(&window, "BtnInit")->click();
    finished = true;
}

// Runs `answer` as soon as `window` is the active modal window (polling every 10 ms). After ten
// seconds it gives up, fails the test and closes whatever modal window is up.
// `find` names the window at each look (a window made only when it first opens).
inline void WhenModal(std::function<QWidget*()> find, std::function<void()> answer) {
    auto* poll = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        QWidget* expected = find();
        if (expected && modal == expected && expected->isVisible()) {
            poll->deleteLater();
            poll->stop();
            answer();
        } else if (clock->elapsed() > 10000) {
            poll->deleteLater();
            poll->stop();
            ADD_FAILURE() << "the expected modal window did not come up";
            if (modal)
                modal->close();
        }
    });
    poll->start(10);
}

inline void WhenModal(QWidget* window, std::function<void()> answer) {
    QPointer<QWidget> expected(window);
    WhenModal([expected]() -> QWidget* { return expected; }, std::move(answer));
}

// A PIN as the token stores it: the characters in code page 1251, padded with FF to 8 bytes.
inline Bytes PinBytes(std::initializer_list<std::uint8_t> characters) {
    Bytes bytes(characters);
    bytes.resize(8, 0xFF);
    return bytes;
}

// The user's side: a session of its own on `reader`, shared, leaving the token powered.
class UserSession {
public:
    explicit UserSession(const std::string& reader) {
        session.Exclusive = false;
        session.SelectReader(reader);
    }
    ~UserSession() { session.Disconnect(); }

    ::testing::AssertionResult Connect() {
        if (session.ConnectCard())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "a shared connection is refused: " << session.LastErrorText();
    }

    // Wrong PINs until the token answers 63C0; the right one is then refused with 6983.
    ::testing::AssertionResult BlockPin(const Bytes& rightPin) {
        if (auto connected = Connect(); !connected)
            return connected;
        const Bytes wrong = PinBytes({'0', '0', '0', '0'});
        if (wrong == rightPin)
            return ::testing::AssertionFailure() << "the wrong PIN is the right one";
        for (int attempt = 0; attempt < 8; ++attempt) {
            if (session.VerifyPin(kRefPin, wrong))
                return ::testing::AssertionFailure() << "the token accepted a wrong PIN";
            if (session.StatusWord == 0x63C0)
                break;
            if ((session.StatusWord & 0xFFF0) != 0x63C0)
                return ::testing::AssertionFailure()
                       << "a wrong PIN got " << session.LastErrorText();
        }
        if (session.StatusWord != 0x63C0)
            return ::testing::AssertionFailure() << "the PIN never ran out of tries";
        if (session.VerifyPin(kRefPin, rightPin) || session.StatusWord != 0x6983)
            return ::testing::AssertionFailure()
                   << "a blocked PIN answered " << std::hex << session.StatusWord;
        session.Disconnect();
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult VerifyPin(const Bytes& pin) {
        if (session.VerifyPin(kRefPin, pin))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << session.LastErrorText();
    }

    TokenSession session;
};

inline Bytes ReadFileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = file.readAll();
    return Bytes(all.begin(), all.end());
}

// The command bytes (INS) of the traced APDUs, and whether the token was reset after the last one.
struct TraceSummary {
    std::vector<std::string> ins;
    std::vector<std::string> sw;
    bool resetAfterLastApdu = false;
};

inline TraceSummary Summarize(const VirtualToken& token) {
    TraceSummary s;
    for (const std::string& line : token.TraceLines()) {
        if (line.rfind("APDU ", 0) == 0) {
            const auto arrow = line.find(" -> ");
            s.ins.push_back(line.substr(7, 2));
            s.sw.push_back(arrow == std::string::npos ? "" : line.substr(line.size() - 4));
            s.resetAfterLastApdu = false;
        } else if (line == "RESET") {
            s.resetAfterLastApdu = true;
        }
    }
    return s;
}

} // namespace e2e
