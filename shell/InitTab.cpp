#include "InitTab.h"

#include "FormControls.h"
#include "ReaderComboBox.h"
#include "UnblockKeyFiles.h"
#include "engine/RunTexts.h"
#include "engine/StationTexts.h"
#include "station/StationWindow.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <iterator>

namespace {

const QString kGroupHint =
    QStringLiteral("Внимание! При смене № группы, сеансовый ключ  будет перегенерирован.");

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

} // namespace

InitTab::InitTab(SharedKeys& keys, UnblockKeyFiles& keyFiles, TokenSession& reader, QWidget* parent)
    : QWidget(parent), keys_(keys), keyFiles_(keyFiles), reader_(reader) {
    setObjectName(QStringLiteral("TabSheet1"));
    CreateControls();
    ConnectControls();
    ShowKeyCheck();
}

void InitTab::CreateControls() {
    // Margins and spacings are tight enough that "Ключ разблокировки:" and both key buttons keep
    // their whole text in the window's designed width.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(3, 6, 3, 4);
    column->setSpacing(3);

    // Device.
    auto* deviceRow = new QHBoxLayout;
    deviceRow->addWidget(NewLabel(QStringLiteral("Устройство:"), this));
    deviceList_ = Named(new ReaderComboBox(this), QStringLiteral("cbRdrList2"));
    deviceRow->addWidget(deviceList_, 1);
    column->addLayout(deviceRow);

    // Initialization parameters.
    const auto [paramsBox, params] =
        NewCaptionedGroup(QStringLiteral("Параметры инициализации "), this);
    auto* grid = new QGridLayout(params);
    grid->setContentsMargins(3, 4, 3, 6);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(2);
    grid->addWidget(NewLabel(QStringLiteral("ПИН-код:"), params), 0, 0);
    pinEdit_ = Named(new QLineEdit(params), QStringLiteral("EdPIN"));
    pinEdit_->setMaxLength(8);
    pinEdit_->setValidator(new Cp1251Validator(pinEdit_));
    grid->addWidget(pinEdit_, 0, 1);

    pukLabel_ = NewLabel(QStringLiteral("ПАК-код:"), params, QStringLiteral("Label3"));
    pukLabel_->setEnabled(false);
    grid->addWidget(pukLabel_, 1, 0);
    pukEdit_ = Named(new QLineEdit(params), QStringLiteral("EdPUK"));
    pukEdit_->setMaxLength(8);
    pukEdit_->setValidator(new Cp1251Validator(pukEdit_));
    pukEdit_->setEnabled(false);
    grid->addWidget(pukEdit_, 1, 1);
    allowPukBox_ =
        Named(new QCheckBox(QStringLiteral("Разрешить"), params), QStringLiteral("cbAllowPUK"));
    grid->addWidget(allowPukBox_, 1, 2);

    useKeyBox_ = Named(new QCheckBox(QStringLiteral("Использовать ключ разблокировки"), params),
                       QStringLiteral("cbCRKey"));
    grid->addWidget(useKeyBox_, 2, 0, 1, 3);

    keyLabel_ = NewLabel(QStringLiteral("Ключ разблокировки:"), params, QStringLiteral("Label4"));
    keyLabel_->setWordWrap(true);
    keyLabel_->setEnabled(false);
    grid->addWidget(keyLabel_, 3, 0);
    loadKeyButton_ =
        Named(new QPushButton(QStringLiteral("Загрузить"), params), QStringLiteral("BtnLoad"));
    loadKeyButton_->setEnabled(false);
    loadKeyButton_->setAutoDefault(false);
    PressOnEnter(loadKeyButton_);
    generateKeyButton_ = Named(new QPushButton(QStringLiteral("Сгенерировать"), params),
                               QStringLiteral("BtnGenerate"));
    generateKeyButton_->setEnabled(false);
    generateKeyButton_->setAutoDefault(false);
    PressOnEnter(generateKeyButton_);
    auto* keyButtons = new QHBoxLayout;
    keyButtons->setSpacing(3);
    keyButtons->addWidget(loadKeyButton_);
    keyButtons->addWidget(generateKeyButton_);
    grid->addLayout(keyButtons, 3, 1, 1, 2);
    keyCheckLabel_ = NewLabel(QString(), params, QStringLiteral("LblKcv"));
    grid->addWidget(keyCheckLabel_, 4, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    column->addWidget(paramsBox);

    // Device name.
    const auto [nameBox, nameArea] = NewCaptionedGroup(QStringLiteral("Имя устройства "), this);
    auto* nameLayout = new QVBoxLayout(nameArea);
    nameLayout->setContentsMargins(6, 4, 6, 6);
    deviceNameEdit_ =
        Named(new QLineEdit(ReaderComboBox::kNone, nameArea), QStringLiteral("EdDeviceName"));
    deviceNameEdit_->setMaxLength(32);
    nameLayout->addWidget(deviceNameEdit_);
    column->addWidget(nameBox);

    // Duplication groups.
    const auto [groupsBox, groups] =
        NewCaptionedGroup(QStringLiteral("Установка группы дублирования "), this);
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
        edit->setToolTip(kGroupHint);
        edit->setEnabled(false);
        edit->setFixedWidth(40);
        groupGrid->addWidget(edit, row + 1, 1);
    };
    addGroup(0, QStringLiteral("Создать группу для ключей RSA"), QStringLiteral("cbDublGroupRSA"),
             QStringLiteral("lblGroupRSA"), QStringLiteral("edGroupRSA"), rsaGroupBox_,
             rsaGroupLabel_, rsaGroupEdit_);
    addGroup(2, QStringLiteral("Создать группу для ключей ДСТУ"), QStringLiteral("cbDublGroupDSTU"),
             QStringLiteral("lblGroupDSTU"), QStringLiteral("edGroupDSTU"), dstuGroupBox_,
             dstuGroupLabel_, dstuGroupEdit_);
    groupGrid->setColumnStretch(2, 1);
    column->addWidget(groupsBox);

    column->addStretch(1);
    auto* buttonRow = new QHBoxLayout;
    readCardNumberBox_ = Named(new QCheckBox(QStringLiteral("Номер карты в журнал"), this),
                               QStringLiteral("cbReadCardNumber"));
    readCardNumberBox_->setToolTip(QStringLiteral(
        "Спрашивать номер у каждой смарт-карты, чтобы он был в её строке журнала инициализации"));
    buttonRow->addWidget(readCardNumberBox_);
    buttonRow->addStretch(1);
    initButton_ =
        Named(new QPushButton(QStringLiteral("Инициализация"), this), QStringLiteral("BtnInit"));
    initButton_->setAutoDefault(false);
    PressOnEnter(initButton_);
    buttonRow->addWidget(initButton_);
    column->addLayout(buttonRow);

    // Keyboard order of the tab.
    QWidget* order[] = {deviceList_,     initButton_,  pinEdit_,       allowPukBox_,
                        pukEdit_,        useKeyBox_,   loadKeyButton_, generateKeyButton_,
                        deviceNameEdit_, rsaGroupBox_, rsaGroupEdit_,  dstuGroupBox_,
                        dstuGroupEdit_};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}

