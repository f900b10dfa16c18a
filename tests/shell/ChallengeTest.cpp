// Challenge-response: the keystrokes of the challenge field, the text forms, the prompt and the
// response against OpenSSL's two-key Triple-DES.

#include "ShellFixture.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

#include "support/ReferenceTripleDes.h"

#include <random>

namespace {

const QString BadFormat = QStringLiteral(
    "Поле \"Вызов\" имеет недопустимый формат. Проверьте правильность введенных данных");
const QString NoCrKey = QStringLiteral("Ключ для инициализации CR не загружен. Загрузить?");

QString Hex(const std::uint8_t* bytes, int count) {
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QString("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(' ');
}

} // namespace

TEST(ChallengeText, GroupHexPairs) {
    const std::pair<QString, QString> rows[] = {
        {"", ""},
        {"0", "0"},
        {"01", "01"},
        {"012", "01 2"},
        {"0123", "01 23"},
        {"01 2 3", "01 23"},
        {" 0 1 ", "01"},
        {"01 23 4", "01 23 4"},
        {"0123456789ABCDEF0", "01 23 45 67 89 AB CD EF 0"},
    };
    for (const auto& [in, out] : rows)
        EXPECT_EQ(GroupHexPairs(in), out) << in.toStdString();
}

// ---- Keystrokes on the real field ----------------------------------------------------------

struct KeyCase {
    const char* name;
    QString start;
    int caret;
    std::function<void(QWidget*)> keys;
    QString text;
    int caretAfter;
};

TEST_F(ShellTest, ChallengeKeystrokes) {
    auto typed = [](const char* s) { return [s](QWidget* w) { QTest::keyClicks(w, s); }; };
    auto key = [](Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
        return [k, m](QWidget* w) { QTest::keyClick(w, k, m); };
    };
    const KeyCase rows[] = {
        {"sixteen digits", "", 0, typed("0123456789abcdef"), "01 23 45 67 89 AB CD EF", 23},
        {"seventeenth digit", "01 23 45 67 89 AB CD EF", 23, typed("0"),
         "01 23 45 67 89 AB CD EF 0", 25},
        {"digit with the caret inside", "01 23", 1, typed("4"), "01 23 4", 7},
        {"backspace after the blank", "01 23", 3, key(Qt::Key_Backspace), "02 3", 2},
        {"backspace at the end", "01 23", 5, key(Qt::Key_Backspace), "01 2", 4},
        {"backspace at the start", "01 23", 0, key(Qt::Key_Backspace), "01 23", 0},
        {"delete before the blank", "01 23 45", 2, key(Qt::Key_Delete), "01 34 5", 3},
        {"delete at the end", "01 23 45", 8, key(Qt::Key_Delete), "01 23 45", 8},
        {"delete before a digit", "01 23 45", 0, key(Qt::Key_Delete), "12 34 5", 1},
        {"G", "01 2", 4, typed("G"), "01 2", 4},
        {"blank", "01 2", 4, key(Qt::Key_Space), "01 2", 4},
        {"Ctrl+V", "01 2", 4, key(Qt::Key_V, Qt::ControlModifier), "01 2", 4},
        {"Ctrl+C typed as c", "01 2", 4, key(Qt::Key_C, Qt::ControlModifier), "01 2", 4},
        {"Ctrl+X", "01 2", 4, key(Qt::Key_X, Qt::ControlModifier), "01 2", 4},
        {"Shift+Insert", "01 2", 4, key(Qt::Key_Insert, Qt::ShiftModifier), "01 2", 4},
        {"Ctrl+Backspace", "01 23", 5, key(Qt::Key_Backspace, Qt::ControlModifier), "01 23", 5},
        {"Ctrl+Z", "01 23", 5, key(Qt::Key_Z, Qt::ControlModifier), "01 23", 5},
        {"left arrow", "01 23", 5, key(Qt::Key_Left), "01 23", 4},
        {"home", "01 23", 5, key(Qt::Key_Home), "01 23", 0},
    };
    ChallengeEdit* edit = Control<ChallengeEdit>(window, "EdCallenge");
    QApplication::clipboard()->setText("AB");
    for (const KeyCase& row : rows) {
        SCOPED_TRACE(row.name);
        edit->setText(row.start);
        edit->setCursorPosition(row.caret);
        if (QString(row.name) == "Ctrl+X")
            edit->selectAll();
        row.keys(edit);
        EXPECT_EQ(edit->text(), row.text);
        EXPECT_EQ(edit->cursorPosition(), row.caretAfter);
    }
    // Nothing reached the clipboard either.
    edit->setText("01 23");
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Insert, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "AB");
}

