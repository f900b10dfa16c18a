// The main window: controls, device lists, enable rules, group numbers, device name and the
// initialization button with every message it can give.

#include "ShellFixture.h"
#include "shell/FormControls.h"

#include <QAction>
#include <QCheckBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "help/AboutDialog.h"
#include "help/ManualWindow.h"

#include <deque>

namespace {

const QString AllBlocked =
    QStringLiteral("Некоторые поля не были заполнены. Следующие параметры будут заблокированы:\r"
                   "ПАК-код; Разблокировка C/R; Дублирование RSA; Дублирование ДСТУ. \r"
                   "Продолжить?");

void SendFocus(QWidget* w, QEvent::Type type, Qt::FocusReason reason = Qt::TabFocusReason) {
    QFocusEvent event(type, reason);
    QApplication::sendEvent(w, &event);
}

// Types each character as a key press carrying that text (also characters outside ASCII).
void TypeText(QWidget* w, const QString& text) {
    for (QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(w, &release);
    }
}

struct Box {
    QString text;
    MsgType type;
    int buttons;
};

void ExpectBoxes(const FakeDialogs& dialogs, const std::vector<Box>& expected) {
    ASSERT_EQ(dialogs.messages.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(dialogs.messages[i].text, expected[i].text);
        EXPECT_EQ(dialogs.messages[i].type, expected[i].type);
        EXPECT_EQ(dialogs.messages[i].buttons, expected[i].buttons);
    }
}

} // namespace

TEST_F(ShellTest, WindowCarriesTheDesignedControlsAndCaptions) {
    MainWindow& w = *window;
    EXPECT_EQ(w.windowTitle(), "Orvane");
    EXPECT_EQ(Control<QTabWidget>(&w, "PageControl1")->size(), QSize(300, 412));
    EXPECT_EQ(w.height(), 412 + w.menuBar()->sizeHint().height());
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_EQ(Control<QTabWidget>(&w, "PageControl1")->tabText(0), "Инициализация");
    EXPECT_EQ(Control<QTabWidget>(&w, "PageControl1")->tabText(1), "Разблокировка");

    struct Row {
        const char* name;
        QString text;
        bool enabled;
    };
    const Row rows[] = {
        {"EdPIN", "", true},
        {"cbAllowPUK", "Разрешить", true},
        {"Label3", "ПАК-код:", false},
        {"EdPUK", "", false},
        {"cbCRKey", "Использовать ключ разблокировки", true},
        {"Label4", "Ключ разблокировки:", false},
        {"BtnLoad", "Загрузить", false},
        {"BtnGenerate", "Сгенерировать", false},
        {"EdDeviceName", "<None>", true},
        {"cbDublGroupRSA", "Создать группу для ключей RSA", true},
        {"lblGroupRSA", "№ группы:", false},
        {"edGroupRSA", "D1", false},
        {"cbDublGroupDSTU", "Создать группу для ключей ДСТУ", true},
        {"lblGroupDSTU", "№ группы:", false},
        {"edGroupDSTU", "D1", false},
        {"BtnInit", "Инициализация", true},
        {"BtnLoadKey", "Загрузить", true},
        {"EdCallenge", "", true},
        {"EdResponse", "", true},
        {"Button1", "Отклик", true},
        {"EdNewPin_1", "", true},
        {"edNewPin_2", "", true},
        {"BtnUnblOk", "Изменить ПИН-код", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QWidget* widget = w.findChild<QWidget*>(row.name);
        ASSERT_NE(widget, nullptr);
        QString text;
        if (auto* edit = qobject_cast<QLineEdit*>(widget))
            text = edit->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(widget))
            text = button->text();
        else if (auto* label = qobject_cast<QLabel*>(widget))
            text = label->text();
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(widget->isEnabledTo(&w), row.enabled);
    }
    for (const char* name : {"cbRdrList2", "cbRdrList"})
        EXPECT_NE(w.findChild<ReaderComboBox*>(name), nullptr) << name;

    EXPECT_TRUE(Control<QLineEdit>(&w, "EdResponse")->isReadOnly());
    const QString hint =
        QStringLiteral("Внимание! При смене № группы, сеансовый ключ  будет перегенерирован.");
    EXPECT_EQ(Control<QLineEdit>(&w, "edGroupRSA")->toolTip(), hint);
    EXPECT_EQ(Control<QLineEdit>(&w, "edGroupDSTU")->toolTip(), hint);

    QStringList titles;
    for (QGroupBox* box : w.findChildren<QGroupBox*>()) {
        titles << box->title();
        EXPECT_TRUE(box->font().bold()) << box->title().toStdString();
        for (QWidget* inner : box->findChildren<QWidget*>())
            EXPECT_FALSE(inner->font().bold()) << inner->objectName().toStdString();
    }
    titles.sort();
    QStringList expectedTitles = {"Параметры инициализации ", "Имя устройства ",
                                  "Установка группы дублирования ", "C/R",
                                  "Разблокировка смарт-карты"};
    expectedTitles.sort();
    EXPECT_EQ(titles, expectedTitles);

    // Menu.
    const QList<QAction*> menus = w.menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), "Файл");
    EXPECT_EQ(menus[1]->text(), "Помощь");
    const QList<QAction*> help = menus[1]->menu()->actions();
    ASSERT_EQ(help.size(), 3);
    EXPECT_EQ(help[0], Control<QAction>(&w, "N8"));
    EXPECT_TRUE(help[1]->isSeparator());
    EXPECT_EQ(help[2], Control<QAction>(&w, "N7"));
    EXPECT_EQ(Control<QAction>(&w, "N2")->text(), "Выход");
    EXPECT_EQ(Control<QAction>(&w, "N8")->text(), "Инструкция");
    EXPECT_EQ(Control<QAction>(&w, "N7")->text(), "О программе");
    EXPECT_EQ(w.findChild<QAction*>("N2"), Control<QAction>(&w, "N2"));
}

