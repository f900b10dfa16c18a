#include "MainUnit.h"

#include "RandomSource.h"

#include "crypto/Des32h.h"
#include "help/HelpUnit.h"
#include "help/Unit1.h"
#include "init/AnsiText.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QFocusEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QValidator>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TFrmMain* FrmMain = nullptr;

namespace {

constexpr int ClientWidth = 300;
constexpr int ClientHeight = 412;
constexpr int KeyFileSize = 16;

const QString GroupHint =
    QStringLiteral("Внимание! При смене № группы, сеансовый ключ  будет перегенерирован.");
const QString CaptionLoad = QStringLiteral("Загрузить");
const QString CaptionLoaded = QStringLiteral("Загружен");
const QString MsgNoDevice = QStringLiteral("Устройство не выбрано");
const QString MsgRandomFailed = QStringLiteral("Ошибка генератора случайных чисел. Ключ не создан");

// Accepts only text that code page 1251 can hold: PIN-type values go to the token in it.
class TCp1251Validator final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        return IsCp1251Text(input) ? Acceptable : Invalid;
    }
};

// The enabled state a widget was given itself, whatever its parents' state.
bool OwnEnabled(const QWidget* w) {
    return !w->testAttribute(Qt::WA_ForceDisabled);
}

// Focus moves inside the window count as entering or leaving a field; a window losing or
// regaining the activation (a message box, another program), a popup, or the menu bar taking the
// keyboard for a while (a tap on Alt) does not.
bool IsFieldFocusMove(const QEvent* event) {
    const auto reason = static_cast<const QFocusEvent*>(event)->reason();
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
           reason != Qt::MenuBarFocusReason;
}

bool IsUpperHexDigit(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
}

int DigitValue(QChar c) {
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'A' && c <= u'F')
        return c.unicode() - u'A' + 10;
    return 0;
}

bool IsBlankOrControl(QChar c) {
    return c.unicode() <= 0x20;
}

QString TrimRight(const QString& s) {
    qsizetype n = s.size();
    while (n > 0 && IsBlankOrControl(s[n - 1]))
        --n;
    return s.left(n);
}

QString Trim(const QString& s) {
    const QString right = TrimRight(s);
    qsizetype i = 0;
    while (i < right.size() && IsBlankOrControl(right[i]))
        ++i;
    return right.mid(i);
}

// Empties a field that held a PIN. Setting the text, unlike clear(), also drops the field's undo
// history, so the PIN cannot be brought back with Ctrl+Z and no copy of it stays there.
void EmptySecretField(QLineEdit* field) {
    field->setText(QString());
}

