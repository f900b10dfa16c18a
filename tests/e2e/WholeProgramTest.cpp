// Orvane as a whole, in one process: its own start code (the instance lock, the application
// title, the four windows in their order, the message loop), its real windows offscreen, the real
// pcscd of the private PC/SC stack and a virtual token. The tests run inside the program's
// message loop, as the administrator works in it; the program then ends through "Файл" >
// "Выход", and its start code releases the windows.
//
// Only the message boxes and the file dialogs are answered by a double (FakeDialogs); the run's
// waits take a fiftieth of their length (e2e::ShortWaits); the log goes to a temporary folder.

#include "WindowDriver.h"

#include "help/AboutDialog.h"
#include "help/ManualWindow.h"
#include "shell/Startup.h"
#include "support/FakeDialogs.h"

#include <QLockFile>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

using e2e::PinBytes;

const QString kPin = QStringLiteral("Пин1");
const Bytes kPinBytes = PinBytes({0xCF, 0xE8, 0xED, '1'});
const QString kPuk = QStringLiteral("4321");
const Bytes kPukBytes = PinBytes({'4', '3', '2', '1'});
const QString kNewPin = QStringLiteral("Нов5678");
const Bytes kNewPinBytes = PinBytes({0xCD, 0xEE, 0xE2, '5', '6', '7', '8'});
const QString kName = QStringLiteral("Тест");
const std::array<std::uint8_t, 32> kNameField{0xD0, 0xA2, 0xD0, 0xB5, 0xD1, 0x81, 0xD1, 0x82};