TEST_F(ShellTest, FieldLengthsAndMasks) {
    struct Row {
        const char* name;
        int maxLength;
        bool masked; // shown as '*', one per character
    };
    const Row rows[] = {
        {"EdPIN", 8, false},      {"EdPUK", 8, false},       {"EdDeviceName", 32, false},
        {"edGroupRSA", 2, false}, {"edGroupDSTU", 2, false}, {"EdNewPin_1", 8, true},
        {"edNewPin_2", 8, true},  {"EdResponse", 24, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto* field = window->findChild<QLineEdit*>(row.name);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->maxLength(), row.maxLength);
        field->ensurePolished();
        field->setText("12");
        EXPECT_EQ(field->displayText().toStdString(), row.masked ? "**" : "12");
    }
}

TEST_F(ShellTest, OpensCentredOnThePrimaryScreen) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const QPoint offset = window->frameGeometry().center() - screen->availableGeometry().center();
    EXPECT_LE(std::abs(offset.x()), 1) << offset.x();
    EXPECT_LE(std::abs(offset.y()), 1) << offset.y();
}

TEST_F(ShellTest, KeyboardOrderOfTheInitializationTab) {
    MainWindow& w = *window;
    // Every control of the list is enabled for the walk.
    Control<QCheckBox>(&w, "cbAllowPUK")->click();
    Control<QCheckBox>(&w, "cbCRKey")->setChecked(true);
    Control<QCheckBox>(&w, "cbDublGroupRSA")->setChecked(true);
    Control<QCheckBox>(&w, "cbDublGroupDSTU")->setChecked(true);
    const std::vector<QWidget*> order = {
        Control<ReaderComboBox>(&w, "cbRdrList2"), Control<QPushButton>(&w, "BtnInit"),
        Control<QLineEdit>(&w, "EdPIN"),           Control<QCheckBox>(&w, "cbAllowPUK"),
        Control<QLineEdit>(&w, "EdPUK"),           Control<QCheckBox>(&w, "cbCRKey"),
        Control<QPushButton>(&w, "BtnLoad"),       Control<QPushButton>(&w, "BtnGenerate"),
        Control<QLineEdit>(&w, "EdDeviceName"),    Control<QCheckBox>(&w, "cbDublGroupRSA"),
        Control<QLineEdit>(&w, "edGroupRSA"),      Control<QCheckBox>(&w, "cbDublGroupDSTU"),
        Control<QLineEdit>(&w, "edGroupDSTU")};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        while (next && !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        EXPECT_EQ(next, order[i + 1]) << order[i]->objectName().toStdString();
    }
}