// Bytes that hold key or PIN material: wiped when they go out of scope.
struct TSecretBytes {
    Bytes data;
    ~TSecretBytes() { WipeBytes(data.data(), data.size()); }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Device list and challenge field

void TReaderComboBox::showPopup() {
    emit DropDown();
    QComboBox::showPopup();
}

bool TChallengeEdit::IsPasteAction(const QAction* action) {
    return action->objectName() == QLatin1String("edit-paste") ||
           action->text().startsWith(QLineEdit::tr("&Paste"));
}

void TChallengeEdit::PasteFromMenu() {
    if (isReadOnly())
        return;
    QString pasted = QApplication::clipboard()->text().toUpper();
    const QString current = text();
    const int selStart = hasSelectedText() ? selectionStart() : cursorPosition();
    const int selLength = hasSelectedText() ? static_cast<int>(selectedText().size()) : 0;
    const int room = MaxChars - static_cast<int>(current.size()) + selLength;
    if (room <= 0)
        return;
    pasted.truncate(room);
    if (pasted.isEmpty())
        return;
    QString result = current;
    result.replace(selStart, selLength, pasted);
    setText(result);
    setCursorPosition(selStart + static_cast<int>(pasted.size()));
}

void TChallengeEdit::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createStandardContextMenu();
    for (QAction* action : menu->actions()) {
        if (IsPasteAction(action)) {
            disconnect(action, &QAction::triggered, nullptr, nullptr);
            connect(action, &QAction::triggered, this, &TChallengeEdit::PasteFromMenu);
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void TChallengeEdit::mouseReleaseEvent(QMouseEvent* event) {
    // No pasting of the mouse selection with the middle button: every way in is checked.
    if (event->button() == Qt::MiddleButton) {
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

// ---------------------------------------------------------------------------------------------
// Challenge and response texts

QString GroupHexPairs(const QString& text) {
    QString digits = text;
    digits.remove(u' ');
    QString result;
    result.reserve(digits.size() + digits.size() / 2);
    for (qsizetype i = 0; i < digits.size(); ++i) {
        result += digits[i];
        if ((i + 1) % 2 == 0 && i + 1 < digits.size())
            result += u' ';
    }
    return result;
}

bool IsChallengeValid(const QString& text) {
    const QString s = TrimRight(text);
    if (s.size() != 23)
        return false;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (i % 3 == 2) {
            if (s[i] != u' ')
                return false;
        } else if (!IsUpperHexDigit(s[i])) {
            return false;
        }
    }
    return true;
}

int HexPairValue(const QString& text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i)
        value = value * 16 + (i < text.size() ? DigitValue(text[i]) : 0);
    return value;
}

Bytes ParseChallenge(const QString& text, int length) {
    Bytes bytes;
    length = std::min(length, static_cast<int>(text.size()));
    int pos = 1;
    while (pos < length && bytes.size() < 255) {
        if (text[pos - 1] == u' ') {
            ++pos;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(HexPairValue(text.mid(pos - 1, 2), 2)));
            pos += 2;
        }
    }
    return bytes;
}

QString FormatResponse(const std::uint8_t* bytes, int count) {
    static const char digits[] = "0123456789ABCDEF";
    QString s;
    for (int i = 0; i < count; ++i) {
        s += u' ';
        s += QLatin1Char(digits[bytes[i] >> 4]);
        s += QLatin1Char(digits[bytes[i] & 0x0F]);
    }
    return s.mid(1, 24);
}

// ---------------------------------------------------------------------------------------------
// Window creation

TFrmMain::TFrmMain(QWidget* parent) : QMainWindow(parent) {
    FReader = std::make_unique<TCCReader>();
    FGroupKeyRSAMade = FillRandom(FGroupKeyRSA.data(), FGroupKeyRSA.size());
    FGroupKeyDSTUMade = FillRandom(FGroupKeyDSTU.data(), FGroupKeyDSTU.size());
    CreateControls();
    FillReaderLists();
}

TFrmMain::~TFrmMain() {
    if (FrmMain == this)
        FrmMain = nullptr;
    WipeBytes(FUnblockKey.data(), FUnblockKey.size());
    WipeBytes(FGroupKeyRSA.data(), FGroupKeyRSA.size());
    WipeBytes(FGroupKeyDSTU.data(), FGroupKeyDSTU.size());
}

void TFrmMain::CreateControls() {
    setWindowTitle(QStringLiteral("Orvane"));
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
    font.setPointSize(8);
    setFont(font);

    CreateMenu();

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setFixedSize(ClientWidth, ClientHeight);
    TabSheet1 = CreateInitTab();
    TabSheet2 = CreateUnblockTab();
    PageControl1->addTab(TabSheet1, QStringLiteral("Инициализация"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Разблокировка"));
    setCentralWidget(PageControl1);

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
    QWidget* order[] = {cbRdrList2, BtnInit,         EdPIN,       cbAllowPUK,   EdPUK,
                        cbCRKey,    BtnLoad,         BtnGenerate, EdDeviceName, cbDublGroupRSA,
                        edGroupRSA, cbDublGroupDSTU, edGroupDSTU};
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

void TFrmMain::CreateMenu() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("Файл"));
    N2 = file->addAction(QStringLiteral("Выход"));
    N2->setObjectName(QStringLiteral("N2"));
    connect(N2, &QAction::triggered, this, [this] { N2Click(); });

    QMenu* help = menuBar()->addMenu(QStringLiteral("Помощь"));
    N8 = help->addAction(QStringLiteral("Инструкция"));
    N8->setObjectName(QStringLiteral("N8"));
    help->addSeparator();
    N7 = help->addAction(QStringLiteral("О программе"));
    N7->setObjectName(QStringLiteral("N7"));
    connect(N8, &QAction::triggered, this, [this] { N8Click(); });
    connect(N7, &QAction::triggered, this, [this] { N7Click(); });
}

namespace {

QLabel* NewLabel(const QString& text, QWidget* parent, const QString& name = QString()) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    if (!name.isEmpty())
        label->setObjectName(name);
    return label;
}

template <typename T> T* Named(T* widget, const QString& name) {
    widget->setObjectName(name);
    return widget;
}

} // namespace

QWidget* TFrmMain::CreateInitTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("TabSheet1"));
    auto* column = new QVBoxLayout(tab);
    column->setContentsMargins(4, 6, 4, 4);
    column->setSpacing(5);

    // Device.
    auto* deviceRow = new QHBoxLayout;
    deviceRow->addWidget(NewLabel(QStringLiteral("Устройство:"), tab));
    cbRdrList2 = Named(new TReaderComboBox(tab), QStringLiteral("cbRdrList2"));
    cbRdrList2->setEditable(false);
    deviceRow->addWidget(cbRdrList2, 1);
    column->addLayout(deviceRow);

    // Initialization parameters.
    auto* params = new QGroupBox(QStringLiteral("Параметры инициализации "), tab);
    auto* grid = new QGridLayout(params);
    grid->setContentsMargins(4, 4, 4, 6);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(4);
    grid->addWidget(NewLabel(QStringLiteral("ПИН-код:"), params), 0, 0);
    EdPIN = Named(new QLineEdit(params), QStringLiteral("EdPIN"));
    EdPIN->setMaxLength(8);
    EdPIN->setValidator(new TCp1251Validator(EdPIN));
    grid->addWidget(EdPIN, 0, 1);

