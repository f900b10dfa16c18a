// The main window as a user sees and handles it: every text whole at the designed size, the
// window hints that decide the title-bar buttons, long reader names, Enter on a focused button,
// and the tab bar that never runs ahead of the page.

#include "ShellFixture.h"

#include "help/AboutDialog.h"
#include "help/ManualWindow.h"
#include "init/ProgressDialog.h"
#include "shell/DeferredIconStyle.h"
#include "shell/Startup.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QStyleFactory>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTranslator>

#include <memory>

namespace {

void SendFocus(QWidget* w, QEvent::Type type) {
    QFocusEvent event(type, Qt::MouseFocusReason);
    QApplication::sendEvent(w, &event);
}

// A text control narrower or lower than it needs cuts its text.
void ExpectWhole(QWidget* w, const QString& what) {
    const QSize need = w->minimumSizeHint();
    EXPECT_GE(w->width(), need.width()) << what.toStdString();
    if (auto* label = qobject_cast<QLabel*>(w); label && label->wordWrap())
        EXPECT_GE(label->height(), label->heightForWidth(label->width())) << what.toStdString();
    else
        EXPECT_GE(w->height(), need.height()) << what.toStdString();
}

} // namespace

TEST_F(ShellTest, EveryTextOfBothTabsIsWhole) {
    window->show();
    for (int tab = 0; tab < 2; ++tab) {
        Control<QTabWidget>(window, "PageControl1")->setCurrentIndex(tab);
        QApplication::processEvents();
        QWidget* page = Control<QTabWidget>(window, "PageControl1")->currentWidget();
        int checked = 0;
        for (QWidget* w : page->findChildren<QWidget*>()) {
            if (!w->isVisible())
                continue;
            QString text;
            if (auto* label = qobject_cast<QLabel*>(w))
                text = label->text();
            else if (auto* button = qobject_cast<QAbstractButton*>(w))
                text = button->text();
            if (text.isEmpty())
                continue;
            ExpectWhole(w, text);
            ++checked;
        }
        EXPECT_GT(checked, 8) << "tab " << tab;
    }
    // The one label that used to lose its colon.
    QLabel* key = Control<QLabel>(window, "Label4");
    EXPECT_GE(key->width(), key->fontMetrics().horizontalAdvance(QStringLiteral("разблокировки:")));
}

// The window names only fonts that are installed (a missing one first makes every start ask
// fontconfig for its substitutes) and shows Tahoma, or DejaVu Sans where Tahoma is missing.
TEST_F(ShellTest, WindowFontIsTahomaOrDejaVuByInstalledNamesOnly) {
    const QStringList installed = QFontDatabase::families();
    for (const QString& family : window->font().families())
        EXPECT_TRUE(installed.contains(family)) << family.toStdString();
    const QString shown = QFontInfo(Control<QLabel>(window, "Label4")->font()).family();
    if (installed.contains(QStringLiteral("Tahoma"))) {
        EXPECT_EQ(shown, QStringLiteral("Tahoma"));
    } else if (installed.contains(QStringLiteral("DejaVu Sans"))) {
        EXPECT_EQ(shown, QStringLiteral("DejaVu Sans"));
    }
}