void InitTab::ConnectControls() {
    connect(deviceList_, &ReaderComboBox::DropDown, this, &InitTab::readerListOpening);
    connect(deviceList_, &QComboBox::textActivated, this, [this](const QString& name) {
        // The entry after the readers starts a run on every reader at once.
        allReaders_ = allReadersEntry_ >= 0 && deviceList_->currentIndex() == allReadersEntry_;
        if (!allReaders_)
            reader_.SelectReader(name.toStdString());
    });
    connect(allowPukBox_, &QCheckBox::clicked, this, [this] { TogglePukField(); });
    connect(useKeyBox_, &QCheckBox::toggled, this, [this] { UpdateKeyButtons(); });
    connect(rsaGroupBox_, &QCheckBox::toggled, this,
            [this] { UpdateGroupField(rsaGroupBox_, rsaGroupLabel_, rsaGroupEdit_); });
    connect(dstuGroupBox_, &QCheckBox::toggled, this,
            [this] { UpdateGroupField(dstuGroupBox_, dstuGroupLabel_, dstuGroupEdit_); });
    connect(rsaGroupEdit_, &QLineEdit::textChanged, &keys_, &SharedKeys::RenewRsaGroupKey);
    connect(dstuGroupEdit_, &QLineEdit::textChanged, &keys_, &SharedKeys::RenewDstuGroupKey);
    connect(loadKeyButton_, &QPushButton::clicked, this,
            [this] { keyFiles_.Load(KeyMark::Initialization); });
    connect(generateKeyButton_, &QPushButton::clicked, this, [this] { keyFiles_.Generate(); });
    connect(initButton_, &QPushButton::clicked, this, [this] { StartInitialization(); });
    connect(&keys_, &SharedKeys::unblockKeyChanged, this, &InitTab::ShowKey);
    rsaGroupEdit_->installEventFilter(this);
    dstuGroupEdit_->installEventFilter(this);
    deviceNameEdit_->installEventFilter(this);
}

