#include "MainWindow.h"

#include "KeyFile.h"
#include "ReaderComboBox.h"
#include "engine/RandomSource.h"

#include "crypto/Wipe.h"
#include "engine/AuditJournal.h"
#include "help/AboutDialog.h"
#include "help/ManualWindow.h"
#include "journal/JournalWindow.h"

#include <QAction>
#include <QGroupBox>
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

constexpr int ClientWidth = 300;
constexpr int ClientHeight = 412;

} // namespace

// A fixed-size window: minimize and close, no maximize.
MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint) {
    reader_ = std::make_unique<TokenSession>();
    groupKeyRsaMade_ = FillRandom(groupKeyRsa_.data(), groupKeyRsa_.size());
    groupKeyDstuMade_ = FillRandom(groupKeyDstu_.data(), groupKeyDstu_.size());
    CreateControls();
    ShowKeyCheck();
    FillReaderLists();
}

MainWindow::~MainWindow() {
    WipeAll(unblockKey_);
    WipeAll(groupKeyRsa_);
    WipeAll(groupKeyDstu_);
}

void MainWindow::CreateControls() {
    setWindowTitle(QStringLiteral("Orvane"));
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
    font.setPointSize(8);
    setFont(font);

    CreateMenu();

    tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("PageControl1"));
    tabs->setFixedSize(ClientWidth, ClientHeight);
    initTab = new InitTab(*this);
    unblockTab = new UnblockTab(*this);
    tabs->addTab(initTab, QStringLiteral("Инициализация"));
    tabs->addTab(unblockTab, QStringLiteral("Разблокировка"));
    setCentralWidget(tabs);
    tabs->tabBar()->installEventFilter(this);
    tabs->installEventFilter(this);

    // Group box captions in bold, their contents in the window's regular font.
    QFont bold = font;
    bold.setBold(true);
    QFont regular = font;
    regular.setBold(false);
    for (QGroupBox* box : findChildren<QGroupBox*>()) {
        box->setFont(bold);
        for (QWidget* w : box->findChildren<QWidget*>())
            w->setFont(regular);
    }

    // Keyboard order of the tab "Инициализация".
    const InitTab& t = *initTab;
    QWidget* order[] = {t.cbRdrList2,   t.BtnInit,        t.EdPIN,      t.cbAllowPUK,
                        t.EdPUK,        t.cbCRKey,        t.BtnLoad,    t.BtnGenerate,
                        t.EdDeviceName, t.cbDublGroupRSA, t.edGroupRSA, t.cbDublGroupDSTU,
                        t.edGroupDSTU};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    // The page control is 300 x 412; the menu bar sits above it.
    const int menuHeight = menuBar()->sizeHint().height();
    setFixedSize(ClientWidth, ClientHeight + menuHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void MainWindow::CreateMenu() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("Файл"));
    journalAction = file->addAction(QStringLiteral("Журнал инициализации..."));
    journalAction->setObjectName(QStringLiteral("journalAction"));
    journalAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_J));
    connect(journalAction, &QAction::triggered, this, [this] { ShowJournal(); });
    file->addSeparator();
    N2 = file->addAction(QStringLiteral("Выход"));
    N2->setObjectName(QStringLiteral("N2"));
    connect(N2, &QAction::triggered, this, [this] { Quit(); });

    QMenu* help = menuBar()->addMenu(QStringLiteral("Помощь"));
    N8 = help->addAction(QStringLiteral("Инструкция"));
    N8->setObjectName(QStringLiteral("N8"));
    help->addSeparator();
    N7 = help->addAction(QStringLiteral("О программе"));
    N7->setObjectName(QStringLiteral("N7"));
    connect(N8, &QAction::triggered, this, [this] { ShowInstruction(); });
    connect(N7, &QAction::triggered, this, [this] { ShowAbout(); });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // A click on the other tab, or Ctrl+Tab and its kin, would show the other page while the
    // warning about a bad group number is still to come: the warning comes first and the tab
    // stays, so tab bar and page always agree.
    bool leaving = false;
    if (watched == tabs->tabBar() && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const int index = tabs->tabBar()->tabAt(mouse->position().toPoint());
        leaving = mouse->button() == Qt::LeftButton && index >= 0 && index != tabs->currentIndex();
    } else if (watched == tabs && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        leaving = (key->modifiers() & Qt::ControlModifier) &&
                  (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab ||
                   key->key() == Qt::Key_PageUp || key->key() == Qt::Key_PageDown);
    }
    if (leaving && tabs->currentWidget() == initTab && initTab->RefuseLeavingTab())
        return true;
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------
// Settings read by the initialization run

