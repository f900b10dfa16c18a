#pragma once
// Doubles and helpers of the initialization-run tests: the main window's settings, waits that
// record instead of sleeping (and let a test act "during" a wait), a log folder of the test's
// own with a fixed clock, and a harness that puts them together with the scripted PC/SC stack.

#include "engine/InitLog.h"
#include "init/Pause.h"
#include "init/ProgressDialog.h"
#include "support/Controls.h"
#include "support/FakeDialogs.h"
#include "support/FakePcsc.h"
#include "support/InitCommands.h"
#include "support/LogClock.h"
#include "support/RecordingAuditJournal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace initkit {

inline const QString kReadyText =
    QStringLiteral("Нажмите Enter, чтобы начать инициализацию.\nПо завершению нажмите Esc");
inline const QString kAttemptText = QStringLiteral("Инициализация...\nНе извлекайте смарт-карту");
inline const QString kFailedText = QStringLiteral(
    "Ошибка! Нажмите Enter, чтобы начать инициализацию заново или Esc для завершения");
inline const QString kDoneText = QStringLiteral("Инициализация закончена. Извлеките смарт-карту");
inline const QString kNextText = QStringLiteral("Вставьте следующую смарт-карту");
inline const QString kHintText = QStringLiteral("Для завершения инициализации нажмите Esc");

using initcommands::Sequence;

// The main window as the run sees it.
struct TestSettings : IInitSettings {
    QString pin = QStringLiteral("1234");
    QString puk;
    bool allowPuk = false;
    bool useUnblockKey = false;
    bool dublGroupRSA = true;
    QString groupRSA = QStringLiteral("D1");
    bool dublGroupDSTU = true;
    QString groupDSTU = QStringLiteral("07");
    QString deviceName = QStringLiteral("<None>");
    std::array<std::uint8_t, 16> unblockKey = Sequence<16>(0xA0);
    std::array<std::uint8_t, 32> groupKeyRSA = Sequence<32>(0x00);
    std::array<std::uint8_t, 32> groupKeyDSTU = Sequence<32>(0x20);

    std::string PinText() const override { return pin.toStdString(); }
    std::string PukText() const override { return puk.toStdString(); }
    bool AllowPuk() const override { return allowPuk; }
    bool UseUnblockKey() const override { return useUnblockKey; }
    bool DublGroupRSA() const override { return dublGroupRSA; }
    std::string GroupRSAText() const override { return groupRSA.toStdString(); }
    bool DublGroupDSTU() const override { return dublGroupDSTU; }
    std::string GroupDSTUText() const override { return groupDSTU.toStdString(); }
    std::string DeviceNameText() const override { return deviceName.toStdString(); }
    const std::array<std::uint8_t, 16>& UnblockKey() const override { return unblockKey; }
    const std::array<std::uint8_t, 32>& GroupKeyRSA() const override { return groupKeyRSA; }
    const std::array<std::uint8_t, 32>& GroupKeyDSTU() const override { return groupKeyDSTU; }
};

// Records every wait without sleeping; `onPause` runs "during" each wait.
struct RecordingPause : IInitPause {
    struct Wait {
        int ms;
        PauseKind kind;
    };
    std::vector<Wait> waits;
    std::function<void(const Wait&)> onPause;
    // A run that keeps waiting this long has lost its way: fail and press Esc for it.
    std::size_t limit = 50000;
    QWidget* dialog = nullptr;
    // 0: no sleeping at all; n: each wait really sleeps its n-th part (for the real PC/SC stack,
    // whose reader notices an insertion or removal only after a few hundred milliseconds).
    int sleepDivisor = 0;

    RecordingPause() { SetInitPause(this); }
    ~RecordingPause() override { SetInitPause(nullptr); }

    void Pause(int ms, PauseKind kind) override;
    // A blink phase is recorded as a wait of kind Blink; the run's timer then waits only the
    // sleeping part of it (none at all without a divisor).
    int BeginPhase(int ms) override {
        Record(ms, PauseKind::Blink);
        if (phaseLength >= 0)
            return phaseLength;
        return sleepDivisor > 0 ? ms / sleepDivisor : 0;
    }
    int PollInterval() override { return pollInterval; }
    // When set, every blink phase lasts this long on the run's timer, whatever its design length.
    int phaseLength = -1;
    int pollInterval = 100;
    void Record(int ms, PauseKind kind);
    std::size_t Count(int ms, PauseKind kind) const {
        std::size_t n = 0;
        for (const Wait& w : waits)
            n += (w.ms == ms && w.kind == kind) ? 1 : 0;
        return n;
    }
};

// A log folder of the test's own, a fixed clock and Russian regional settings.
struct TestLogEnvironment : IInitLogEnvironment {
    QTemporaryDir dir;
    QString folder;
    QDateTime now{QDate(2026, 12, 7), QTime(14, 3, 27)};
    std::string locale = "ru_RU.UTF-8";

    TestLogEnvironment() {
        folder = dir.path();
        SetInitLogEnvironment(this);
    }
    ~TestLogEnvironment() override { SetInitLogEnvironment(nullptr); }

    // The clock; a double with a running clock gives its own.
    virtual QDateTime Time() const { return now; }
    DateTimeFields Now() const final { return LogClockOf(Time()); }
    std::string DataFolder() const override { return folder.toStdString(); }
    std::string TimeLocale() const override { return locale; }