    Label3 = NewLabel(QStringLiteral("ПАК-код:"), params, QStringLiteral("Label3"));
    Label3->setEnabled(false);
    grid->addWidget(Label3, 1, 0);
    EdPUK = Named(new QLineEdit(params), QStringLiteral("EdPUK"));
    EdPUK->setMaxLength(8);
    EdPUK->setValidator(new TCp1251Validator(EdPUK));
    EdPUK->setEnabled(false);
    grid->addWidget(EdPUK, 1, 1);
    cbAllowPUK =
        Named(new QCheckBox(QStringLiteral("Разрешить"), params), QStringLiteral("cbAllowPUK"));
    grid->addWidget(cbAllowPUK, 1, 2);

    cbCRKey = Named(new QCheckBox(QStringLiteral("Использовать ключ разблокировки"), params),
                    QStringLiteral("cbCRKey"));
    grid->addWidget(cbCRKey, 2, 0, 1, 3);

    Label4 = NewLabel(QStringLiteral("Ключ разблокировки:"), params, QStringLiteral("Label4"));
    Label4->setWordWrap(true);
    Label4->setEnabled(false);
    grid->addWidget(Label4, 3, 0);
    BtnLoad = Named(new QPushButton(CaptionLoad, params), QStringLiteral("BtnLoad"));
    BtnLoad->setEnabled(false);
    BtnLoad->setAutoDefault(false);
    BtnGenerate = Named(new QPushButton(QStringLiteral("Сгенерировать"), params),
                        QStringLiteral("BtnGenerate"));
    BtnGenerate->setEnabled(false);
    BtnGenerate->setAutoDefault(false);
    auto* keyButtons = new QHBoxLayout;
    keyButtons->setSpacing(4);
    keyButtons->addWidget(BtnLoad);
    keyButtons->addWidget(BtnGenerate);
    grid->addLayout(keyButtons, 3, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    column->addWidget(params);

    // Device name.
    auto* nameBox = new QGroupBox(QStringLiteral("Имя устройства "), tab);
    auto* nameLayout = new QVBoxLayout(nameBox);
    nameLayout->setContentsMargins(6, 4, 6, 6);
    EdDeviceName = Named(new QLineEdit(NoDevice, nameBox), QStringLiteral("EdDeviceName"));
    EdDeviceName->setMaxLength(32);
    nameLayout->addWidget(EdDeviceName);
    column->addWidget(nameBox);

    // Duplication groups.
    auto* groups = new QGroupBox(QStringLiteral("Установка группы дублирования "), tab);
    auto* groupGrid = new QGridLayout(groups);
    groupGrid->setContentsMargins(6, 4, 6, 6);
    groupGrid->setHorizontalSpacing(6);
    groupGrid->setVerticalSpacing(3);
    auto addGroup = [&](int row, const QString& boxText, const QString& boxName,
                        const QString& labelName, const QString& editName, QCheckBox*& box,
                        QLabel*& label, QLineEdit*& edit) {
        box = Named(new QCheckBox(boxText, groups), boxName);
        groupGrid->addWidget(box, row, 0, 1, 3);
        label = NewLabel(QStringLiteral("№ группы:"), groups, labelName);
        label->setEnabled(false);
        groupGrid->addWidget(label, row + 1, 0);
        edit = Named(new QLineEdit(QStringLiteral("D1"), groups), editName);
        edit->setMaxLength(2);
        edit->setToolTip(GroupHint);
        edit->setEnabled(false);
        edit->setFixedWidth(40);
        groupGrid->addWidget(edit, row + 1, 1);
    };
    addGroup(0, QStringLiteral("Создать группу для ключей RSA"), QStringLiteral("cbDublGroupRSA"),
             QStringLiteral("lblGroupRSA"), QStringLiteral("edGroupRSA"), cbDublGroupRSA,
             lblGroupRSA, edGroupRSA);
    addGroup(2, QStringLiteral("Создать группу для ключей ДСТУ"), QStringLiteral("cbDublGroupDSTU"),
             QStringLiteral("lblGroupDSTU"), QStringLiteral("edGroupDSTU"), cbDublGroupDSTU,
             lblGroupDSTU, edGroupDSTU);
    groupGrid->setColumnStretch(2, 1);
    column->addWidget(groups);

    column->addStretch(1);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    BtnInit =
        Named(new QPushButton(QStringLiteral("Инициализация"), tab), QStringLiteral("BtnInit"));
    BtnInit->setAutoDefault(false);
    buttonRow->addWidget(BtnInit);
    column->addLayout(buttonRow);

    connect(cbRdrList2, &TReaderComboBox::DropDown, this, [this] { FillReaderLists(); });
    connect(cbRdrList2, &QComboBox::textActivated, this,
            [this](const QString& t) { SelectDevice(t); });
    connect(cbAllowPUK, &QCheckBox::clicked, this, [this] { cbAllowPUKClick(); });
    connect(cbCRKey, &QCheckBox::toggled, this, [this] { cbCRKeyChange(); });
    connect(cbDublGroupRSA, &QCheckBox::toggled, this, [this] { cbDublGroupRSAClick(); });
    connect(cbDublGroupDSTU, &QCheckBox::toggled, this, [this] { cbDublGroupDSTUClick(); });
    connect(edGroupRSA, &QLineEdit::textChanged, this, [this] { edGroupRSAChange(); });
    connect(edGroupDSTU, &QLineEdit::textChanged, this, [this] { edGroupDSTUChange(); });
    connect(BtnLoad, &QPushButton::clicked, this, [this] { BtnLoadClick(); });
    connect(BtnGenerate, &QPushButton::clicked, this, [this] { BtnGenerateClick(); });
    connect(BtnInit, &QPushButton::clicked, this, [this] { BtnInitClick(); });
    edGroupRSA->installEventFilter(this);
    edGroupDSTU->installEventFilter(this);
    EdDeviceName->installEventFilter(this);
    return tab;
}

QWidget* TFrmMain::CreateUnblockTab() {
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("TabSheet2"));
    auto* column = new QVBoxLayout(tab);
    column->setContentsMargins(6, 6, 6, 6);
    column->setSpacing(6);

