// The tab "Разблокировка" of the real main window through the private PC/SC stack: a virtual
// token initialized by the real run (progress dialog, Enter, Esc during the removal wait), its
// PIN blocked by wrong VERIFYs of a user session, then reset with the unblock key, or unblocked
// by the user with the response code the window computes.

#include "e2e/WindowDriver.h"
#include "engine/ReaderLock.h"
#include "support/FakeDialogs.h"

#include <QTabWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <sys/random.h>

namespace {

using e2e::PinBytes;

const QString kPin = QStringLiteral("Пин1");
const Bytes kPinBytes = PinBytes({0xCF, 0xE8, 0xED, '1'});
const QString kNewPin = QStringLiteral("Нов5678");
const Bytes kNewPinBytes = PinBytes({0xCD, 0xEE, 0xE2, '5', '6', '7', '8'});

const QString kConfirmation =
    QStringLiteral("Некоторые поля не были заполнены. Следующие параметры будут заблокированы:\r"
                   "ПАК-код; Дублирование RSA; Дублирование ДСТУ. \rПродолжить?");
const QString kResetDone = QStringLiteral("ПИН-код успешно изменен");
const QString kOtherPin = QStringLiteral("901234");
const Bytes kOtherPinBytes = PinBytes({'9', '0', '1', '2', '3', '4'});

const QString kWrongKey =
    QStringLiteral("Ошибка смарт-карты. Возможно загружен неверный ключ разблокировки");

class UnblockThroughPcscd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(e2e::PcscStackRuns());
        ASSERT_TRUE(keys.isValid());
        ASSERT_TRUE(token.Insert()) << token.Error();
        window = std::make_unique<MainWindow>();
        progbar = &window->Progress();
        window->SetInitRunner(progbar);
        window->show();
        ASSERT_NO_FATAL_FAILURE(InitializeToken());
        ASSERT_TRUE(e2e::UserSession(reader).BlockPin(kPinBytes));
        ASSERT_EQ(PinTriesLeft(), 0);
    }

    // The administrator prepares the token: PIN, a generated unblock key usable for unblocking,
    // everything else blocked; Enter starts it, Esc during the removal wait ends the run with the
    // token still in the reader.
    void InitializeToken() {
        Control<QTabWidget>(window, "PageControl1")->setCurrentIndex(0);
        ASSERT_TRUE(e2e::ChooseReader(Control<ReaderComboBox>(window, "cbRdrList2"), reader));
        ASSERT_EQ(window->CardReader().Reader, reader);
        e2e::TypeText(Control<QLineEdit>(window, "EdPIN"), kPin);
        ASSERT_EQ(Control<QLineEdit>(window, "EdPIN")->text(), kPin);
        Control<QCheckBox>(window, "cbCRKey")->click();
        dialogs.saveNames.push_back(keys.filePath(QStringLiteral("admin")));
        Control<QPushButton>(window, "BtnGenerate")->click();
        ASSERT_EQ(Control<QPushButton>(window, "BtnLoad")->text(), e2e::kLoaded);
        // The file is confirmed with the key check value to write down.
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_TRUE(dialogs.messages[0].text.startsWith(QStringLiteral("Ключ сохранён в файл ")));
        dialogs.messages.clear();
        keyPath = keys.filePath(QStringLiteral("admin.key"));
        key = e2e::ReadFileBytes(keyPath);
        ASSERT_EQ(key.size(), 16u);

        bool escPosted = false;
        waits.onBlink = [&] {
            if (Control<QLabel>(progbar, "Label1")->text() == e2e::kDoneText && !escPosted) {
                escPosted = true;
                e2e::PostKey(progbar, Qt::Key_Escape);
            }
        };
        dialogs.answers.push_back(mbYes);
        e2e::PressInit(*window, *progbar);
        waits.onBlink = nullptr;

        ASSERT_EQ(dialogs.messages.size(), 2u) << dialogs.LastText().toStdString();
        EXPECT_EQ(dialogs.messages[0].text, kConfirmation);
        EXPECT_EQ(dialogs.messages[1].title, QStringLiteral("Information"));
        EXPECT_EQ(dialogs.messages[1].text, QStringLiteral("Инициализация закончена"));
        EXPECT_TRUE(escPosted) << "the run never reached the removal wait";
        const auto state = token.State();
        ASSERT_TRUE(state) << token.Error();
        ASSERT_EQ(state->pin.value, kPinBytes);
        ASSERT_EQ(state->unblockKey.value, key);
        ASSERT_EQ(state->unblockKey.attribute, 0xEE);
        dialogs.messages.clear();
    }

    int PinTriesLeft() {
        const auto state = token.State();
        return state ? state->pin.triesLeft : -1;
    }

    VirtualToken token; // first: it points the process at the private stack
    FakeDialogs dialogs;
    e2e::ShortWaits waits;
    e2e::TempLogFolder log;
    QTemporaryDir keys;
    std::unique_ptr<MainWindow> window;
    ProgressDialog* progbar = nullptr; // owned by the window
    const std::string reader = VirtualToken::ReaderName(0);
    QString keyPath;
    Bytes key;
};