void InitTab::SetReaders(const QStringList& names) {
    deviceList_->SetReaders(names);
    allReaders_ = false;
    allReadersEntry_ = -1;
    // With several readers attached, one more entry runs them all at once.
    if (names.size() >= 2) {
        allReadersEntry_ = deviceList_->count();
        deviceList_->addItem(QStringLiteral("%1 (%2)")
                                 .arg(QString::fromUtf8(station_text::kAllReaders))
                                 .arg(names.size()));
        deviceList_->setCurrentIndex(-1);
    }
}

void InitTab::StartStation() {
    // Every reader attached, and those plugged in while the run goes on; the window reads the
    // settings when its run starts, and the PIN and PUK fields are emptied once it has ended.
    auto* station = new StationWindow(*this, QStringList(), window());
    station->setAttribute(Qt::WA_DeleteOnClose);
    station->setWindowModality(Qt::ApplicationModal);
    connect(station, &StationWindow::RunFinished, this, [this] {
        EmptySecretField(pinEdit_);
        EmptySecretField(pukEdit_);
    });
    station->Start();
}

void InitTab::ShowKeyCheck() {
    const QString text = keys_.KeyCheckText();
    keyCheckLabel_->setText(text);
    loadKeyButton_->setToolTip(text);
}

void InitTab::ShowKey(KeyMark mark) {
    if (mark == KeyMark::Initialization)
        ShowKeyLoaded(loadKeyButton_);
    ShowKeyCheck();
}

int InitTab::Tell(const QString& text, MsgType type, int buttons) {
    return WindowMessage(this, text, type, buttons);
}

// ---------------------------------------------------------------------------------------------
// Enable rules, group numbers and the device name

void InitTab::TogglePukField() {
    pukLabel_->setEnabled(!OwnEnabled(pukLabel_));
    pukEdit_->setEnabled(!OwnEnabled(pukEdit_));
}

void InitTab::UpdateKeyButtons() {
    const bool on = useKeyBox_->isChecked();
    keyLabel_->setEnabled(on);
    loadKeyButton_->setEnabled(on);
    generateKeyButton_->setEnabled(on);
}

void InitTab::UpdateGroupField(QCheckBox* box, QLabel* label, QLineEdit* field) {
    label->setEnabled(box->isChecked());
    field->setEnabled(box->isChecked());
}

bool InitTab::IsBadGroupNumber(const QString& text) {
    return text.isEmpty() || text == QLatin1String("0") || text == QLatin1String("00");
}

bool InitTab::RefuseLeavingTab() {
    QLineEdit* field = focusedGroupField_;
    if (field == nullptr || !field->isEnabled() || !IsBadGroupNumber(field->text()))
        return false;
    CheckGroupNumber(field);
    return true;
}

void InitTab::CheckGroupNumber(QLineEdit* field) {
    if (!IsBadGroupNumber(field->text()))
        return;
    if (checkingGroup_)
        return;
    checkingGroup_ = true;
    Tell(QStringLiteral("№ группы не может быть пустым или 0"), MsgType::Warning, mbOK);
    field->clear();
    field->setFocus(Qt::OtherFocusReason);
    checkingGroup_ = false;
}

void InitTab::ClearNoNamePlaceholder() {
    if (deviceNameEdit_->text() == ReaderComboBox::kNone)
        deviceNameEdit_->clear();
}

void InitTab::RestoreNoNamePlaceholder() {
    if (deviceNameEdit_->text().isEmpty())
        deviceNameEdit_->setText(ReaderComboBox::kNone);
}