    // Challenge-response.
    auto* cr = new QGroupBox(QStringLiteral("C/R"), tab);
    auto* crGrid = new QGridLayout(cr);
    crGrid->setContentsMargins(6, 4, 6, 6);
    crGrid->setHorizontalSpacing(6);
    crGrid->setVerticalSpacing(4);
    auto* loadHint =
        NewLabel(QStringLiteral("Нажмите кнопку  \"Загрузить\" и укажите ключ адинистратора"), cr);
    loadHint->setWordWrap(true);
    crGrid->addWidget(loadHint, 0, 0, 1, 2);
    BtnLoadKey = Named(new QPushButton(CaptionLoad, cr), QStringLiteral("BtnLoadKey"));
    BtnLoadKey->setAutoDefault(false);
    crGrid->addWidget(BtnLoadKey, 0, 2, Qt::AlignRight | Qt::AlignVCenter);
    auto* line = new QFrame(cr);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    crGrid->addWidget(line, 1, 0, 1, 3);
    auto* fillHint =
        NewLabel(QStringLiteral("  Заполните поле \"Вызов\" и нажмите кнопку \"Отклик\""), cr);
    fillHint->setWordWrap(true);
    crGrid->addWidget(fillHint, 2, 0, 1, 3);
    crGrid->addWidget(NewLabel(QStringLiteral("Вызов:"), cr), 3, 0);
    EdCallenge = Named(new TChallengeEdit(cr), QStringLiteral("EdCallenge"));
    EdCallenge->setDragEnabled(false);
    EdCallenge->setAcceptDrops(false);
    EdCallenge->setAttribute(Qt::WA_InputMethodEnabled, false);
    crGrid->addWidget(EdCallenge, 3, 1, 1, 2);
    crGrid->addWidget(NewLabel(QStringLiteral("Отклик:"), cr), 4, 0);
    EdResponse = Named(new QLineEdit(cr), QStringLiteral("EdResponse"));
    EdResponse->setReadOnly(true);
    EdResponse->setMaxLength(24);
    crGrid->addWidget(EdResponse, 4, 1, 1, 2);
    Button1 = Named(new QPushButton(QStringLiteral("Отклик"), cr), QStringLiteral("Button1"));
    Button1->setAutoDefault(false);
    crGrid->addWidget(Button1, 5, 2, Qt::AlignRight);
    crGrid->setColumnStretch(1, 1);
    column->addWidget(cr);