TEST_F(ShellTest, DeviceListsAreSortedWithoutPlaceholderAndRefreshedOnDropDown) {
    window.reset();
    pcsc.RemoveReader("Reader A");
    for (const char* name : {"Zeta 00 00", "alpha 00 00", "Beta 00 00"})
        pcsc.AddReader(name);
    window = std::make_unique<MainWindow>();
    auto entries = [](QComboBox* list) {
        QStringList out;
        for (int i = 0; i < list->count(); ++i)
            out << list->itemText(i);
        return out;
    };
    const QStringList sorted = {"alpha 00 00", "Beta 00 00", "Zeta 00 00"};
    // The initialization list ends with the entry that runs every reader at once.
    EXPECT_EQ(entries(Control<ReaderComboBox>(window, "cbRdrList2")),
              sorted + QStringList{"Все устройства (3)"});
    EXPECT_EQ(entries(Control<ReaderComboBox>(window, "cbRdrList")), sorted);
    EXPECT_EQ(Control<ReaderComboBox>(window, "cbRdrList2")->currentIndex(), -1);
    EXPECT_EQ(Control<ReaderComboBox>(window, "cbRdrList")->currentIndex(), -1);

    // Picking an entry selects it into the one reader session; the other list stays as it is.
    QTest::keyClick(Control<ReaderComboBox>(window, "cbRdrList2"), Qt::Key_Down);
    EXPECT_EQ(window->CardReader().Reader, "alpha 00 00");
    EXPECT_EQ(Control<ReaderComboBox>(window, "cbRdrList")->currentIndex(), -1);
    Control<ReaderComboBox>(window, "cbRdrList")->setCurrentIndex(1);
    emit Control<ReaderComboBox>(window, "cbRdrList")
        ->textActivated(Control<ReaderComboBox>(window, "cbRdrList")->itemText(2));
    EXPECT_EQ(window->CardReader().Reader, "Zeta 00 00");

    // A reader attached later shows up at the next drop-down of either list; the selection
    // stays with the session while the lists show nothing.
    pcsc.AddReader("Gamma 00 00");
    Control<ReaderComboBox>(window, "cbRdrList")->showPopup();
    Control<ReaderComboBox>(window, "cbRdrList")->hidePopup();
    const QStringList four = {"alpha 00 00", "Beta 00 00", "Gamma 00 00", "Zeta 00 00"};
    EXPECT_EQ(entries(Control<ReaderComboBox>(window, "cbRdrList")), four);
    EXPECT_EQ(entries(Control<ReaderComboBox>(window, "cbRdrList2")),
              four + QStringList{"Все устройства (4)"});
    EXPECT_EQ(Control<ReaderComboBox>(window, "cbRdrList2")->currentIndex(), -1);
    EXPECT_EQ(window->CardReader().Reader, "Zeta 00 00");
}