template <std::size_t N> Bytes ToBytes(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

// ---------------------------------------------------------------------------------------------
// The program's start

TEST(WholeProgram, StartsWithItsFourWindowsAndTheReaders) {
    // The progress dialog, the instruction and About are made when they are first needed, so
    // that the main window shows sooner.
    ASSERT_TRUE(e2e::Main()) << "the main window";
    EXPECT_FALSE(e2e::Owned<ProgressDialog>()) << "the progress dialog made before a run";
    EXPECT_FALSE(e2e::Owned<AboutDialog>()) << "About made before it was asked for";
    EXPECT_FALSE(e2e::Owned<ManualWindow>()) << "the instruction made before it was asked for";
    e2e::Main()->Progress();
    e2e::Main()->About();
    e2e::Main()->Manual();
    EXPECT_TRUE(e2e::Main()->isVisible());
    EXPECT_EQ(e2e::Main()->windowTitle(), QStringLiteral("Orvane"));
    EXPECT_EQ(QApplication::applicationName(), QStringLiteral("Orvane"));
    for (QWidget* hidden : std::initializer_list<QWidget*>{
             e2e::Owned<ProgressDialog>(), e2e::Owned<AboutDialog>(), e2e::Owned<ManualWindow>()}) {
        EXPECT_FALSE(hidden->isVisible()) << hidden->objectName().toStdString();
        EXPECT_EQ(hidden->parentWidget(), e2e::Main()) << hidden->objectName().toStdString();
    }
    // While it runs, the program holds its instance lock: a second start would end at once.
    QLockFile second(InstanceLockPath());
    EXPECT_FALSE(second.tryLock(0)) << InstanceLockPath().toStdString();

    // The device lists were filled from pcscd when the window was made.
    ASSERT_TRUE(e2e::PcscStackRuns());
    EXPECT_NE(e2e::Main()->CardReader().Context, 0);
    const QString reader = QString::fromStdString(VirtualToken::ReaderName(0));
    EXPECT_GE(Control<ReaderComboBox>(e2e::Main(), "cbRdrList2")->findText(reader), 0);
    EXPECT_GE(Control<ReaderComboBox>(e2e::Main(), "cbRdrList")->findText(reader), 0);
}

// ---------------------------------------------------------------------------------------------
// A token's life: initialized, blocked by its user, reset by the administrator, blocked again
// and unblocked by the user with the administrator's response code.

class WholeProgramWithToken : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(e2e::Main()) << "the main window";
        e2e::Main()->Progress();
        ASSERT_TRUE(e2e::PcscStackRuns());
        ASSERT_TRUE(keys.isValid());
    }

    // Everything the initialization put on the token, with `pin` as its PIN now.
    void ExpectTokenHolds(const Bytes& pin) {
        const auto state = token.State();
        ASSERT_TRUE(state) << token.Error();
        EXPECT_EQ(state->pin.value, pin);
        EXPECT_EQ(state->pin.attribute, 0x77);
        EXPECT_EQ(state->pin.triesLeft, state->pin.maxTries);
        EXPECT_EQ(state->puk.value, kPukBytes);
        EXPECT_EQ(state->puk.attribute, 0x44);
        EXPECT_EQ(state->unblockKey.value, key);
        EXPECT_EQ(state->unblockKey.attribute, 0xEE);
        const vtoken::Application& rsa = state->app(vtoken::AppId::RSA);
        EXPECT_EQ(rsa.groupKey.value, ToBytes(groupKeyRSA));
        EXPECT_EQ(rsa.groupKey.attribute, 0x99);
        EXPECT_EQ(rsa.groupCode(), 0x00D1);
        const vtoken::Application& dstu = state->app(vtoken::AppId::DSTU);
        EXPECT_EQ(dstu.groupKey.value, ToBytes(groupKeyDSTU));
        EXPECT_EQ(dstu.groupKey.attribute, 0x99);
        EXPECT_EQ(dstu.groupCode(), 0x0007);
        EXPECT_EQ(dstu.name, kNameField);
        EXPECT_TRUE(state->app(vtoken::AppId::Data).activated);
    }

    // One success line, written between `started` and `ended`, in the day's file.
    void ExpectOneSuccessLine(const QDateTime& started, const QDateTime& ended) {
        const QStringList files = log.Files();
        ASSERT_EQ(files.size(), 1) << files.join(u' ').toStdString();
        EXPECT_TRUE(files[0] == e2e::TempLogFolder::DayFile(started.date()) ||
                    files[0] == e2e::TempLogFolder::DayFile(ended.date()))
            << files[0].toStdString();
        const QString contents = QString::fromUtf8(log.Contents(files[0]));
        // A token that announces its applications is not asked for its number.
        static const QRegularExpression line(
            QStringLiteral("^(\\d\\d):(\\d\\d):(\\d\\d): # SUCCESS\r\n$"));
        const QRegularExpressionMatch m = line.match(contents);
        ASSERT_TRUE(m.hasMatch()) << contents.toStdString();
        const QTime at(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        if (started.date() == ended.date()) {
            const QTime from = started.time().addMSecs(-started.time().msec());
            EXPECT_TRUE(at >= from && at <= ended.time())
                << at.toString().toStdString() << " not within the run";
        }
    }

    VirtualToken token;
    FakeDialogs dialogs;
    e2e::ShortWaits waits;
    e2e::TempLogFolder log;
    QTemporaryDir keys;
    const std::string reader = VirtualToken::ReaderName(0);
    Bytes key;
    std::array<std::uint8_t, 32> groupKeyRSA{};
    std::array<std::uint8_t, 32> groupKeyDSTU{};
};