    // PIN reset.
    auto* reset = new QGroupBox(QStringLiteral("Разблокировка смарт-карты"), tab);
    auto* resetGrid = new QGridLayout(reset);
    resetGrid->setContentsMargins(6, 4, 6, 6);
    resetGrid->setHorizontalSpacing(6);
    resetGrid->setVerticalSpacing(4);
    resetGrid->addWidget(NewLabel(QStringLiteral("Устройство:"), reset), 0, 0);
    cbRdrList = Named(new TReaderComboBox(reset), QStringLiteral("cbRdrList"));
    cbRdrList->setEditable(false);
    resetGrid->addWidget(cbRdrList, 0, 1);
    resetGrid->addWidget(NewLabel(QStringLiteral("Новый ПИН-код:"), reset), 1, 0);
    EdNewPin_1 = Named(new QLineEdit(reset), QStringLiteral("EdNewPin_1"));
    resetGrid->addWidget(EdNewPin_1, 1, 1);
    auto* confirm = NewLabel(QStringLiteral("Подтверждение ПИН-кода:"), reset);
    confirm->setWordWrap(true);
    resetGrid->addWidget(confirm, 2, 0);
    edNewPin_2 = Named(new QLineEdit(reset), QStringLiteral("edNewPin_2"));
    resetGrid->addWidget(edNewPin_2, 2, 1);
    for (QLineEdit* pin : {EdNewPin_1, edNewPin_2}) {
        pin->setMaxLength(8);
        pin->setEchoMode(QLineEdit::Password);
        pin->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
        pin->setValidator(new TCp1251Validator(pin));
    }
    BtnUnblOk = Named(new QPushButton(QStringLiteral("Изменить ПИН-код"), reset),
                      QStringLiteral("BtnUnblOk"));
    BtnUnblOk->setAutoDefault(false);
    resetGrid->addWidget(BtnUnblOk, 3, 1, Qt::AlignRight);
    resetGrid->setColumnStretch(1, 1);
    column->addWidget(reset);
    column->addStretch(1);