TEST_F(ShellTest, NoReaderLeavesBothListsEmpty) {
    window.reset();
    pcsc.RemoveReader("Reader A");
    window = std::make_unique<MainWindow>();
    EXPECT_EQ(Control<ReaderComboBox>(window, "cbRdrList2")->count(), 0);
    EXPECT_EQ(Control<ReaderComboBox>(window, "cbRdrList")->count(), 0);
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(ShellTest, EnableRules) {
    MainWindow& w = *window;
    // The PUK controls flip with each click of their box.
    Control<QCheckBox>(&w, "cbAllowPUK")->click();
    EXPECT_TRUE(Control<QLabel>(&w, "Label3")->isEnabledTo(&w));
    EXPECT_TRUE(Control<QLineEdit>(&w, "EdPUK")->isEnabledTo(&w));
    Control<QCheckBox>(&w, "cbAllowPUK")->click();
    EXPECT_FALSE(Control<QLabel>(&w, "Label3")->isEnabledTo(&w));
    EXPECT_FALSE(Control<QLineEdit>(&w, "EdPUK")->isEnabledTo(&w));

    // The key controls follow cbCRKey, also when it is changed by the program.
    for (bool on : {true, false, true}) {
        Control<QCheckBox>(&w, "cbCRKey")->setChecked(on);
        EXPECT_EQ(Control<QLabel>(&w, "Label4")->isEnabledTo(&w), on);
        EXPECT_EQ(Control<QPushButton>(&w, "BtnLoad")->isEnabledTo(&w), on);
        EXPECT_EQ(Control<QPushButton>(&w, "BtnGenerate")->isEnabledTo(&w), on);
    }
    EXPECT_TRUE(Control<QPushButton>(&w, "BtnInit")->isEnabledTo(&w));
}

TEST_F(ShellTest, EachGroupBoxEnablesOnlyItsOwnNumber) {
    MainWindow& w = *window;
    auto* rsaBox = Control<QCheckBox>(w, "cbDublGroupRSA");
    auto* dstuBox = Control<QCheckBox>(w, "cbDublGroupDSTU");
    // One box clicked at a time, so that each box's change is seen alone: RSA and DSTU ticked
    // alone, together, and the other box's label and field never follow.
    const struct {
        QCheckBox* clicked;
        bool rsa;
        bool dstu;
    } steps[] = {
        {rsaBox, true, false},  {rsaBox, false, false},  {dstuBox, false, true},
        {rsaBox, true, true},   {dstuBox, true, false},  {rsaBox, false, false},
        {dstuBox, false, true}, {dstuBox, false, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(::testing::Message() << "RSA " << step.rsa << ", DSTU " << step.dstu);
        step.clicked->click();
        ASSERT_EQ(rsaBox->isChecked(), step.rsa);
        ASSERT_EQ(dstuBox->isChecked(), step.dstu);
        EXPECT_EQ(Control<QLabel>(w, "lblGroupRSA")->isEnabledTo(&w), step.rsa);
        EXPECT_EQ(Control<QLineEdit>(w, "edGroupRSA")->isEnabledTo(&w), step.rsa);
        EXPECT_EQ(Control<QLabel>(w, "lblGroupDSTU")->isEnabledTo(&w), step.dstu);
        EXPECT_EQ(Control<QLineEdit>(w, "edGroupDSTU")->isEnabledTo(&w), step.dstu);
    }
}

TEST_F(ShellTest, GroupNumberCheckOnLeavingTheField) {
    struct Row {
        QString text;
        bool refused;
        bool keyRenewed; // by the clearing
    };
    const Row rows[] = {
        {"0", true, true},   {"00", true, true},   {"", true, false},    {"D", false, false},
        {"1", false, false}, {"O0", false, false}, {"zz", false, false}, {" 0", false, false},
    };
    for (QLineEdit* field :
         {Control<QLineEdit>(window, "edGroupRSA"), Control<QLineEdit>(window, "edGroupDSTU")}) {
        const bool rsa = field == Control<QLineEdit>(window, "edGroupRSA");
        (rsa ? Control<QCheckBox>(window, "cbDublGroupRSA")
             : Control<QCheckBox>(window, "cbDublGroupDSTU"))
            ->setChecked(true);
        for (const Row& row : rows) {
            SCOPED_TRACE(row.text.toStdString() + (rsa ? " RSA" : " DSTU"));
            field->setText(row.text);
            const auto before = rsa ? window->Keys().GroupKeyRsa() : window->Keys().GroupKeyDstu();
            const auto other = rsa ? window->Keys().GroupKeyDstu() : window->Keys().GroupKeyRsa();
            dialogs.messages.clear();
            SendFocus(field, QEvent::FocusOut);
            if (row.refused) {
                ASSERT_EQ(dialogs.messages.size(), 1u);
                EXPECT_EQ(dialogs.LastText(), "№ группы не может быть пустым или 0");
                EXPECT_EQ(dialogs.messages[0].type, MsgType::Warning);
                EXPECT_EQ(dialogs.messages[0].buttons, mbOK);
                EXPECT_EQ(dialogs.messages[0].title, "Orvane");
                EXPECT_EQ(field->text(), "");
            } else {
                EXPECT_TRUE(dialogs.messages.empty());
                EXPECT_EQ(field->text(), row.text);
            }
            const auto after = rsa ? window->Keys().GroupKeyRsa() : window->Keys().GroupKeyDstu();
            EXPECT_EQ(after != before, row.keyRenewed);
            EXPECT_EQ(rsa ? window->Keys().GroupKeyDstu() : window->Keys().GroupKeyRsa(), other);
        }
    }
    // The window losing the activation (a box, another program) or the keyboard going to the
    // menu bar (a tap on Alt) is no leaving of the field.
    Control<QLineEdit>(window, "edGroupRSA")->setText("0");
    dialogs.messages.clear();
    for (Qt::FocusReason reason : {Qt::ActiveWindowFocusReason, Qt::MenuBarFocusReason})
        SendFocus(Control<QLineEdit>(window, "edGroupRSA"), QEvent::FocusOut, reason);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(Control<QLineEdit>(window, "edGroupRSA")->text(), "0");
}

TEST_F(ShellTest, GroupKeysAreNewAtStartAndAtEveryRealTextChange) {
    const auto rsa0 = window->Keys().GroupKeyRsa();
    const auto dstu0 = window->Keys().GroupKeyDstu();
    EXPECT_NE(rsa0, dstu0);
    // Another window (another program start) has other keys.
    MainWindow second;
    EXPECT_NE(second.Keys().GroupKeyRsa(), rsa0);

    // Setting the text it already holds is no change; ticking the box is none either.
    Control<QLineEdit>(window, "edGroupRSA")->setText("D1");
    Control<QCheckBox>(window, "cbDublGroupRSA")->click();
    EXPECT_EQ(window->Keys().GroupKeyRsa(), rsa0);

    // Retyping the same number makes a new key.
    Control<QLineEdit>(window, "edGroupRSA")->selectAll();
    QTest::keyClicks(Control<QLineEdit>(window, "edGroupRSA"), "D1");
    EXPECT_EQ(Control<QLineEdit>(window, "edGroupRSA")->text(), "D1");
    EXPECT_NE(window->Keys().GroupKeyRsa(), rsa0);
    EXPECT_EQ(window->Keys().GroupKeyDstu(), dstu0);
    Control<QLineEdit>(window, "edGroupDSTU")->setText("07");
    EXPECT_NE(window->Keys().GroupKeyDstu(), dstu0);
}

TEST_F(ShellTest, DeviceNamePlaceholder) {
    QLineEdit* name = Control<QLineEdit>(window, "EdDeviceName");
    struct Row {
        QString before;
        QEvent::Type event;
        QString after;
    };
    const Row rows[] = {
        {"<None>", QEvent::FocusIn, ""},      {"<none>", QEvent::FocusIn, "<none>"},
        {"Токен", QEvent::FocusIn, "Токен"},  {"", QEvent::FocusOut, "<None>"},
        {"   ", QEvent::FocusOut, "   "},     {"<None>", QEvent::FocusOut, "<None>"},
        {"Токен", QEvent::FocusOut, "Токен"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.before.toStdString());
        name->setText(row.before);
        SendFocus(name, row.event);
        EXPECT_EQ(name->text(), row.after);
    }
    // A message box taking the activation, or the menu bar taking the keyboard, neither clears
    // nor fills the field.
    for (Qt::FocusReason reason : {Qt::ActiveWindowFocusReason, Qt::MenuBarFocusReason}) {
        name->setText("<None>");
        SendFocus(name, QEvent::FocusIn, reason);
        EXPECT_EQ(name->text(), "<None>");
        name->setText("");
        SendFocus(name, QEvent::FocusOut, reason);
        EXPECT_EQ(name->text(), "");
    }
}

TEST_F(ShellTest, PinEntriesAcceptOnlyCp1251Characters) {
    for (QLineEdit* field :
         {Control<QLineEdit>(window, "EdPIN"), Control<QLineEdit>(window, "EdPUK"),
          Control<QLineEdit>(window, "EdNewPin_1"), Control<QLineEdit>(window, "edNewPin_2")}) {
        SCOPED_TRACE(field->objectName().toStdString());
        field->setEnabled(true);
        field->clear();
        TypeText(field, QStringLiteral("Ёж1中€"));
        EXPECT_EQ(field->text(), QStringLiteral("Ёж1€"));
    }
}

// ---- The initialization button ---------------------------------------------------------------

struct InitCase {
    const char* name;
    std::function<void(ShellTest&, MainWindow&)> setup;
    std::deque<int> answers;
    std::vector<Box> boxes;
    bool runs;
    std::function<void(MainWindow&)> after;
    // The control that has the keyboard once the boxes are closed (BtnInit had it for the click).
    const char* focus = "BtnInit";
};

namespace {

const QString Done = QStringLiteral("Инициализация закончена");

std::vector<InitCase> InitCases() {
    auto pin = [](const char* text) {
        return
            [text](ShellTest&, MainWindow& w) { Control<QLineEdit>(&w, "EdPIN")->setText(text); };
    };
    auto everything = [](ShellTest& t, MainWindow& w) {
        Control<QLineEdit>(&w, "EdPIN")->setText("1234");
        Control<QCheckBox>(&w, "cbAllowPUK")->click();
        Control<QLineEdit>(&w, "EdPUK")->setText("5678");
        Control<QCheckBox>(&w, "cbDublGroupRSA")->click();
        Control<QCheckBox>(&w, "cbDublGroupDSTU")->click();
        t.SelectReader("Reader A");
        (void)t;
    };
    return {
        {"PinOfThreeCharacters",
         pin("123"),
         {},
         {{"Поле ПИН-код не может быть меньше 4 символов", MsgType::Warning, mbOK}},
         false,
         [](MainWindow& w) { EXPECT_EQ(Control<QLineEdit>(&w, "EdPIN")->text(), "123"); },
         "EdPIN"},
        {"PinOfFourLettersNoReader",
         pin("abcd"),
         {mbYes},
         {{AllBlocked, MsgType::Information, mbYes | mbNo},
          {"Устройство не выбрано", MsgType::Warning, mbOK}},
         false,
         [](MainWindow& w) { EXPECT_EQ(Control<QLineEdit>(&w, "EdPIN")->text(), "abcd"); }},
        {"ConfirmationAnsweredNo",
         [](ShellTest&, MainWindow& w) {
             Control<QLineEdit>(&w, "EdPIN")->setText("12345678");
             w.CardReader().SelectReader("Reader A");
         },
         {mbNo},
         {{AllBlocked, MsgType::Information, mbYes | mbNo}},
         false,
         [](MainWindow& w) { EXPECT_EQ(Control<QLineEdit>(&w, "EdPIN")->text(), "12345678"); }},
        {"PukAllowedButShort",
         [](ShellTest&, MainWindow& w) {
             Control<QLineEdit>(&w, "EdPIN")->setText("1234");
             Control<QCheckBox>(&w, "cbAllowPUK")->click();
             Control<QLineEdit>(&w, "EdPUK")->setText("567");
         },
         {},
         {{"Поле ПАК-код не может быть меньше 4 символов", MsgType::Warning, mbOK}},
         false,
         nullptr,
         "EdPUK"},
        {"PukAllowedButEmpty",
         [](ShellTest&, MainWindow& w) {
             Control<QLineEdit>(&w, "EdPIN")->setText("1234");
             Control<QCheckBox>(&w, "cbAllowPUK")->click();
         },
         {},
         {{"Поле ПАК-код не может быть меньше 4 символов", MsgType::Warning, mbOK}},
         false,
         nullptr,
         "EdPUK"},
        {"PukTextLeftInDisabledFieldIsBlocked",
         [](ShellTest&, MainWindow& w) {
             Control<QLineEdit>(&w, "EdPIN")->setText("1234");
             Control<QLineEdit>(&w, "EdPUK")->setText("12");
             Control<QCheckBox>(&w, "cbCRKey")->setChecked(false);
             Control<QCheckBox>(&w, "cbDublGroupRSA")->click();
             Control<QCheckBox>(&w, "cbDublGroupDSTU")->click();
         },
         {mbNo},
         {{"Некоторые поля не были заполнены. Следующие параметры будут заблокированы:\r"
           "ПАК-код; Разблокировка C/R. \rПродолжить?",
           MsgType::Information, mbYes | mbNo}},
         false,
         nullptr},
        {"UnloadedKeyNotIgnored",
         [](ShellTest&, MainWindow& w) {
             Control<QLineEdit>(&w, "EdPIN")->setText("1234");
             Control<QCheckBox>(&w, "cbCRKey")->setChecked(true);
         },
         {mbNo},
         {{"Ключ разблокировки не был загружен. Игнорировать?", MsgType::Information,
           mbYes | mbNo}},
         false,
         [](MainWindow& w) {
             EXPECT_TRUE(Control<QCheckBox>(&w, "cbCRKey")->isChecked());
             EXPECT_TRUE(Control<QPushButton>(&w, "BtnLoad")->isEnabledTo(&w));
         }},
        {"UnloadedKeyIgnored",
         [](ShellTest&, MainWindow& w) {
             Control<QLineEdit>(&w, "EdPIN")->setText("1234");
             Control<QCheckBox>(&w, "cbCRKey")->setChecked(true);
         },
         {mbYes, mbNo},
         {{"Ключ разблокировки не был загружен. Игнорировать?", MsgType::Information, mbYes | mbNo},
          {AllBlocked, MsgType::Information, mbYes | mbNo}},
         false,
         [](MainWindow& w) {
             EXPECT_FALSE(Control<QCheckBox>(&w, "cbCRKey")->isChecked());
             EXPECT_FALSE(Control<QLabel>(&w, "Label4")->isEnabledTo(&w));
             EXPECT_FALSE(Control<QPushButton>(&w, "BtnLoad")->isEnabledTo(&w));
             EXPECT_FALSE(Control<QPushButton>(&w, "BtnGenerate")->isEnabledTo(&w));
         }},
        {"KeyLoadedOnlyForChallengeResponseDoesNotCount",
         [](ShellTest& t, MainWindow& w) {
             t.dialogs.openNames.push_back(t.KeyFile("k.key", 16));
             w.KeyFiles().Load(KeyMark::Response);
             t.dialogs.messages.clear();
             Control<QLineEdit>(&w, "EdPIN")->setText("1234");
             Control<QCheckBox>(&w, "cbCRKey")->setChecked(true);
         },
         {mbNo},
         {{"Ключ разблокировки не был загружен. Игнорировать?", MsgType::Information,
           mbYes | mbNo}},
         false,
         nullptr},
        {"OnlyChallengeResponseBlocked",
         [everything](ShellTest& t, MainWindow& w) {
             everything(t, w);
             // Typed, so that the field's undo history holds the PIN and the PUK.
             Control<QLineEdit>(&w, "EdPIN")->clear();
             QTest::keyClicks(Control<QLineEdit>(&w, "EdPIN"), "4321");
             Control<QLineEdit>(&w, "EdPUK")->clear();
             QTest::keyClicks(Control<QLineEdit>(&w, "EdPUK"), "8765");
         },
         {mbYes},
         {{"Некоторые поля не были заполнены. Следующие параметры будут заблокированы:\r"
           "Разблокировка C/R. \rПродолжить?",
           MsgType::Information, mbYes | mbNo},
          {Done, MsgType::Information, mbOK}},
         true,
         [](MainWindow& w) {
             // Emptied for good: undo does not bring the PIN or the PUK back.
             for (QLineEdit* field :
                  {Control<QLineEdit>(&w, "EdPIN"), Control<QLineEdit>(&w, "EdPUK")}) {
                 QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier);
                 EXPECT_EQ(field->text(), "") << field->objectName().toStdString();
             }
             EXPECT_TRUE(Control<QCheckBox>(&w, "cbAllowPUK")->isChecked());
             EXPECT_EQ(Control<QLineEdit>(&w, "EdDeviceName")->text(), "<None>");
         }},
        {"LoadedKeyRunsWithAllConfirmed",
         [everything](ShellTest& t, MainWindow& w) {
             everything(t, w);
             Control<QCheckBox>(&w, "cbCRKey")->setChecked(true);
             t.dialogs.openNames.push_back(t.KeyFile("k.key", 16));
             w.KeyFiles().Load(KeyMark::Initialization);
             t.dialogs.messages.clear();
         },
         {},
         {{Done, MsgType::Information, mbOK}},
         true,
         nullptr},
        {"DefaultsConfirmedRun",
         [](ShellTest&, MainWindow& w) {
             Control<QLineEdit>(&w, "EdPIN")->setText("1234");
             Control<QLineEdit>(&w, "EdPUK")->setText("99");
             w.CardReader().SelectReader("Reader A");
         },
         {mbYes},
         {{AllBlocked, MsgType::Information, mbYes | mbNo}, {Done, MsgType::Information, mbOK}},
         true,
         [](MainWindow& w) { EXPECT_EQ(Control<QLineEdit>(&w, "EdPUK")->text(), ""); }},
    };
}

} // namespace

TEST_F(ShellTest, InitializationButtonTable) {
    for (const InitCase& c : InitCases()) {
        SCOPED_TRACE(c.name);
        window = std::make_unique<MainWindow>();
        window->SetInitRunner(&runner);
        runner.readers.clear();
        dialogs.messages.clear();
        c.setup(*this, *window);
        dialogs.answers = c.answers;
        // The window is not shown: the control that setFocus went to last is the window's focus
        // widget, which gets the keyboard when the window is active.
        Control<QPushButton>(window, "BtnInit")->setFocus(Qt::MouseFocusReason);
        ASSERT_EQ(window->focusWidget(), Control<QPushButton>(window, "BtnInit"));
        Control<InitTab>(window, "TabSheet1")->StartInitialization();
        ExpectBoxes(dialogs, c.boxes);
        ASSERT_NE(window->focusWidget(), nullptr);
        EXPECT_EQ(window->focusWidget()->objectName().toStdString(), c.focus);
        EXPECT_TRUE(dialogs.answers.empty());
        if (c.runs) {
            ASSERT_EQ(runner.readers.size(), 1u);
            EXPECT_EQ(runner.readers[0], "Reader A");
            EXPECT_EQ(dialogs.messages.back().title, "Information");
            EXPECT_FALSE(dialogs.messages.back().systemModal);
        } else {
            EXPECT_TRUE(runner.readers.empty());
        }
        for (std::size_t i = 0; i + (c.runs ? 1 : 0) < dialogs.messages.size(); ++i) {
            EXPECT_EQ(dialogs.messages[i].title, "Orvane");
            EXPECT_EQ(dialogs.messages[i].owner, window.get());
        }
        if (c.after)
            c.after(*window);
    }
}

TEST_F(ShellTest, RunReadsTheWindowWhileItIsOpen) {
    MainWindow& w = *window;
    Control<QLineEdit>(&w, "EdPIN")->setText("1234");
    Control<QCheckBox>(&w, "cbAllowPUK")->click();
    Control<QLineEdit>(&w, "EdPUK")->setText("пак1");
    Control<QCheckBox>(&w, "cbDublGroupRSA")->click();
    Control<QLineEdit>(&w, "edGroupRSA")->setText("5");
    Control<QCheckBox>(&w, "cbDublGroupDSTU")->click();
    Control<QLineEdit>(&w, "EdDeviceName")->setText("Тест");
    Control<QCheckBox>(&w, "cbCRKey")->setChecked(true);
    dialogs.saveNames.push_back(Path("gen"));
    w.KeyFiles().Generate();
    SelectReader("Reader A");
    const IInitSettings& settings = w.InitSettings();
    // The card number for the log: off until ticked.
    EXPECT_FALSE(settings.ReadCardNumber());
    Control<QCheckBox>(&w, "cbReadCardNumber")->click();
    bool checked = false;
    runner.during = [&] {
        checked = true;
        EXPECT_TRUE(settings.ReadCardNumber());
        EXPECT_EQ(settings.PinText(), "1234");
        EXPECT_EQ(settings.PukText(), "пак1");
        EXPECT_TRUE(settings.AllowPuk());
        EXPECT_TRUE(settings.UseUnblockKey());
        EXPECT_TRUE(settings.DublGroupRSA());
        EXPECT_EQ(settings.GroupRSAText(), "5");
        EXPECT_TRUE(settings.DublGroupDSTU());
        EXPECT_EQ(settings.GroupDSTUText(), "D1");
        EXPECT_EQ(settings.DeviceNameText(), "Тест");
        EXPECT_NE(settings.UnblockKey(), kDefaultUnblockKey);
        EXPECT_EQ(&settings.GroupKeyRSA(), &w.Keys().GroupKeyRsa());
        // A change made meanwhile is seen at the next question.
        Control<QLineEdit>(&w, "EdDeviceName")->setText("Другой");
        EXPECT_EQ(settings.DeviceNameText(), "Другой");
    };
    Control<InitTab>(&w, "TabSheet1")->StartInitialization();
    EXPECT_TRUE(checked);
    ASSERT_EQ(runner.readers.size(), 1u);
    EXPECT_EQ(settings.PinText(), "");
    EXPECT_EQ(settings.PukText(), "");
}

TEST_F(ShellTest, MessageBoxButtonLayoutAndLook) {
    struct Row {
        int asked;
        int shown;
    };
    const Row rows[] = {
        {mbYes, mbYes | mbNo},
        {mbYes | mbOK, mbYes | mbNo},
        {mbNo, mbOK},
        {mbOK | mbCancel, mbOK | mbCancel},
        {mbCancel, mbOK},
        {mbOK, mbOK},
        {mbYes | mbNo | mbCancel, mbYes | mbNo},
    };
    for (const Row& row : rows) {
        dialogs.messages.clear();
        // Asked from a field of a tab: the box is still the main window's.
        WindowMessage(Control<QLineEdit>(window, "EdPIN"), "text", MsgType::Error, row.asked);
        ASSERT_EQ(dialogs.messages.size(), 1u);
        const MessageRequest& m = dialogs.messages[0];
        EXPECT_EQ(m.buttons, row.shown) << row.asked;
        EXPECT_EQ(m.title, "Orvane");
        EXPECT_EQ(m.owner, window.get());
        EXPECT_TRUE(m.systemModal);
        EXPECT_EQ(m.type, MsgType::Error);
    }
}

TEST_F(ShellTest, RandomFillerFailsWhenTheSystemSourceFails) {
    std::array<std::uint8_t, 64> a{}, b{};
    EXPECT_TRUE(FillRandom(a.data(), a.size()));
    EXPECT_TRUE(FillRandom(b.data(), b.size()));
    EXPECT_NE(a, b);
    random.fail = true;
    EXPECT_FALSE(FillRandom(a.data(), a.size()));
}

TEST_F(ShellTest, GroupKeysNeverComeFromTheCounterAlone) {
    // The system source fails at start: the run is refused until keys can be made.
    random.fail = true;
    window = std::make_unique<MainWindow>();
    window->SetInitRunner(&runner);
    Control<QLineEdit>(window, "EdPIN")->setText("1234");
    SelectReader("Reader A");
    dialogs.answers = {mbYes};
    Control<InitTab>(window, "TabSheet1")->StartInitialization();
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[1].text, "Ошибка генератора случайных чисел. Ключ не создан");
    EXPECT_EQ(dialogs.messages[1].type, MsgType::Error);
    EXPECT_TRUE(runner.readers.empty());
    EXPECT_EQ(Control<QLineEdit>(window, "EdPIN")->text(), "1234");

    // Once the source works again the keys are made at the next start of a run.
    random.fail = false;
    const auto before = window->Keys().GroupKeyRsa();
    dialogs.messages.clear();
    dialogs.answers = {mbYes};
    Control<InitTab>(window, "TabSheet1")->StartInitialization();
    EXPECT_EQ(runner.readers.size(), 1u);
    EXPECT_NE(window->Keys().GroupKeyRsa(), before);
}