bool InitTab::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == rsaGroupEdit_ || watched == dstuGroupEdit_) {
        auto* field = static_cast<QLineEdit*>(watched);
        if (type == QEvent::FocusIn) {
            focusedGroupField_ = field;
        } else if (type == QEvent::FocusOut && IsFieldFocusMove(event)) {
            focusedGroupField_ = nullptr;
            CheckGroupNumber(field);
        }
        return false;
    }
    if (watched == deviceNameEdit_ && type == QEvent::FocusIn && IsFieldFocusMove(event))
        ClearNoNamePlaceholder();
    else if (watched == deviceNameEdit_ && type == QEvent::FocusOut && IsFieldFocusMove(event))
        RestoreNoNamePlaceholder();
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------
// What the run reads

std::string InitTab::PinText() const {
    return pinEdit_->text().toStdString();
}
std::string InitTab::PukText() const {
    return pukEdit_->text().toStdString();
}
bool InitTab::AllowPuk() const {
    return allowPukBox_->isChecked();
}
bool InitTab::UseUnblockKey() const {
    return useKeyBox_->isChecked();
}
bool InitTab::DublGroupRSA() const {
    return rsaGroupBox_->isChecked();
}
std::string InitTab::GroupRSAText() const {
    return rsaGroupEdit_->text().toStdString();
}
bool InitTab::DublGroupDSTU() const {
    return dstuGroupBox_->isChecked();
}
std::string InitTab::GroupDSTUText() const {
    return dstuGroupEdit_->text().toStdString();
}
std::string InitTab::DeviceNameText() const {
    return deviceNameEdit_->text().toStdString();
}
bool InitTab::ReadCardNumber() const {
    return readCardNumberBox_->isChecked();
}

// ---------------------------------------------------------------------------------------------
// Initialization button

void InitTab::StartInitialization() {
    if (pinEdit_->text().size() < 4) {
        Tell(QStringLiteral("Поле ПИН-код не может быть меньше 4 символов"), MsgType::Warning,
             mbOK);
        pinEdit_->setFocus();
        return;
    }
    if (pukEdit_->text().size() < 4 && allowPukBox_->isChecked()) {
        Tell(QStringLiteral("Поле ПАК-код не может быть меньше 4 символов"), MsgType::Warning,
             mbOK);
        pukEdit_->setFocus();
        return;
    }
    if (!keys_.IsLoaded(KeyMark::Initialization) && useKeyBox_->isChecked()) {
        if (Tell(QString::fromUtf8(kKeyNotLoadedQuestion), MsgType::Information, mbYes | mbNo) !=
            mbYes)
            return;
        useKeyBox_->setChecked(false);
    }
    const std::string blocked = BlockedOptions(
        !pukEdit_->text().isEmpty() && allowPukBox_->isChecked(), useKeyBox_->isChecked(),
        rsaGroupBox_->isChecked(), dstuGroupBox_->isChecked());
    if (!blocked.empty()) {
        const QString text = QString::fromUtf8(run_text::kBlockedIntro) + u'\r' +
                             QString::fromStdString(blocked) + u'\r' +
                             QString::fromUtf8(run_text::kContinue);
        if (Tell(text, MsgType::Information, mbYes | mbNo) != mbYes)
            return;
    }
    const std::string reader = reader_.Reader;
    if (reader.empty() && !allReaders_) {
        Tell(ReaderComboBox::kNoneChosen, MsgType::Warning, mbOK);
        return;
    }
    if (!keys_.EnsureGroupKeys()) {
        Tell(UnblockKeyFiles::kRandomFailed, MsgType::Error, mbOK);
        return;
    }
    if (allReaders_) {
        StartStation();
        return;
    }
    IInitRunner* runner = runner_ ? runner_() : nullptr;
    if (runner && !runner->RunInitialization(reader))
        return; // the reader is held by another run or PIN reset: nothing was done
    EmptySecretField(pinEdit_);
    EmptySecretField(pukEdit_);
    MessageRequest done;
    done.owner = window(); // the main window that holds this tab
    done.title = QStringLiteral("Information");
    done.text = QString::fromUtf8(run_text::kRunEnded);
    done.type = MsgType::Information;
    done.buttons = mbOK;
    Dialogs().Message(done);
}