std::string MainWindow::PinText() const {
    return initTab->EdPIN->text().toStdString();
}
std::string MainWindow::PukText() const {
    return initTab->EdPUK->text().toStdString();
}
bool MainWindow::AllowPuk() const {
    return initTab->cbAllowPUK->isChecked();
}
bool MainWindow::UseUnblockKey() const {
    return initTab->cbCRKey->isChecked();
}
bool MainWindow::DublGroupRSA() const {
    return initTab->cbDublGroupRSA->isChecked();
}
std::string MainWindow::GroupRSAText() const {
    return initTab->edGroupRSA->text().toStdString();
}
bool MainWindow::DublGroupDSTU() const {
    return initTab->cbDublGroupDSTU->isChecked();
}
std::string MainWindow::GroupDSTUText() const {
    return initTab->edGroupDSTU->text().toStdString();
}
std::string MainWindow::DeviceNameText() const {
    return initTab->EdDeviceName->text().toStdString();
}
bool MainWindow::ReadCardNumber() const {
    return initTab->cbReadCardNumber->isChecked();
}

// ---------------------------------------------------------------------------------------------
// Message box and device lists

int MainWindow::ShowMessageBox(const QString& text, MsgType type, int buttons,
                               int /*helpContext*/) {
    MessageRequest request;
    request.owner = this;
    request.title = windowTitle();
    request.text = text;
    request.type = type;
    if (buttons & mbYes)
        request.buttons = mbYes | mbNo;
    else if ((buttons & mbOK) && (buttons & mbCancel))
        request.buttons = mbOK | mbCancel;
    else
        request.buttons = mbOK;
    request.systemModal = true;
    return Dialogs().Message(request);
}

void MainWindow::FillReaderLists() {
    QStringList names;
    for (int position = 0;; ++position) {
        const std::string name = reader_->GetReaderName(position);
        if (name.empty())
            break;
        const QString entry = QString::fromStdString(name);
        if (entry != NoDevice)
            names.push_back(entry);
    }
    std::stable_sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    for (ReaderComboBox* list : {initTab->cbRdrList2, unblockTab->cbRdrList})
        list->SetReaders(names);
}

void MainWindow::SelectDevice(const QString& name) {
    reader_->SelectReader(name.toStdString());
}

// ---------------------------------------------------------------------------------------------
// Group keys

void MainWindow::RefillGroupKey(std::array<std::uint8_t, 32>& key, bool& made) {
    made = FillRandom(key.data(), key.size());
}

void MainWindow::RenewRsaGroupKey() {
    RefillGroupKey(groupKeyRsa_, groupKeyRsaMade_);
}

void MainWindow::RenewDstuGroupKey() {
    RefillGroupKey(groupKeyDstu_, groupKeyDstuMade_);
}

bool MainWindow::EnsureGroupKeys() {
    // A group key is made again here when the system's random source failed when it was due;
    // a key from the counter alone is never put on a token.
    if (!groupKeyRsaMade_)
        RefillGroupKey(groupKeyRsa_, groupKeyRsaMade_);
    if (!groupKeyDstuMade_)
        RefillGroupKey(groupKeyDstu_, groupKeyDstuMade_);
    return groupKeyRsaMade_ && groupKeyDstuMade_;
}

// ---------------------------------------------------------------------------------------------
// Unblock key and key file

bool MainWindow::IsKeyLoaded(KeyMark mark) const {
    return mark == KeyMark::BtnLoad ? markBtnLoad_ : markBtnLoadKey_;
}

void MainWindow::SetLoadMark(KeyMark mark) {
    QPushButton* button = mark == KeyMark::BtnLoad ? initTab->BtnLoad : unblockTab->BtnLoadKey;
    (mark == KeyMark::BtnLoad ? markBtnLoad_ : markBtnLoadKey_) = true;
    QFont f = button->font();
    f.setBold(true);
    button->setFont(f);
    button->setText(QStringLiteral("Загружен"));
}

void MainWindow::LoadUnblockKey(KeyMark mark) {
    const QString path = Dialogs().OpenFileName(this, KeyFilter);
    if (!path.isEmpty())
        LoadUnblockKeyFrom(path, mark);
}