TEST_F(WholeProgramWithToken, InitializesResetsAndUnblocksAToken) {
    MainWindow& w = *e2e::Main();
    ASSERT_TRUE(token.Insert()) << token.Error();

    // Tab "Инициализация": the device and every parameter, typed and ticked.
    Control<QTabWidget>(&w, "PageControl1")->setCurrentIndex(0);
    ASSERT_TRUE(e2e::ChooseReader(Control<ReaderComboBox>(&w, "cbRdrList2"), reader));
    ASSERT_EQ(w.CardReader().Reader, reader);
    e2e::TypeText(Control<QLineEdit>(&w, "EdPIN"), kPin);
    Control<QCheckBox>(&w, "cbAllowPUK")->click();
    ASSERT_TRUE(Control<QLineEdit>(&w, "EdPUK")->isEnabled());
    e2e::TypeText(Control<QLineEdit>(&w, "EdPUK"), kPuk);
    Control<QCheckBox>(&w, "cbCRKey")->click();
    ASSERT_TRUE(Control<QPushButton>(&w, "BtnGenerate")->isEnabled());
    dialogs.saveNames.push_back(keys.filePath(QStringLiteral("admin")));
    Control<QPushButton>(&w, "BtnGenerate")->click();
    const QString keyPath = keys.filePath(QStringLiteral("admin.key"));
    key = e2e::ReadFileBytes(keyPath);
    ASSERT_EQ(key.size(), 16u) << "the generated key file";
    EXPECT_EQ(Control<QPushButton>(&w, "BtnLoad")->text(), e2e::kLoaded);
    // The box that confirms the file gives the key check value shown beside the key buttons.
    ASSERT_EQ(dialogs.messages.size(), 1u);
    const QString kcv = Control<QLabel>(&w, "LblKcv")->text().mid(5);
    EXPECT_EQ(kcv.size(), 6);
    EXPECT_EQ(dialogs.messages[0].text,
              QStringLiteral("Ключ сохранён в файл %1. Контрольное значение (KCV): %2. Запишите "
                             "его вместе с файлом.")
                  .arg(keyPath, kcv));
    dialogs.messages.clear();
    Control<QCheckBox>(&w, "cbDublGroupRSA")->click();
    Control<QCheckBox>(&w, "cbDublGroupDSTU")->click();
    ASSERT_TRUE(Control<QLineEdit>(&w, "edGroupDSTU")->isEnabled());
    e2e::RetypeText(Control<QLineEdit>(&w, "edGroupDSTU"), QStringLiteral("07"));
    e2e::RetypeText(Control<QLineEdit>(&w, "EdDeviceName"), kName);
    ASSERT_EQ(Control<QLineEdit>(&w, "EdPIN")->text(), kPin);
    ASSERT_EQ(Control<QLineEdit>(&w, "EdPUK")->text(), kPuk);
    ASSERT_EQ(Control<QLineEdit>(&w, "edGroupRSA")->text(), QStringLiteral("D1"));
    ASSERT_EQ(Control<QLineEdit>(&w, "edGroupDSTU")->text(), QStringLiteral("07"));
    ASSERT_EQ(Control<QLineEdit>(&w, "EdDeviceName")->text(), kName);
    groupKeyRSA = w.Keys().GroupKeyRsa();
    groupKeyDSTU = w.Keys().GroupKeyDstu();
    ASSERT_TRUE(dialogs.messages.empty()) << dialogs.LastText().toStdString();

    // "Инициализация", Enter in the progress dialog; the token is taken out during the removal
    // wait, and Esc ends the run while it waits for the next token.
    bool removed = false, escPosted = false, hintShown = false;
    waits.onBlink = [&] {
        const QString status = Control<QLabel>(e2e::Owned<ProgressDialog>(), "Label1")->text();
        if (!removed && status == e2e::kDoneText) {
            removed = true;
            EXPECT_TRUE(token.Remove()) << token.Error();
        } else if (removed && !escPosted && status == e2e::kNextText) {
            hintShown = Control<QLabel>(e2e::Owned<ProgressDialog>(), "Label2")->isVisible();
            escPosted = true;
            e2e::PostKey(e2e::Owned<ProgressDialog>(), Qt::Key_Escape);
        }
    };
    const QDateTime started = QDateTime::currentDateTime();
    e2e::PressInit(w, *e2e::Owned<ProgressDialog>());
    const QDateTime ended = QDateTime::currentDateTime();
    waits.onBlink = nullptr;

    EXPECT_TRUE(removed) << "the run never reached the removal wait";
    EXPECT_TRUE(escPosted) << "the run never waited for the next token";
    EXPECT_TRUE(hintShown) << "the hint about Esc while waiting for the next token";
    EXPECT_FALSE(e2e::Owned<ProgressDialog>()->isVisible());
    // Nothing was left blocked, so nothing was asked; the end of the run is announced.
    ASSERT_EQ(dialogs.messages.size(), 1u) << dialogs.LastText().toStdString();
    EXPECT_EQ(dialogs.messages[0].title, QStringLiteral("Information"));
    EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("Инициализация закончена"));
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Information);
    EXPECT_EQ(dialogs.messages[0].buttons, mbOK);
    EXPECT_TRUE(Control<QLineEdit>(&w, "EdPIN")->text().isEmpty());
    EXPECT_TRUE(Control<QLineEdit>(&w, "EdPUK")->text().isEmpty());
    ASSERT_NO_FATAL_FAILURE(ExpectTokenHolds(kPinBytes));
    ASSERT_NO_FATAL_FAILURE(ExpectOneSuccessLine(started, ended));

    // Tab "Разблокировка": the token is back with its PIN blocked by wrong tries; the
    // administrator gives it a new PIN.
    ASSERT_TRUE(token.Insert()) << token.Error();
    Control<QTabWidget>(&w, "PageControl1")->setCurrentIndex(1);
    ASSERT_TRUE(e2e::ChooseReader(Control<ReaderComboBox>(&w, "cbRdrList"), reader));
    ASSERT_TRUE(e2e::UserSession(reader).BlockPin(kPinBytes));
    dialogs.messages.clear();
    e2e::TypeText(Control<QLineEdit>(&w, "EdNewPin_1"), kNewPin);
    e2e::TypeText(Control<QLineEdit>(&w, "edNewPin_2"), kNewPin);
    Control<QPushButton>(&w, "BtnUnblOk")->click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("ПИН-код успешно изменен"));
    EXPECT_EQ(w.CardReader().CardHandle, 0) << "the window still holds the token";
    EXPECT_TRUE(Control<QLineEdit>(&w, "EdNewPin_1")->text().isEmpty() &&
                Control<QLineEdit>(&w, "edNewPin_2")->text().isEmpty());
    {
        e2e::UserSession user(reader);
        ASSERT_TRUE(user.Connect());
        EXPECT_TRUE(user.VerifyPin(kNewPinBytes)) << "the new PIN opens the token";
    }

    // The user blocks it again and reads the challenge off it; the administrator loads the key
    // file on this tab and answers with the response code.
    ASSERT_TRUE(e2e::UserSession(reader).BlockPin(kNewPinBytes));
    dialogs.messages.clear();
    dialogs.openNames.push_back(keyPath);
    Control<QPushButton>(&w, "BtnLoadKey")->click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, QStringLiteral("Ключ загружен"));
    EXPECT_EQ(Control<QPushButton>(&w, "BtnLoadKey")->text(), e2e::kLoaded);
    const VirtualToken::ToolResult shown = token.UserChallenge();
    ASSERT_EQ(shown.exitCode, 0) << shown.output;
    const QString challenge = QString::fromStdString(shown.output).trimmed();
    QTest::keyClicks(Control<ChallengeEdit>(&w, "EdCallenge"), challenge);
    ASSERT_EQ(Control<ChallengeEdit>(&w, "EdCallenge")->text(), challenge);
    Control<QPushButton>(&w, "Button1")->click();
    EXPECT_EQ(dialogs.messages.size(), 1u) << dialogs.LastText().toStdString();
    const QString response = Control<QLineEdit>(&w, "EdResponse")->text();
    ASSERT_EQ(response.size(), 23) << response.toStdString();
    const VirtualToken::ToolResult accepted = token.UserResponse(response.toStdString());
    EXPECT_EQ(accepted.exitCode, 0) << accepted.output;

    // At the end: the token holds the new PIN with all its tries and everything else the run
    // put on it; the log still holds its one line.
    ASSERT_NO_FATAL_FAILURE(ExpectTokenHolds(kNewPinBytes));
    ASSERT_NO_FATAL_FAILURE(ExpectOneSuccessLine(started, ended));
}