TEST_F(ShellTest, ChallengeContextMenuPastesAsPasted) {
    ChallengeEdit* edit = Control<ChallengeEdit>(window, "EdCallenge");
    struct Row {
        QString clipboard;
        QString start;
        int caret;
        QString text;
    };
    const Row rows[] = {
        {"01 23 45 67 89 ab cd ef ", "", 0, "01 23 45 67 89 AB CD EF "},
        {"0123456789abcdef0123456789", "", 0, "0123456789ABCDEF01234567"},
        {"ff", "01 23", 2, "01FF 23"},
        {"abcdef", "01 23 45 67 89 AB CD E", 22, "01 23 45 67 89 AB CD EAB"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.clipboard.toStdString());
        QApplication::clipboard()->setText(row.clipboard);
        edit->setText(row.start);
        edit->setCursorPosition(row.caret);
        // Through the context menu the field shows.
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2),
                                edit->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(edit, &event);
        QMenu* menu = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* m = qobject_cast<QMenu*>(top); m && m->isVisible())
                menu = m;
        ASSERT_NE(menu, nullptr);
        QAction* paste = nullptr;
        for (QAction* action : menu->actions())
            if (ChallengeEdit::IsPasteAction(action))
                paste = action;
        ASSERT_NE(paste, nullptr);
        paste->trigger();
        menu->close();
        QApplication::processEvents();
        EXPECT_EQ(edit->text(), row.text);
    }
    // A pasted challenge with one trailing blank passes the check; with a leading one it does
    // not.
    Load(KeyFile("k.key", 16), KeyMark::Response);
    dialogs.messages.clear();
    edit->setText("01 23 45 67 89 AB CD EF ");
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(Control<QLineEdit>(window, "EdResponse")->text().size(), 23);
    edit->setText(" 01 23 45 67 89 AB CD EF");
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    EXPECT_EQ(dialogs.LastText(), BadFormat);
}

namespace {

// The middle button pastes the mouse selection in a plain field; the challenge field refuses it,
// and never takes the clipboard that way either.
void ExpectMiddleButtonRefused(MainWindow& window, QClipboard::Mode mode) {
    ChallengeEdit* edit = Control<ChallengeEdit>(&window, "EdCallenge");
    QApplication::clipboard()->setText("AB CD", mode);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    Control<QTabWidget>(&window, "PageControl1")
        ->setCurrentWidget(Control<QWidget>(&window, "TabSheet2"));
    for (const char* start : {"", "01 2"}) {
        SCOPED_TRACE(start);
        edit->setText(start);
        QTest::mouseClick(edit, Qt::MiddleButton, Qt::NoModifier, QPoint(4, 4));
        QApplication::processEvents();
        EXPECT_EQ(edit->text().toStdString(), start);
    }
}

constexpr char kOnVirtualDisplay[] = "ORVANE_TEST_ON_VIRTUAL_DISPLAY";

} // namespace