void MainWindow::LoadUnblockKeyFrom(const QString& path, KeyMark mark) {
    UnblockKeyBytes key{};
    unsigned permissions = 0;
    switch (ReadKeyFile(path, key, &permissions)) {
    case KeyFileRead::CannotOpen:
        ShowMessageBox(QStringLiteral("Не могу загрузить файл. Закройте приложения, которые могут "
                                      "его использовать и повторите попытку"),
                       MsgType::Warning, mbOK);
        return;
    case KeyFileRead::WrongSize:
        ShowMessageBox(QStringLiteral("Файл имеет неправильный размер. Удо") + u'c' +
                           QStringLiteral("товерьтесь в целосности файла ключа"),
                       MsgType::Error, mbOK);
        return;
    case KeyFileRead::Loaded:
        break;
    }
    const bool accepted = AcceptKeyFromFile(key, permissions);
    if (accepted)
        unblockKey_ = key;
    if (accepted)
        AuditKeyLoaded(path.toStdString(), key);
    WipeAll(key);
    if (!accepted)
        return;
    SetLoadMark(mark);
    ShowKeyCheck();
    ShowMessageBox(QStringLiteral("Ключ загружен"), MsgType::Information, mbOK);
}

bool MainWindow::AcceptKeyFromFile(const UnblockKeyBytes& key, unsigned permissions) {
    if (IsOpenToOthers(permissions) &&
        ShowMessageBox(QStringLiteral("Файл ключа доступен не только владельцу (права %1): его "
                                      "могут прочитать другие пользователи. Загрузить ключ?")
                           .arg(permissions, 4, 8, QLatin1Char('0')),
                       MsgType::Warning, mbYes | mbNo) != mbYes)
        return false;
    QString weakness;
    switch (WeaknessOf(key)) {
    case KeyWeakness::SingleDes:
        weakness = QStringLiteral("Обе половины ключа одинаковы: такой ключ не сильнее "
                                  "одинарного DES. Загрузить ключ?");
        break;
    case KeyWeakness::DefaultKey:
        weakness = QStringLiteral("Ключ совпадает со встроенным ключом по умолчанию, который "
                                  "известен всем. Загрузить ключ?");
        break;
    case KeyWeakness::None:
        break;
    }
    return weakness.isEmpty() || ShowMessageBox(weakness, MsgType::Warning, mbYes | mbNo) == mbYes;
}

QString MainWindow::KeyCheckText() const {
    QString text = QStringLiteral("KCV: ") + QString::fromStdString(KeyCheckValue(unblockKey_));
    if (unblockKey_ == kDefaultUnblockKey)
        text += QStringLiteral(" (по умолчанию)");
    return text;
}

void MainWindow::ShowKeyCheck() {
    const QString text = KeyCheckText();
    for (QLabel* label : {initTab->LblKcv, unblockTab->LblKcvKey})
        label->setText(text);
    for (QPushButton* mark : {initTab->BtnLoad, unblockTab->BtnLoadKey})
        mark->setToolTip(text);
}

void MainWindow::GenerateUnblockKey() {
    const QString chosen = Dialogs().SaveFileName(this, KeyFilter);
    if (chosen.isEmpty())
        return;
    // A new key is never a weak one: the draw is repeated (a weak draw is all but impossible).
    UnblockKeyBytes key{};
    do {
        if (!FillRandom(key.data(), key.size())) {
            WipeAll(key);
            ShowMessageBox(MsgRandomFailed, MsgType::Error, mbOK);
            return;
        }
    } while (WeaknessOf(key) != KeyWeakness::None);
    // The new key comes into force only once its file is complete: a key that exists in no
    // file could be put on tokens and never be found again.
    const QString path = chosen + QStringLiteral(".key");
    if (!WriteKeyFile(path, key)) {
        WipeAll(key);
        ShowMessageBox(QStringLiteral("Can't create file ") + path, MsgType::Error, mbOK);
        return;
    }
    unblockKey_ = key;
    AuditKeyGenerated(path.toStdString(), key);
    WipeAll(key);
    SetLoadMark(KeyMark::BtnLoad);
    ShowKeyCheck();
    ShowMessageBox(QStringLiteral("Ключ сохранён в файл %1. Контрольное значение (KCV): %2. "
                                  "Запишите его вместе с файлом.")
                       .arg(path, QString::fromStdString(KeyCheckValue(unblockKey_))),
                   MsgType::Information, mbOK);
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