    connect(BtnLoadKey, &QPushButton::clicked, this, [this] { BtnLoadKeyClick(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(cbRdrList, &TReaderComboBox::DropDown, this, [this] { FillReaderLists(); });
    connect(cbRdrList, &QComboBox::textActivated, this,
            [this](const QString& t) { SelectDevice(t); });
    connect(BtnUnblOk, &QPushButton::clicked, this, [this] { BtnUnblOkClick(); });
    EdCallenge->installEventFilter(this);
    return tab;
}

// ---------------------------------------------------------------------------------------------
// Settings read by the initialization run

QString TFrmMain::PinText() const {
    return EdPIN->text();
}
QString TFrmMain::PukText() const {
    return EdPUK->text();
}
bool TFrmMain::AllowPuk() const {
    return cbAllowPUK->isChecked();
}
bool TFrmMain::UseUnblockKey() const {
    return cbCRKey->isChecked();
}
bool TFrmMain::DublGroupRSA() const {
    return cbDublGroupRSA->isChecked();
}
QString TFrmMain::GroupRSAText() const {
    return edGroupRSA->text();
}
bool TFrmMain::DublGroupDSTU() const {
    return cbDublGroupDSTU->isChecked();
}
QString TFrmMain::GroupDSTUText() const {
    return edGroupDSTU->text();
}
QString TFrmMain::DeviceNameText() const {
    return EdDeviceName->text();
}

// ---------------------------------------------------------------------------------------------
// Message box and device lists

int TFrmMain::ShowMessageBox(const QString& text, MsgType type, int buttons, int /*helpContext*/) {
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

void TFrmMain::FillReaderLists() {
    cbRdrList->clear();
    cbRdrList2->clear();
    QStringList names;
    for (int position = 0;; ++position) {
        const std::string name = FReader->GetReaderName(position);
        if (name.empty())
            break;
        const QString entry = QString::fromStdString(name);
        if (entry != NoDevice)
            names.push_back(entry);
    }
    std::stable_sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    for (TReaderComboBox* list : {cbRdrList2, cbRdrList}) {
        list->addItems(names);
        list->setCurrentIndex(-1);
    }
}

void TFrmMain::SelectDevice(const QString& name) {
    FReader->SelectReader(name.toStdString());
}

// ---------------------------------------------------------------------------------------------
// Enable rules, group numbers and the device name

void TFrmMain::cbAllowPUKClick() {
    Label3->setEnabled(!OwnEnabled(Label3));
    EdPUK->setEnabled(!OwnEnabled(EdPUK));
}

void TFrmMain::cbCRKeyChange() {
    const bool on = cbCRKey->isChecked();
    Label4->setEnabled(on);
    BtnLoad->setEnabled(on);
    BtnGenerate->setEnabled(on);
}

void TFrmMain::cbDublGroupRSAClick() {
    lblGroupRSA->setEnabled(cbDublGroupRSA->isChecked());
    edGroupRSA->setEnabled(cbDublGroupRSA->isChecked());
}

void TFrmMain::cbDublGroupDSTUClick() {
    lblGroupDSTU->setEnabled(cbDublGroupDSTU->isChecked());
    edGroupDSTU->setEnabled(cbDublGroupDSTU->isChecked());
}

void TFrmMain::RefillGroupKey(std::array<std::uint8_t, 32>& key, bool& made) {
    made = FillRandom(key.data(), key.size());
}

void TFrmMain::edGroupRSAChange() {
    RefillGroupKey(FGroupKeyRSA, FGroupKeyRSAMade);
}

void TFrmMain::edGroupDSTUChange() {
    RefillGroupKey(FGroupKeyDSTU, FGroupKeyDSTUMade);
}

void TFrmMain::edGroupExit(QLineEdit* field) {
    const QString text = field->text();
    if (!(text.isEmpty() || text == QLatin1String("0") || text == QLatin1String("00")))
        return;
    if (FCheckingGroup)
        return;
    FCheckingGroup = true;
    ShowMessageBox(QStringLiteral("№ группы не может быть пустым или 0"), MsgType::Warning, mbOK);
    field->clear();
    field->setFocus(Qt::OtherFocusReason);
    FCheckingGroup = false;
}

void TFrmMain::EdDeviceNameEnter() {
    if (EdDeviceName->text() == NoDevice)
        EdDeviceName->clear();
}

void TFrmMain::EdDeviceNameExit() {
    if (EdDeviceName->text().isEmpty())
        EdDeviceName->setText(NoDevice);
}

bool TFrmMain::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == EdCallenge && type == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (EdCallengeKeyDown(key->key(), key->modifiers()))
            return true;
        if (key->matches(QKeySequence::Paste) || key->matches(QKeySequence::Copy) ||
            key->matches(QKeySequence::Cut))
            return true;
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)
            return false;
        const Qt::KeyboardModifiers chord =
            key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
        if (key->key() == Qt::Key_Backspace)
            return chord ? true : EdCallengeKeyPress(QChar(8));
        const QString text = key->text();
        if (text.isEmpty())
            return false; // arrows, Home, End and the like: the field's own handling
        if (chord)
            return true; // control characters are discarded
        for (QChar ch : text)
            EdCallengeKeyPress(ch);
        return true;
    }
    if ((watched == edGroupRSA || watched == edGroupDSTU) && type == QEvent::FocusOut &&
        IsFieldFocusMove(event)) {
        edGroupExit(static_cast<QLineEdit*>(watched));
        return false;
    }
    if (watched == EdDeviceName && type == QEvent::FocusIn && IsFieldFocusMove(event))
        EdDeviceNameEnter();
    else if (watched == EdDeviceName && type == QEvent::FocusOut && IsFieldFocusMove(event))
        EdDeviceNameExit();
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------
// Initialization button

bool TFrmMain::EnsureGroupKeys() {
    // A group key is made again here when the system's random source failed when it was due;
    // a key from the counter alone is never put on a token.
    if (!FGroupKeyRSAMade)
        RefillGroupKey(FGroupKeyRSA, FGroupKeyRSAMade);
    if (!FGroupKeyDSTUMade)
        RefillGroupKey(FGroupKeyDSTU, FGroupKeyDSTUMade);
    return FGroupKeyRSAMade && FGroupKeyDSTUMade;
}

void TFrmMain::BtnInitClick() {
    if (EdPIN->text().size() < 4) {
        ShowMessageBox(QStringLiteral("Поле ПИН-код не может быть меньше 4 символов"),
                       MsgType::Warning, mbOK);
        EdPIN->setFocus();
        return;
    }
    if (EdPUK->text().size() < 4 && cbAllowPUK->isChecked()) {
        ShowMessageBox(QStringLiteral("Поле ПАК-код не может быть меньше 4 символов"),
                       MsgType::Warning, mbOK);
        EdPUK->setFocus();
        return;
    }
    if (!FMarkBtnLoad && cbCRKey->isChecked()) {
        if (ShowMessageBox(QStringLiteral("Ключ разблокировки не был загружен. Игнорировать?"),
                           MsgType::Information, mbYes | mbNo) != mbYes)
            return;
        cbCRKey->setChecked(false);
    }
    QString blocked;
    if (EdPUK->text().isEmpty() || !cbAllowPUK->isChecked())
        blocked += QStringLiteral("ПАК-код; ");
    if (!cbCRKey->isChecked())
        blocked += QStringLiteral("Разблокировка C/R; ");
    if (!cbDublGroupRSA->isChecked())
        blocked += QStringLiteral("Дублирование RSA; ");
    if (!cbDublGroupDSTU->isChecked())
        blocked += QStringLiteral("Дублирование ДСТУ; ");
    if (!blocked.isEmpty()) {
        blocked[blocked.size() - 2] = u'.';
        const QString text = QStringLiteral("Некоторые поля не были заполнены. Следующие "
                                            "параметры будут заблокированы:") +
                             u'\r' + blocked + u'\r' + QStringLiteral("Продолжить?");
        if (ShowMessageBox(text, MsgType::Information, mbYes | mbNo) != mbYes)
            return;
    }
    if (FReader->Reader.empty()) {
        ShowMessageBox(MsgNoDevice, MsgType::Warning, mbOK);
        return;
    }
    if (!EnsureGroupKeys()) {
        ShowMessageBox(MsgRandomFailed, MsgType::Error, mbOK);
        return;
    }
    if (FInitRunner)
        FInitRunner->RunInitialization(FReader->Reader);
    EmptySecretField(EdPIN);
    EmptySecretField(EdPUK);
    MessageRequest done;
    done.owner = this;
    done.title = QStringLiteral("Information");
    done.text = QStringLiteral("Инициализация закончена");
    done.type = MsgType::Information;
    done.buttons = mbOK;
    Dialogs().Message(done);
}

// ---------------------------------------------------------------------------------------------
// Unblock key and key file

bool TFrmMain::IsKeyLoaded(TKeyMark mark) const {
    return mark == TKeyMark::BtnLoad ? FMarkBtnLoad : FMarkBtnLoadKey;
}

void TFrmMain::SetLoadMark(TKeyMark mark) {
    QPushButton* button = mark == TKeyMark::BtnLoad ? BtnLoad : BtnLoadKey;
    (mark == TKeyMark::BtnLoad ? FMarkBtnLoad : FMarkBtnLoadKey) = true;
    QFont f = button->font();
    f.setBold(true);
    button->setFont(f);
    button->setText(CaptionLoaded);
}

void TFrmMain::LoadUnblockKey(TKeyMark mark) {
    const QString path = Dialogs().OpenFileName(this, KeyFilter);
    if (path.isEmpty())
        return;
    const QString cannotOpen =
        QStringLiteral("Не могу загрузить файл. Закройте приложения, которые могут его "
                       "использовать и повторите попытку");
    const QString wrongSize = QStringLiteral("Файл имеет неправильный размер. Удо") + u'c' +
                              QStringLiteral("товерьтесь в целосности файла ключа");

    // Non-blocking open so that a FIFO or a device cannot hang the window; only a regular file
    // can be a key file.
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        ShowMessageBox(cannotOpen, MsgType::Warning, mbOK);
        return;
    }
    std::array<std::uint8_t, KeyFileSize> buffer{};
    std::size_t got = 0;
    bool readFailed = false;
    if (st.st_size == KeyFileSize) {
        while (got < buffer.size()) {
            const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                readFailed = true;
                break;
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    if (readFailed) {
        WipeBytes(buffer.data(), buffer.size());
        ShowMessageBox(cannotOpen, MsgType::Warning, mbOK);
        return;
    }
    if (st.st_size != KeyFileSize || got != buffer.size()) {
        WipeBytes(buffer.data(), buffer.size());
        ShowMessageBox(wrongSize, MsgType::Error, mbOK);
        return;
    }
    FUnblockKey = buffer;
    WipeBytes(buffer.data(), buffer.size());
    SetLoadMark(mark);
    ShowMessageBox(QStringLiteral("Ключ загружен"), MsgType::Information, mbOK);
}

void TFrmMain::GenerateUnblockKey() {
    const QString chosen = Dialogs().SaveFileName(this, KeyFilter);
    if (chosen.isEmpty())
        return;
    std::array<std::uint8_t, 16> key{};
    if (!FillRandom(key.data(), key.size())) {
        WipeBytes(key.data(), key.size());
        ShowMessageBox(MsgRandomFailed, MsgType::Error, mbOK);
        return;
    }
    // The new key comes into force only once its file is complete: a key that exists in no
    // file could be put on tokens and never be found again.
    const QString path = chosen + QStringLiteral(".key");
    QSaveFile file(path);
    // Unbuffered: the key bytes go straight to the file and leave no copy in a write buffer.
    bool saved = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (saved)
        saved = file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (saved)
        saved = file.write(reinterpret_cast<const char*>(key.data()), key.size()) ==
                static_cast<qint64>(key.size());
    if (saved)
        saved = file.commit();
    else
        file.cancelWriting();
    if (!saved) {
        WipeBytes(key.data(), key.size());
        ShowMessageBox(QStringLiteral("Can't create file ") + path, MsgType::Error, mbOK);
        return;
    }
    FUnblockKey = key;
    WipeBytes(key.data(), key.size());
    SetLoadMark(TKeyMark::BtnLoad);
}

// ---------------------------------------------------------------------------------------------
// Challenge-response

bool TFrmMain::EdCallengeKeyDown(int key, Qt::KeyboardModifiers /*modifiers*/) {
    if (key == Qt::Key_Insert)
        return true;
    if (key != Qt::Key_Delete)
        return false;
    const int pos = EdCallenge->cursorPosition();
    QString text = EdCallenge->text();
    if (pos % 3 == 2)
        text.remove(pos, 2);
    else if (pos < text.size())
        text.remove(pos, 1);
    text = GroupHexPairs(text);
    EdCallenge->setText(text);
    EdCallenge->setCursorPosition(std::min(pos + 1, static_cast<int>(text.size())));
    return true;
}

bool TFrmMain::EdCallengeKeyPress(QChar ch) {
    const QString old = EdCallenge->text();
    if (ch == QChar(8)) {
        const int pos = EdCallenge->cursorPosition();
        QString text = old;
        if (pos > 0) {
            if (pos % 3 == 0)
                text.remove(pos - 2, 2);
            else
                text.remove(pos - 1, 1);
        }
        text = GroupHexPairs(text);
        EdCallenge->setText(text);
        EdCallenge->setCursorPosition(std::max(pos - 1, 0));
        return true;
    }
    const QChar upper = ch.toUpper();
    if (!IsUpperHexDigit(upper) || (ch.unicode() > 0x7F))
        return true;
    const QString text = GroupHexPairs(old + upper);
    EdCallenge->setText(text);
    EdCallenge->setCursorPosition(static_cast<int>(text.size()));
    return true;
}

void TFrmMain::Button1Click() {
    if (!IsChallengeValid(EdCallenge->text())) {
        ShowMessageBox(QStringLiteral("Поле \"Вызов\" имеет недопустимый формат. Проверьте "
                                      "правильность введенных данных"),
                       MsgType::Warning, mbOK);
        return;
    }
    if (!FMarkBtnLoadKey) {
        if (ShowMessageBox(QStringLiteral("Ключ для инициализации CR не загружен. Загрузить?"),
                           MsgType::Warning, mbYes | mbNo) == mbYes)
            LoadUnblockKey(TKeyMark::BtnLoadKey);
        return;
    }
    const QString challenge = Trim(EdCallenge->text());
    TSecretBytes block{ParseChallenge(challenge, static_cast<int>(challenge.size()))};
    TTripleDes cipher(FUnblockKey.data());
    cipher.EncryptECB(block.data.data(), 8);
    EdResponse->setText(FormatResponse(block.data.data(), 8));
}

// ---------------------------------------------------------------------------------------------
// PIN reset

void TFrmMain::BtnUnblOkClick() {
    if (!FMarkBtnLoad) {
        if (ShowMessageBox(
                QStringLiteral("Для продолжения необходим ключ разблокировки. Загрузить ключ?"),
                MsgType::Warning, mbYes | mbNo) == mbYes)
            LoadUnblockKey(TKeyMark::BtnLoad);
        return;
    }
    if (EdNewPin_1->text() != edNewPin_2->text()) {
        ShowMessageBox(
            QStringLiteral(
                "Новый ПИН-код не совпадает с повторным вводом\r\nПовторите, пожалуйста"),
            MsgType::Error, mbOK);
        EmptySecretField(EdNewPin_1);
        EmptySecretField(edNewPin_2);
        EdNewPin_1->setFocus();
        return;
    }
    if (FReader->Reader.empty()) {
        ShowMessageBox(MsgNoDevice, MsgType::Warning, mbOK);
        return;
    }
    ResetPin();
}

bool TFrmMain::ResetPin() {
    TCCReader& reader = *FReader;
    // Every stop after the connect lets the token go: the exclusive session resets it, so an
    // authentication gained here never outlives this click.
    auto stop = [&](const QString& text, MsgType type) {
        reader.Disconnect();
        ShowMessageBox(text, type, mbOK);
        return false;
    };
    const QString cardError =
        QStringLiteral("Ошибка смарт-карты. Возможно загружен неверный ключ разблокировки");

    if (!reader.ConnectCard())
        return stop(QStringLiteral("Смарт-карта не отвечает"), MsgType::Warning);

    Bytes response;
    if (!reader.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, response))
        return stop(QStringLiteral("Тип смарт-карты не опознан"), MsgType::Warning);

    TSecretBytes challenge;
    if (!reader.Transmit({0x00, 0x84, 0x00, 0x00, 0x08}, challenge.data) ||
        challenge.data.size() < 8)
        return stop(cardError, MsgType::Warning);

    TSecretBytes authenticate{Bytes(13, 0)};
    const std::uint8_t header[5] = {0x00, 0x82, 0x00, REF_UNBLOCK_KEY, 0x08};
    std::copy(std::begin(header), std::end(header), authenticate.data.begin());
    std::copy_n(challenge.data.begin(), 8, authenticate.data.begin() + 5);
    {
        TTripleDes cipher(FUnblockKey.data());
        cipher.EncryptECB(authenticate.data.data() + 5, 8);
    }
    if (!reader.Transmit(authenticate.data, response))
        return stop(cardError, MsgType::Warning);

    const QString pinError = QStringLiteral("Ошибка смены ПИН-кода");
    std::optional<Bytes> pin = ToCp1251(EdNewPin_1->text());
    if (!pin)
        return stop(pinError, MsgType::Error);
    TSecretBytes newPin{std::move(*pin)};
    if (!reader.StorePin(REF_PIN, newPin.data, 0x77))
        return stop(pinError, MsgType::Error);

    ShowMessageBox(QStringLiteral("ПИН-код успешно изменен"), MsgType::Information, mbOK);
    EmptySecretField(EdNewPin_1);
    EmptySecretField(edNewPin_2);
    reader.Disconnect();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Menu

void TFrmMain::N2Click() {
    close();
}

void TFrmMain::N7Click() {
    if (OKRightDlg)
        OKRightDlg->exec();
}

void TFrmMain::N8Click() {
    if (HelpFrm)
        HelpFrm->ShowInstruction();
}