    QString PathOf(const QString& fileName) const {
        return folder + QStringLiteral("/Velmar/Orvane/") + fileName;
    }
    // The raw bytes of a day's file ("" when it does not exist).
    QByteArray Contents(const QString& fileName = QStringLiteral("Orvane_07.12.2026.log")) const {
        QFile file(PathOf(fileName));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return file.readAll();
    }
    // The lines of a day's file, split at CR LF.
    QStringList Lines(const QString& fileName = QStringLiteral("Orvane_07.12.2026.log")) const {
        QStringList lines = QString::fromUtf8(Contents(fileName)).split(QStringLiteral("\r\n"));
        if (!lines.isEmpty() && lines.back().isEmpty())
            lines.pop_back();
        return lines;
    }
};

// Queues a key press for the dialog, as the window system would.
inline void PostKey(QWidget* widget, Qt::Key key) {
    QCoreApplication::postEvent(widget, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
}

inline void RecordingPause::Pause(int ms, PauseKind kind) {
    Record(ms, kind);
    if (sleepDivisor > 0)
        QThread::msleep(static_cast<unsigned long>(ms / sleepDivisor));
}

inline void RecordingPause::Record(int ms, PauseKind kind) {
    waits.push_back({ms, kind});
    if (waits.size() == limit && dialog) {
        ADD_FAILURE() << "the run kept waiting; pressing Esc";
        PostKey(dialog, Qt::Key_Escape);
    }
    if (onPause)
        onPause(waits.back());
}

inline std::string ToHex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

inline std::vector<std::string> ToHex(const std::vector<Bytes>& commands) {
    std::vector<std::string> lines;
    for (const Bytes& c : commands)
        lines.push_back(ToHex(c));
    return lines;
}

inline Bytes Hex(std::string_view text) {
    return FakePcsc::Hex(text);
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using initcommands::ToBytes;

inline QColor TextColour(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

// A run through the real PC/SC stack with the PIN "Пин1": boxes recorded, the waits really
// slept for their `divisor`-th part (pcscd needs real time to notice a token).
struct RealStackRun {
    FakeDialogs dialogs;
    RecordingPause pause;
    TestLogEnvironment log;
    // The run's audit entries go here, none to the system journal.
    RecordingAuditJournal journal;
    TestSettings settings;
    ProgressDialog dialog{settings};

    explicit RealStackRun(int divisor) {
        pause.dialog = &dialog;
        pause.sleepDivisor = divisor;
        settings.pin = QStringLiteral("Пин1");
    }
    QString Status() const { return Control<QLabel>(dialog, "Label1")->text(); }

    // Enter, then the run on `reader` until it ends. A box (a failed attempt, for the test to
    // check) is answered with Esc, and so is a run still waiting after many more waits than a
    // test's few blink phases take.
    void Run(const std::string& reader) {
        dialogs.onMessage = [this](const MessageRequest&) {
            QTimer::singleShot(0, [this] { PostKey(&dialog, Qt::Key_Escape); });
        };
        pause.limit = 3000;
        PostKey(&dialog, Qt::Key_Return);
        dialog.RunInitialization(reader);
    }
};

inline const char* kReader = "Orvane Test Reader 00 00";

// The scripted stack, the dialog doubles, the waits and the log folder, with the dialog on top.
// A watchdog presses Esc (and fails the test) when a run has not ended after ten seconds.
struct Harness {
    FakePcsc pcsc;
    FakeDialogs dialogs;
    RecordingPause pause;
    TestLogEnvironment log;
    TestSettings settings;
    ProgressDialog dialog{settings};

    Harness() {
        pause.dialog = &dialog;
        // Fixed texts for the codes a run may meet, whatever the installed pcsc-lite says.
        pcsc.SetMessageText(pcsc::kNoSmartcard, "No smart card inserted.");
    }

    // Runs the dialog for the test reader until it closes.
    void Run(const char* reader = kReader) {
        bool finished = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            if (!finished) {
                ADD_FAILURE() << "the run did not end; pressing Esc";
                dialog.PressEscape();
            }
        });
        watchdog.start(10000);
        dialog.RunInitialization(reader);
        finished = true;
    }

    bool InRemovalWait() const { return Control<QLabel>(dialog, "Label1")->text() == kDoneText; }
    bool WaitingForNext() const { return Control<QLabel>(dialog, "Label1")->text() == kNextText; }

    // The usual end of a one-token run: the token is taken out during the removal wait and Esc
    // is pressed once the dialog waits for the next token. `also` sees every wait first.
    void TakeOutThenEsc(std::function<void(const RecordingPause::Wait&)> also = {}) {
        escPosted = false;
        pause.onPause = [this, also](const RecordingPause::Wait& w) {
            if (also)
                also(w);
            if (w.kind != PauseKind::Blink)
                return;
            if (InRemovalWait())
                pcsc.RemoveCard(kReader);
            else if (WaitingForNext() && !escPosted) {
                escPosted = true;
                PostKey(&dialog, Qt::Key_Escape);
            }
        };
    }
    bool escPosted = false; // set once TakeOutThenEsc pressed Esc
};

} // namespace initkit