TEST_F(ShellTest, WindowHintsDecideTheTitleBarButtons) {
    struct Row {
        const char* name;
        QWidget* window;
        Qt::WindowFlags wanted;
        Qt::WindowFlags refused;
    };
    ProgressDialog progress(window->InitSettings(), window.get());
    AboutDialog about(window.get());
    ManualWindow manual(window.get());
    const Qt::WindowFlags minMax = Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint;
    const Row rows[] = {
        // Fixed size: minimize and close, never maximize.
        {"main window", window.get(),
         Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint |
             Qt::WindowCloseButtonHint,
         Qt::WindowMaximizeButtonHint},
        // A title and no button at all: Esc is the way out.
        {"progress dialog", &progress,
         Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint,
         minMax | Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint},
        // A fixed dialog frame: close only.
        {"About", &about, Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint,
         minMax},
        // The manual is an ordinary sizeable window.
        {"manual",
         &manual,
         Qt::WindowTitleHint | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint,
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Qt::WindowFlags flags = row.window->windowFlags();
        EXPECT_EQ(flags & row.wanted, row.wanted);
        EXPECT_EQ(flags & row.refused, Qt::WindowFlags());
    }
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "the main window is fixed-size";
    EXPECT_EQ(about.minimumSize(), about.maximumSize()) << "About is fixed-size";
    EXPECT_EQ(progress.minimumSize(), progress.maximumSize())
        << "the progress dialog is fixed-size";
}

TEST_F(ShellTest, LongReaderNamesShowWholeInTheOpenListAndAsTooltip) {
    const std::string longName =
        "Maker Model Smart Card Reader Interface [CCID] (0123456789AB) 00 00";
    const std::string sibling =
        "Maker Model Smart Card Reader Interface [CCID] (0123456789AB) 00 01";
    pcsc.AddReader(longName);
    pcsc.AddReader(sibling);
    window->FillReaderLists();
    window->show();
    for (ReaderComboBox* list : {Control<ReaderComboBox>(window, "cbRdrList2"),
                                 Control<ReaderComboBox>(window, "cbRdrList")}) {
        SCOPED_TRACE(list->objectName().toStdString());
        const int index = list->findText(QString::fromStdString(sibling));
        ASSERT_GE(index, 0);
        list->setCurrentIndex(index);
        EXPECT_EQ(list->toolTip(), QString::fromStdString(sibling)) << "the chosen name, whole";

        list->showPopup();
        QApplication::processEvents();
        const int need =
            list->view()->fontMetrics().horizontalAdvance(QString::fromStdString(longName));
        EXPECT_GE(list->view()->viewport()->width(), need)
            << "the open list shows the longest name";
        EXPECT_GE(list->view()->width(), list->width());
        list->hidePopup();
    }
}

TEST_F(ShellTest, EnterPressesTheFocusedButtonAndNothingInAField) {
    struct Row {
        const char* name;
        QWidget* target;
        std::function<bool()> pressed;
    };
    // Each button's press leaves a trace: a box, a dialog request, or a run.
    Control<QCheckBox>(window, "cbCRKey")->setChecked(true);
    dialogs.answers = {mbNo};
    const Row rows[] = {
        {"BtnInit", Control<QPushButton>(window, "BtnInit"),
         [&] { return !dialogs.messages.empty(); }},
        {"BtnLoad", Control<QPushButton>(window, "BtnLoad"),
         [&] { return dialogs.filters.size() > 0; }},
        {"BtnGenerate", Control<QPushButton>(window, "BtnGenerate"),
         [&] { return dialogs.filters.size() > 0; }},
        {"BtnLoadKey", Control<QPushButton>(window, "BtnLoadKey"),
         [&] { return dialogs.filters.size() > 0; }},
        {"Button1", Control<QPushButton>(window, "Button1"),
         [&] { return !dialogs.messages.empty(); }},
        {"BtnUnblOk", Control<QPushButton>(window, "BtnUnblOk"),
         [&] { return !dialogs.messages.empty(); }},
        {"EdPIN (a field)", Control<QLineEdit>(window, "EdPIN"),
         [&] {
             return !dialogs.messages.empty() || !dialogs.filters.empty() ||
                    !runner.readers.empty();
         }},
    };
    for (const Row& row : rows) {
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            SCOPED_TRACE(std::string(row.name) + (key == Qt::Key_Return ? " Return" : " Enter"));
            dialogs.messages.clear();
            dialogs.filters.clear();
            QTest::keyClick(row.target, key,
                            key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            const bool isButton = qobject_cast<QPushButton*>(row.target) != nullptr;
            EXPECT_EQ(row.pressed(), isButton);
        }
    }
}

TEST_F(ShellTest, TabBarStaysWithItsPageWhileABadGroupNumberIsReported) {
    window->show();
    QTabBar* bar = Control<QTabWidget>(window, "PageControl1")->tabBar();
    QLineEdit* group = Control<QLineEdit>(window, "edGroupRSA");
    Control<QCheckBox>(window, "cbDublGroupRSA")->setChecked(true);
    struct Row {
        const char* text;
        bool refused;
    };
    const Row rows[] = {{"", true}, {"0", true}, {"00", true}, {"D1", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Control<QTabWidget>(window, "PageControl1")->setCurrentIndex(0);
        group->setText(QString::fromLatin1(row.text));
        SendFocus(group, QEvent::FocusIn);
        dialogs.messages.clear();
        int barAtBox = -1;
        QWidget* pageAtBox = nullptr;
        dialogs.onMessage = [&](const MessageRequest&) {
            barAtBox = bar->currentIndex();
            pageAtBox = Control<QTabWidget>(window, "PageControl1")->currentWidget();
        };
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
        if (row.refused) {
            ASSERT_EQ(dialogs.messages.size(), 1u);
            EXPECT_EQ(dialogs.LastText(), "№ группы не может быть пустым или 0");
            EXPECT_EQ(barAtBox, 0);
            EXPECT_EQ(pageAtBox, Control<QWidget>(window, "TabSheet1"));
            EXPECT_EQ(Control<QTabWidget>(window, "PageControl1")->currentIndex(), 0)
                << "the tab stays";
        } else {
            EXPECT_TRUE(dialogs.messages.empty());
            EXPECT_EQ(Control<QTabWidget>(window, "PageControl1")->currentIndex(), 1);
        }
        EXPECT_EQ(Control<QTabWidget>(window, "PageControl1")->currentWidget(),
                  Control<QTabWidget>(window, "PageControl1")->widget(bar->currentIndex()));
        dialogs.onMessage = nullptr;
        SendFocus(group, QEvent::FocusOut);
    }
}

TEST(QtTranslation, RussianButtonsWhenInstalledAndAStartWithoutIt) {
    // Qt's own texts, as a message box and a file dialog ask for them.
    const auto yes = [] { return QCoreApplication::translate("QPlatformTheme", "&Yes"); };
    const auto fileName = [] { return QCoreApplication::translate("QFileDialog", "File &name:"); };
    ASSERT_EQ(yes(), QStringLiteral("&Yes"));

    QTranslator* russian = InstallQtTranslation(*QCoreApplication::instance());
    ASSERT_NE(russian, nullptr) << "qtbase_ru.qm (Debian: qt6-translations-l10n)";
    EXPECT_EQ(yes(), QStringLiteral("&Да"));
    EXPECT_EQ(fileName(), QStringLiteral("&Имя файла:"));
    QCoreApplication::removeTranslator(russian);
    delete russian;

    // A folder without the file: nothing installed, English stays, the program goes on.
    QTemporaryDir empty;
    EXPECT_EQ(InstallQtTranslation(*QCoreApplication::instance(), empty.path()), nullptr);
    EXPECT_EQ(yes(), QStringLiteral("&Yes"));
}

// What the first paint does not need (the program's icon) waits until the window is on screen,
// runs once, and a window never shown does not hold it back.
TEST(StartupOrder, WorkAfterTheFirstPaintRunsOnceTheWindowIsOnScreen) {
    int runs = 0;
    QWidget never;
    RunOnceShown(never, [&] { ++runs; });
    EXPECT_EQ(runs, 1);

    runs = 0;
    QWidget window;
    window.resize(120, 80);
    window.show();
    RunOnceShown(window, [&] { ++runs; });
    EXPECT_EQ(runs, 0) << "ran before the window was on screen";
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs == 1; }, 5000));
    window.hide();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(50);
    EXPECT_EQ(runs, 1);
}