struct ResetCase {
    const char* name;
    bool otherKey; // a second generated key, loaded through BtnLoad, is in force
    QString message;
    MsgType type;
    std::vector<std::string> commands; // INS of the APDUs the token receives
    const char* authenticateSw;
};
void PrintTo(const ResetCase& c, std::ostream* os) {
    *os << c.name;
}

class PinResetThroughPcscd : public UnblockThroughPcscd,
                             public ::testing::WithParamInterface<ResetCase> {};

TEST_P(PinResetThroughPcscd, ResetsOnlyWithTheTokensKeyAndAlwaysReleasesIt) {
    const ResetCase& c = GetParam();
    if (c.otherKey) {
        Bytes other(16);
        ASSERT_EQ(getrandom(other.data(), other.size(), 0), 16);
        const QString path = keys.filePath(QStringLiteral("other.key"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(other.data()), 16);
        file.close();
        dialogs.openNames.push_back(path);
        Control<QPushButton>(window, "BtnLoad")->click();
        ASSERT_EQ(dialogs.LastText(), QStringLiteral("Ключ загружен"));
        ASSERT_NE(other, key);
        dialogs.messages.clear();
    }

    Control<QTabWidget>(window, "PageControl1")->setCurrentIndex(1);
    ASSERT_TRUE(e2e::ChooseReader(Control<ReaderComboBox>(window, "cbRdrList"), reader));
    e2e::TypeText(Control<QLineEdit>(window, "EdNewPin_1"), kNewPin);
    e2e::TypeText(Control<QLineEdit>(window, "edNewPin_2"), kNewPin);
    ASSERT_EQ(Control<QLineEdit>(window, "EdNewPin_1")->text(), kNewPin);
    token.ClearTrace();
    Control<QPushButton>(window, "BtnUnblOk")->click();

    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, c.message);
    EXPECT_EQ(dialogs.messages[0].type, c.type);
    EXPECT_EQ(dialogs.messages[0].title, QStringLiteral("Orvane"));

    const bool success = c.message == kResetDone;
    // The window let the token go with a reset, whatever the outcome.
    EXPECT_EQ(window->CardReader().CardHandle, 0);
    EXPECT_TRUE(e2e::WaitUntil([&] { return e2e::Summarize(token).resetAfterLastApdu; }))
        << "no reset after the last command";
    const auto state = token.State();
    ASSERT_TRUE(state) << token.Error();
    EXPECT_EQ(state->pin.value, success ? kNewPinBytes : kPinBytes);
    EXPECT_EQ(state->pin.triesLeft, success ? state->pin.maxTries : 0);
    EXPECT_FALSE(state->session.unblock) << "the unblock right outlived the click";
    // The entries are emptied on success only.
    EXPECT_EQ(Control<QLineEdit>(window, "EdNewPin_1")->text(), success ? QString() : kNewPin);
    EXPECT_EQ(Control<QLineEdit>(window, "edNewPin_2")->text(), success ? QString() : kNewPin);

    const e2e::TraceSummary trace = e2e::Summarize(token);
    EXPECT_EQ(trace.ins, c.commands);
    ASSERT_GE(trace.sw.size(), 3u);
    EXPECT_EQ(trace.sw[2], c.authenticateSw) << "EXTERNAL AUTHENTICATE";
    // Released: another program reaches the token.
    e2e::UserSession user(reader);
    ASSERT_TRUE(user.Connect());
    if (success) {
        EXPECT_TRUE(user.VerifyPin(kNewPinBytes)) << "the new PIN opens the token";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, PinResetThroughPcscd,
    ::testing::Values(
        ResetCase{"GeneratedKey",
                  false,
                  kResetDone,
                  MsgType::Information,
                  {"A4", "84", "82", "F4"},
                  "9000"},
        ResetCase{"OtherKeyFile", true, kWrongKey, MsgType::Warning, {"A4", "84", "82"}, "6300"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UnblockThroughPcscd, ResponseToTheTokensChallengeUnblocksIt) {
    Control<QTabWidget>(window, "PageControl1")->setCurrentIndex(1);
    const VirtualToken::ToolResult shown = token.UserChallenge();
    ASSERT_EQ(shown.exitCode, 0) << shown.output;
    const QString challenge = QString::fromStdString(shown.output).trimmed();
    ASSERT_EQ(challenge.size(), 23) << shown.output;

    // Typed as the user reads it out, in lower case: the field groups and capitalizes it.
    QTest::keyClicks(Control<ChallengeEdit>(window, "EdCallenge"), challenge.toLower());
    EXPECT_EQ(Control<ChallengeEdit>(window, "EdCallenge")->text(), challenge);

    // The key came through BtnGenerate only: the first press asks for it and loads it.
    dialogs.answers.push_back(mbYes);
    dialogs.openNames.push_back(keyPath);
    Control<QPushButton>(window, "Button1")->click();
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[0].text,
              QStringLiteral("Ключ для инициализации CR не загружен. Загрузить?"));
    EXPECT_EQ(dialogs.messages[1].text, QStringLiteral("Ключ загружен"));
    EXPECT_EQ(Control<QPushButton>(window, "BtnLoadKey")->text(), e2e::kLoaded);
    EXPECT_TRUE(Control<QLineEdit>(window, "EdResponse")->text().isEmpty());

    Control<QPushButton>(window, "Button1")->click();
    EXPECT_EQ(dialogs.messages.size(), 2u) << dialogs.LastText().toStdString();
    const QString response = Control<QLineEdit>(window, "EdResponse")->text();
    ASSERT_EQ(response.size(), 23);

    // The token checks: a response with one digit changed is refused and the PIN stays blocked.
    QString altered = response;
    altered[0] = altered[0] == u'0' ? u'1' : u'0';
    EXPECT_EQ(token.UserResponse(altered.toStdString()).exitCode, 1);
    EXPECT_EQ(PinTriesLeft(), 0);

    const VirtualToken::ToolResult accepted = token.UserResponse(response.toStdString());
    EXPECT_EQ(accepted.exitCode, 0) << accepted.output;
    const auto state = token.State();
    ASSERT_TRUE(state) << token.Error();
    EXPECT_EQ(state->pin.triesLeft, state->pin.maxTries);
    EXPECT_EQ(state->pin.value, kPinBytes);
    e2e::UserSession user(reader);
    ASSERT_TRUE(user.Connect());
    EXPECT_TRUE(user.VerifyPin(kPinBytes));
}

// The reader locks of one test in a runtime folder of its own.
struct OwnRuntimeFolder {
    OwnRuntimeFolder() {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            saved = old;
        ::setenv("XDG_RUNTIME_DIR", folder.path().toStdString().c_str(), 1);
    }
    ~OwnRuntimeFolder() {
        if (saved)
            ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }
    QTemporaryDir folder;
    std::optional<std::string> saved;
};

TEST_F(UnblockThroughPcscd, PinResetRefusedWhileAnotherRunHoldsTheReader) {
    OwnRuntimeFolder runtime;
    ASSERT_TRUE(runtime.folder.isValid());
    Control<QTabWidget>(window, "PageControl1")->setCurrentIndex(1);
    ASSERT_TRUE(e2e::ChooseReader(Control<ReaderComboBox>(window, "cbRdrList"), reader));
    e2e::TypeText(Control<QLineEdit>(window, "EdNewPin_1"), kNewPin);
    e2e::TypeText(Control<QLineEdit>(window, "edNewPin_2"), kNewPin);
    {
        const std::optional<ReaderLock> held = ReaderLock::Take(reader);
        ASSERT_TRUE(held);
        token.ClearTrace();
        Control<QPushButton>(window, "BtnUnblOk")->click();
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_EQ(dialogs.messages[0].text.toStdString(), ReaderHeldMessage(reader));
        EXPECT_EQ(dialogs.messages[0].type, MsgType::Warning);
        EXPECT_TRUE(token.Apdus().empty()) << "a command reached the held reader's token";
        EXPECT_EQ(PinTriesLeft(), 0);
        // The entries stay for the next try.
        EXPECT_EQ(Control<QLineEdit>(window, "EdNewPin_1")->text(), kNewPin);
        dialogs.messages.clear();
    }
    // Let go: the same click resets the PIN.
    Control<QPushButton>(window, "BtnUnblOk")->click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, kResetDone);
    const auto state = token.State();
    ASSERT_TRUE(state) << token.Error();
    EXPECT_EQ(state->pin.value, kNewPinBytes);
}

// The smart-card service stopped and started again between two uses of the window: the window's
// reader session finds its context gone and takes a new one, once, by itself.

// pcscd runs again when the test ends, whatever failed.
struct ServiceBack {
    ~ServiceBack() { VirtualToken::RunSandbox({"start-daemon", VirtualToken::SandboxDir()}); }
};

// Restarts pcscd; the token, whose connection to vpcd ended with it, is put back as it was.
void RestartService(VirtualToken& token) {
    std::string error;
    ASSERT_TRUE(VirtualToken::StopDaemon(&error)) << error;
    ASSERT_TRUE(token.WaitExit(3000)) << "the token outlived pcscd";
    ASSERT_TRUE(VirtualToken::StartDaemon(&error)) << error;
    ASSERT_TRUE(token.Insert()) << token.Error();
}

TEST_F(UnblockThroughPcscd, SecondPinResetWorksAfterTheServiceRestarted) {
    ServiceBack back;
    Control<QTabWidget>(window, "PageControl1")->setCurrentIndex(1);
    ASSERT_TRUE(e2e::ChooseReader(Control<ReaderComboBox>(window, "cbRdrList"), reader));
    const struct {
        QString pin;
        Bytes stored;
    } resets[] = {{kNewPin, kNewPinBytes}, {kOtherPin, kOtherPinBytes}};
    for (const auto& r : resets) {
        SCOPED_TRACE(r.pin.toStdString());
        if (&r != resets) {
            ASSERT_NO_FATAL_FAILURE(RestartService(token)); // the list is not dropped down again
        }
        e2e::TypeText(Control<QLineEdit>(window, "EdNewPin_1"), r.pin);
        e2e::TypeText(Control<QLineEdit>(window, "edNewPin_2"), r.pin);
        Control<QPushButton>(window, "BtnUnblOk")->click();
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_EQ(dialogs.messages[0].text.toStdString(), kResetDone.toStdString());
        dialogs.messages.clear();
        const auto state = token.State();
        ASSERT_TRUE(state) << token.Error();
        EXPECT_EQ(state->pin.value, r.stored);
        EXPECT_EQ(state->pin.triesLeft, state->pin.maxTries);
    }
}

struct ListCase {
    const char* name;
    int tab;                   // the tab whose device list is dropped down
    bool droppedDownMeanwhile; // also while the service is away
};
void PrintTo(const ListCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceListThroughPcscd : public UnblockThroughPcscd,
                               public ::testing::WithParamInterface<ListCase> {};

TEST_P(DeviceListThroughPcscd, ListsTheReaderAgainAfterTheServiceRestarted) {
    ServiceBack back;
    Control<QTabWidget>(window, "PageControl1")->setCurrentIndex(GetParam().tab);
    QComboBox* list = GetParam().tab == 0 ? Control<ReaderComboBox>(window, "cbRdrList2")
                                          : Control<ReaderComboBox>(window, "cbRdrList");
    const QString name = QString::fromStdString(reader);
    const auto dropDown = [&] {
        list->showPopup();
        list->hidePopup();
        return list->findText(name) >= 0;
    };
    EXPECT_TRUE(dropDown());

    std::string error;
    ASSERT_TRUE(VirtualToken::StopDaemon(&error)) << error;
    if (GetParam().droppedDownMeanwhile) {
        EXPECT_FALSE(dropDown()) << "a reader listed with no service";
    }
    ASSERT_TRUE(VirtualToken::StartDaemon(&error)) << error;
    EXPECT_TRUE(dropDown()) << "the reader is not listed again";
    EXPECT_TRUE(dropDown());
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.LastText().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Tabs, DeviceListThroughPcscd,
                         ::testing::Values(ListCase{"InitializationAlsoMeanwhile", 0, true},
                                           ListCase{"Unblocking", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