TEST_F(ShellTest, ChallengeRefusesTheMiddleButtonPaste) {
    ExpectMiddleButtonRefused(*window, QClipboard::Clipboard);
    if (QApplication::clipboard()->supportsSelection()) {
        ExpectMiddleButtonRefused(*window, QClipboard::Selection);
        return;
    }
    // Offscreen Qt has no mouse selection, so a plain field would paste nothing here either:
    // this test runs once more in a process of its own on a virtual X display, which has one.
    ASSERT_FALSE(qEnvironmentVariableIsSet(kOnVirtualDisplay)) << "no mouse selection on X";
    const QString xvfbRun = QStandardPaths::findExecutable("xvfb-run");
    if (xvfbRun.isEmpty())
        GTEST_SKIP() << "xvfb-run (package xvfb) is missing: the mouse selection is not tried";
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert(kOnVirtualDisplay, "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(xvfbRun,
                {"-a", "-s", "-screen 0 1024x768x24", QCoreApplication::applicationFilePath(),
                 "--gtest_filter=ShellTest.ChallengeRefusesTheMiddleButtonPaste"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

// ---- Response --------------------------------------------------------------------------------

TEST_F(ShellTest, ResponseIsTwoKeyTripleDesOfTheChallenge) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 40; ++round) {
        std::array<std::uint8_t, 16> key{};
        std::array<std::uint8_t, 8> challenge{};
        for (auto& b : key)
            b = static_cast<std::uint8_t>(rng());
        for (auto& b : challenge)
            b = static_cast<std::uint8_t>(rng());
        QFile file(Path("r.key"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(key.data()), 16);
        file.close();
        Load(file.fileName(), KeyMark::Response);
        Control<ChallengeEdit>(window, "EdCallenge")->setText(Hex(challenge.data(), 8));
        Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
        const auto expected = ReferenceTripleDes(key, challenge.data());
        ASSERT_EQ(Control<QLineEdit>(window, "EdResponse")->text(), Hex(expected.data(), 8))
            << round;
    }
}

TEST_F(ShellTest, ResponseWithEqualKeyHalvesIsSingleDes) {
    // The DES example of FIPS 46 literature: key 133457799BBCDFF1, 0123456789ABCDEF ->
    // 85E813540F0AB405.
    QFile file(Path("des.key"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QByteArray half = QByteArray::fromHex("133457799BBCDFF1");
    file.write(half + half);
    file.close();
    Load(file.fileName(), KeyMark::Response);
    QTest::keyClicks(Control<ChallengeEdit>(window, "EdCallenge"), "0123456789abcdef");
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    EXPECT_EQ(Control<QLineEdit>(window, "EdResponse")->text(), "85 E8 13 54 0F 0A B4 05");
    // The same challenge and key give the same response again.
    Control<QLineEdit>(window, "EdResponse")->clear();
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    EXPECT_EQ(Control<QLineEdit>(window, "EdResponse")->text(), "85 E8 13 54 0F 0A B4 05");
}

TEST_F(ShellTest, ChallengeResponseAsksForItsOwnKeyMark) {
    const QString challenge = "01 23 45 67 89 AB CD EF";
    // Format first: an invalid challenge without key gives only the format message.
    Control<ChallengeEdit>(window, "EdCallenge")->setText("01 23");
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, BadFormat);
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Warning);
    EXPECT_EQ(dialogs.messages[0].buttons, mbOK);

    // A key loaded through BtnLoad, or generated, does not count here.
    Load(KeyFile("a.key", 16), KeyMark::Initialization);
    dialogs.saveNames.push_back(Path("gen"));
    window->KeyFiles().Generate();
    Control<ChallengeEdit>(window, "EdCallenge")->setText(challenge);
    Control<QLineEdit>(window, "EdResponse")->setText("previous");
    dialogs.messages.clear();
    dialogs.answers = {mbNo};
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, NoCrKey);
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Warning);
    EXPECT_EQ(dialogs.messages[0].buttons, mbYes | mbNo);
    EXPECT_EQ(Control<QLineEdit>(window, "EdResponse")->text(), "previous");
    EXPECT_FALSE(window->Keys().IsLoaded(KeyMark::Response));

    // Yes loads the key and computes nothing; the next press does.
    dialogs.messages.clear();
    dialogs.answers = {mbYes};
    dialogs.openNames.push_back(KeyFile("b.key", 16, 0x21));
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[1].text, "Ключ загружен");
    EXPECT_EQ(Control<QLineEdit>(window, "EdResponse")->text(), "previous");
    EXPECT_TRUE(window->Keys().IsLoaded(KeyMark::Response));
    EXPECT_EQ(Control<QPushButton>(window, "BtnLoadKey")->text(), "Загружен");
    EXPECT_EQ(Control<QPushButton>(window, "Button1")->text(), "Отклик");
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    const auto key = Sequence16(0x21);
    const std::uint8_t block[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    const auto expected = ReferenceTripleDes(key, block);
    EXPECT_EQ(Control<QLineEdit>(window, "EdResponse")->text(), Hex(expected.data(), 8));
    EXPECT_EQ(dialogs.messages.size(), 2u);

    // A seventeenth digit is refused at the press; the response stays.
    QTest::keyClick(Control<ChallengeEdit>(window, "EdCallenge"), Qt::Key_0);
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    EXPECT_EQ(dialogs.LastText(), BadFormat);
    EXPECT_EQ(Control<QLineEdit>(window, "EdResponse")->text(), Hex(expected.data(), 8));
}