// The program's style decodes the menu bar's overflow arrow only when it is drawn: the arrow is
// its base style's in every size and state, and a menu bar too wide for its window shows it.
TEST(DeferredIconStyle, OverflowArrowIsTheBaseStylesWhenDrawn) {
    // The application's style comes back however the test ends: the other tests draw with it.
    struct RestoreStyle {
        QString name = QApplication::style()->name();
        ~RestoreStyle() { QApplication::setStyle(QStyleFactory::create(name)); }
    } restore;
    QApplication::setStyle(new DeferredIconStyle(QStringLiteral("fusion")));
    const std::unique_ptr<QStyle> base(QStyleFactory::create(QStringLiteral("fusion")));
    const QIcon expected = base->standardIcon(QStyle::SP_ToolBarHorizontalExtensionButton);
    const QIcon arrow =
        QApplication::style()->standardIcon(QStyle::SP_ToolBarHorizontalExtensionButton);
    EXPECT_FALSE(arrow.isNull());
    for (const int size : {12, 16, 32})
        for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled, QIcon::Active})
            EXPECT_EQ(arrow.pixmap(size, mode).toImage(), expected.pixmap(size, mode).toImage())
                << size << " " << mode;

    QMainWindow window;
    for (const char* title : {"Первое меню", "Второе меню", "Третье меню", "Четвёртое меню"})
        window.menuBar()->addMenu(QString::fromUtf8(title));
    window.setFixedWidth(160);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* overflow = window.menuBar()->findChild<QToolButton*>("qt_menubar_ext_button");
    ASSERT_NE(overflow, nullptr);
    EXPECT_TRUE(overflow->isVisible());
    EXPECT_EQ(overflow->icon().pixmap(16).toImage(), expected.pixmap(16).toImage());
    window.close();
}