// ---------------------------------------------------------------------------------------------
// Menu "Помощь"

const QString kHeadings[] = {
    QStringLiteral("Инициализация"),
    QStringLiteral("Разблокировка устройства через процедуру Вызов-Отклик"),
    QStringLiteral("Разблокировка устройства с правами администратора"),
};

struct ManualSeen {
    bool modal = false;
    QString plain;
    int headings = 0;
    bool boldTitle = false;
    bool picture = false;
};

ManualSeen ReadManual(const ManualWindow& frm) {
    ManualSeen seen;
    seen.modal = frm.isModal();
    const QTextDocument* doc = Control<QTextBrowser>(frm, "redHelp")->document();
    seen.plain = doc->toPlainText();
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        for (const QString& heading : kHeadings)
            seen.headings += b.text() == heading && b.blockFormat().headingLevel() > 0;
        if (b.text() == QStringLiteral("Утилита Инициализации. Инструкция по эксплуатации."))
            seen.boldTitle = b.charFormat().fontWeight() >= QFont::Bold;
        for (auto it = b.begin(); !it.atEnd(); ++it)
            seen.picture = seen.picture || it.fragment().charFormat().isImageFormat();
    }
    return seen;
}

TEST(WholeProgram, InstructionAndAboutFromTheMenu) {
    ASSERT_TRUE(e2e::Main()) << "the program's windows";

    // "Инструкция", twice: the whole manual, formatted, each time (the view is refilled).
    for (int opening = 1; opening <= 2; ++opening) {
        if (opening == 2)
            Control<QTextBrowser>(e2e::Owned<ManualWindow>(), "redHelp")
                ->setPlainText(QStringLiteral("<b>left from before</b>"));
        ManualSeen seen;
        e2e::WhenModal([] { return e2e::Owned<ManualWindow>(); },
                       [&] {
                           seen = ReadManual(*e2e::Owned<ManualWindow>());
                           e2e::Owned<ManualWindow>()->close();
                       });
        Control<QAction>(e2e::Main(), "N8")->trigger();
        EXPECT_TRUE(seen.modal) << "opening " << opening;
        static const QRegularExpression markup(
            QStringLiteral(R"((<\s*/?\s*(html|body|p|h\d|ol|ul|li|img|span|b|br)\b)|\{\\rtf)"),
            QRegularExpression::CaseInsensitiveOption);
        EXPECT_FALSE(markup.match(seen.plain).hasMatch())
            << "markup shown as text, opening " << opening;
        EXPECT_TRUE(seen.boldTitle) << "opening " << opening;
        EXPECT_EQ(seen.headings, 3) << "opening " << opening;
        EXPECT_TRUE(seen.picture) << "opening " << opening;
        EXPECT_FALSE(e2e::Owned<ManualWindow>()->isVisible());
    }

    // "О программе": the file version of this build.
    QString version;
    bool modal = false;
    e2e::WhenModal([] { return e2e::Owned<AboutDialog>(); },
                   [&] {
                       modal = e2e::Owned<AboutDialog>()->isModal();
                       version = Control<QLabel>(e2e::Owned<AboutDialog>(), "Label1")->text();
                       Control<QPushButton>(e2e::Owned<AboutDialog>(), "OKBtn")->click();
                   });
    Control<QAction>(e2e::Main(), "N7")->trigger();
    EXPECT_TRUE(modal);
    EXPECT_EQ(version, QStringLiteral("1.0.3.0"));
    EXPECT_FALSE(e2e::Owned<AboutDialog>()->isVisible());
}

