#include "MainWindow.h"

#include "InitTab.h"
#include "ReaderComboBox.h"
#include "UnblockKeyFiles.h"
#include "UnblockTab.h"

#include "help/AboutDialog.h"
#include "help/ManualWindow.h"
#include "init/ProgressDialog.h"
#include "journal/JournalWindow.h"

#include <QAction>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>

#include <algorithm>

namespace {

constexpr int kClientWidth = 300;
constexpr int kClientHeight = 412;

// The window's font: Tahoma, and DejaVu Sans where Tahoma is missing (Debian's desktops), named
// only when installed. A missing family named first has Qt ask fontconfig for its substitutes at
// the window's first text: a tenth of the start's work, for the same letters. With neither
// installed the desktop's font stays.
QStringList InstalledWindowFamilies() {
    const QStringList installed = QFontDatabase::families();
    QStringList families;
    for (const QString& family : {QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")}) {
        if (installed.contains(family))
            families.append(family);
    }
    return families;
}

} // namespace

// A fixed-size window: minimize and close, no maximize.
MainWindow::MainWindow(Controls controls, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint) {
    reader_ = std::make_unique<TokenSession>();
    keyFiles_ = std::make_unique<UnblockKeyFiles>(keys_, *this);
    CreateControls(controls);
    FillReaderLists();
}

void MainWindow::MakeAllControls() {
    unblockTab_->MakeControls();
}

// The windows made later go first, then the tabs, which use the keys and the session this
// window holds (members outlive only the window's own body).
MainWindow::~MainWindow() {
    delete progress_;
    delete journal_;
    delete manual_;
    delete about_;
    tabs_->removeEventFilter(this);
    tabs_->tabBar()->removeEventFilter(this);
    delete tabs_;
}

IInitSettings& MainWindow::InitSettings() {
    return *initTab_;
}

void MainWindow::CreateControls(Controls controls) {
    setWindowTitle(QStringLiteral("Orvane"));
    QFont font;
    font.setFamilies(InstalledWindowFamilies());
    font.setPointSize(8);
    setFont(font);

    CreateMenu();

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("PageControl1"));
    tabs_->setFixedSize(kClientWidth, kClientHeight);
    // Made inside the page control, so they have the window's font from the start: a tab made
    // alone would first load the desktop's font for nothing.
    initTab_ = new InitTab(keys_, *keyFiles_, *reader_, tabs_);
    unblockTab_ = new UnblockTab(keys_, *keyFiles_, *reader_, tabs_,
                                 controls == Controls::All ? UnblockTab::Controls::Now
                                                           : UnblockTab::Controls::Later);
    initTab_->SetRunner([this]() -> IInitRunner* {
        return initRunner_ ? initRunner_ : static_cast<IInitRunner*>(&Progress());
    });
    connect(initTab_, &InitTab::readerListOpening, this, &MainWindow::FillReaderLists);
    connect(unblockTab_, &UnblockTab::readerListOpening, this, &MainWindow::FillReaderLists);
    tabs_->addTab(initTab_, QStringLiteral("Инициализация"));
    tabs_->addTab(unblockTab_, QStringLiteral("Разблокировка"));
    setCentralWidget(tabs_);
    tabs_->tabBar()->installEventFilter(this);
    tabs_->installEventFilter(this);

    // The page control is 300 x 412; the menu bar sits above it.
    const int menuHeight = menuBar()->sizeHint().height();
    setFixedSize(kClientWidth, kClientHeight + menuHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void MainWindow::CreateMenu() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("Файл"));
    QAction* journal = file->addAction(QStringLiteral("Журнал инициализации..."));
    journal->setObjectName(QStringLiteral("journalAction"));
    journal->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_J));
    connect(journal, &QAction::triggered, this, [this] { ShowJournal(); });
    QAction* protect = file->addAction(QStringLiteral("Сохранить ключ под защитой..."));
    protect->setObjectName(QStringLiteral("saveProtectedAction"));
    connect(protect, &QAction::triggered, this, [this] { keyFiles_->SaveProtected(); });
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("Выход"));
    quit->setObjectName(QStringLiteral("N2"));
    connect(quit, &QAction::triggered, this, [this] { Quit(); });

    QMenu* help = menuBar()->addMenu(QStringLiteral("Помощь"));
    QAction* instruction = help->addAction(QStringLiteral("Инструкция"));
    instruction->setObjectName(QStringLiteral("N8"));
    help->addSeparator();
    QAction* about = help->addAction(QStringLiteral("О программе"));
    about->setObjectName(QStringLiteral("N7"));
    connect(instruction, &QAction::triggered, this, [this] { ShowInstruction(); });
    connect(about, &QAction::triggered, this, [this] { ShowAbout(); });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // A click on the other tab, or Ctrl+Tab and its kin, would show the other page while the
    // warning about a bad group number is still to come: the warning comes first and the tab
    // stays, so tab bar and page always agree.
    bool leaving = false;
    if (watched == tabs_->tabBar() && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const int index = tabs_->tabBar()->tabAt(mouse->position().toPoint());
        leaving = mouse->button() == Qt::LeftButton && index >= 0 && index != tabs_->currentIndex();
    } else if (watched == tabs_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        leaving = (key->modifiers() & Qt::ControlModifier) &&
                  (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab ||
                   key->key() == Qt::Key_PageUp || key->key() == Qt::Key_PageDown);
    }
    if (leaving && tabs_->currentWidget() == initTab_ && initTab_->RefuseLeavingTab())
        return true;
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------
// Device lists

void MainWindow::FillReaderLists() {
    QStringList names;
    for (int position = 0;; ++position) {
        const std::string name = reader_->GetReaderName(position);
        if (name.empty())
            break;
        const QString entry = QString::fromStdString(name);
        if (entry != ReaderComboBox::kNone)
            names.push_back(entry);
    }
    std::stable_sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    initTab_->SetReaders(names);
    unblockTab_->SetReaders(names);
}

// ---------------------------------------------------------------------------------------------
// Menu

void MainWindow::ShowJournal() {
    if (!journal_)
        journal_ = new JournalWindow(this);
    journal_->ShowJournal();
}

void MainWindow::Quit() {
    close();
}

ManualWindow& MainWindow::Manual() {
    if (!manual_)
        manual_ = new ManualWindow(this);
    return *manual_;
}

ProgressDialog& MainWindow::Progress() {
    if (!progress_)
        progress_ = new ProgressDialog(*initTab_, this);
    return *progress_;
}

AboutDialog& MainWindow::About() {
    if (!about_)
        about_ = new AboutDialog(this);
    return *about_;
}

void MainWindow::ShowAbout() {
    About().exec();
}

void MainWindow::ShowInstruction() {
    Manual().ShowInstruction();
}