TEST_F(ShellTest, MenuOpensTheHelpWindowsModallyAndEnds) {
    window->show();
    QWidget* seen = nullptr;
    auto closeModal = [&seen] {
        QTimer::singleShot(50, [&seen] {
            seen = QApplication::activeModalWidget();
            if (seen)
                seen->close();
        });
    };
    closeModal();
    Control<QAction>(window, "N7")->trigger();
    EXPECT_EQ(seen, &window->About());
    seen = nullptr;
    closeModal();
    Control<QAction>(window, "N8")->trigger();
    EXPECT_EQ(seen, &window->Manual());

    EXPECT_TRUE(window->isVisible());
    Control<QAction>(window, "N2")->trigger();
    EXPECT_FALSE(window->isVisible());
}

// A window made as the program's start makes it (the unblocking tab's controls after the first
// paint): the tab opened first gets its controls before it shows, and the device list has the
// readers attached at the start.
TEST_F(ShellTest, AStartsUnblockTabHasItsControlsWhenFirstOpened) {
    MainWindow start(MainWindow::Controls::FirstPaintOnly);
    EXPECT_EQ(start.findChild<QLineEdit*>("EdCallenge"), nullptr);
    EXPECT_NE(start.findChild<QLineEdit*>("EdPIN"), nullptr);
    start.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&start));
    Control<QTabWidget>(&start, "PageControl1")->setCurrentIndex(1);
    for (const char* name : {"EdCallenge", "EdResponse", "EdNewPin_1", "edNewPin_2"})
        EXPECT_TRUE(Control<QLineEdit>(&start, name)->isVisible()) << name;
    EXPECT_EQ(Control<ReaderComboBox>(&start, "cbRdrList")->count(),
              Control<ReaderComboBox>(window, "cbRdrList")->count());
    EXPECT_GT(Control<ReaderComboBox>(&start, "cbRdrList")->count(), 0);
    start.close();
}