// ---------------------------------------------------------------------------------------------
// Running the tests inside the program

bool testsRan = false;
int testResult = 1;

// Runs once the program's message loop serves events and its main window is up, with the work
// after its first paint done (the controls of the tab "Разблокировка"); then ends the program
// through its menu.
void RunTestsInsideTheProgram() {
    if (!e2e::Main() || !e2e::Main()->isVisible() ||
        !e2e::Main()->findChild<QWidget*>(QStringLiteral("EdCallenge"))) {
        QMetaObject::invokeMethod(qApp, &RunTestsInsideTheProgram, Qt::QueuedConnection);
        return;
    }
    testsRan = true;
    testResult = RUN_ALL_TESTS();
    QTimer::singleShot(10000, qApp, [] {
        std::fprintf(stderr, "\"Выход\" did not end the program\n");
        testResult = 1;
        QApplication::exit(1);
    });
    Control<QAction>(e2e::Main(), "N2")->trigger();
}

// Called by the application object's constructor inside the program's start.
void ScheduleTests() {
    QMetaObject::invokeMethod(qApp, &RunTestsInsideTheProgram, Qt::QueuedConnection);
}

} // namespace

// The program's own start runs the tests; it takes the place of GoogleTest's main.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The main window makes its PC/SC context as it is created: point the process at the
    // private stack first (ctest does so already).
    const std::string socket = VirtualToken::SandboxDir() + "/run/pcscd.comm";
    ::setenv("PCSCLITE_CSOCK_NAME", socket.c_str(), 0);
    // A runtime folder of our own, so that the instance lock meets no other Orvane running on
    // this machine (the demo, the instance test).
    std::string runtime = std::filesystem::temp_directory_path().string() + "/orvane-e2e-XXXXXX";
    if (!::mkdtemp(runtime.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

    qAddPreRoutine(&ScheduleTests);
    const int exitCode = RunOrvane(argc, argv);

    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
    if (!testsRan) {
        std::fprintf(stderr, "the program ended before its main window came up\n");
        return 1;
    }
    if (exitCode != 0) {
        std::fprintf(stderr, "the program ended with %d\n", exitCode);
        return 1;
    }
    return testResult;
}
