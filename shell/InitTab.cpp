#include "InitTab.h"

#include "FormControls.h"
#include "ReaderComboBox.h"
#include "TabHost.h"
#include "engine/RunTexts.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString GroupHint =
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

InitTab::InitTab(TabHost& window) : window_(window) {
    setObjectName(QStringLiteral("TabSheet1"));
    CreateControls();
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
    cbRdrList2 = Named(new ReaderComboBox(this), QStringLiteral("cbRdrList2"));
    deviceRow->addWidget(cbRdrList2, 1);
    column->addLayout(deviceRow);

    // Initialization parameters.
    auto* params = new QGroupBox(QStringLiteral("Параметры инициализации "), this);
    auto* grid = new QGridLayout(params);
    grid->setContentsMargins(3, 4, 3, 6);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(2);
    grid->addWidget(NewLabel(QStringLiteral("ПИН-код:"), params), 0, 0);
    EdPIN = Named(new QLineEdit(params), QStringLiteral("EdPIN"));
    EdPIN->setMaxLength(8);
    EdPIN->setValidator(new Cp1251Validator(EdPIN));
    grid->addWidget(EdPIN, 0, 1);

    Label3 = NewLabel(QStringLiteral("ПАК-код:"), params, QStringLiteral("Label3"));
    Label3->setEnabled(false);
    grid->addWidget(Label3, 1, 0);
    EdPUK = Named(new QLineEdit(params), QStringLiteral("EdPUK"));
    EdPUK->setMaxLength(8);
    EdPUK->setValidator(new Cp1251Validator(EdPUK));
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
    BtnLoad =
        Named(new QPushButton(QStringLiteral("Загрузить"), params), QStringLiteral("BtnLoad"));
    BtnLoad->setEnabled(false);
    BtnLoad->setAutoDefault(false);
    PressOnEnter(BtnLoad);
    BtnGenerate = Named(new QPushButton(QStringLiteral("Сгенерировать"), params),
                        QStringLiteral("BtnGenerate"));
    BtnGenerate->setEnabled(false);
    BtnGenerate->setAutoDefault(false);
    PressOnEnter(BtnGenerate);
    auto* keyButtons = new QHBoxLayout;
    keyButtons->setSpacing(3);
    keyButtons->addWidget(BtnLoad);
    keyButtons->addWidget(BtnGenerate);
    grid->addLayout(keyButtons, 3, 1, 1, 2);
    LblKcv = NewLabel(QString(), params, QStringLiteral("LblKcv"));
    grid->addWidget(LblKcv, 4, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    column->addWidget(params);

    // Device name.
    auto* nameBox = new QGroupBox(QStringLiteral("Имя устройства "), this);
    auto* nameLayout = new QVBoxLayout(nameBox);
    nameLayout->setContentsMargins(6, 4, 6, 6);
    EdDeviceName = Named(new QLineEdit(TabHost::NoDevice, nameBox), QStringLiteral("EdDeviceName"));
    EdDeviceName->setMaxLength(32);
    nameLayout->addWidget(EdDeviceName);
    column->addWidget(nameBox);

    // Duplication groups.
    auto* groups = new QGroupBox(QStringLiteral("Установка группы дублирования "), this);
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
    cbReadCardNumber = Named(new QCheckBox(QStringLiteral("Номер карты в журнал"), this),
                             QStringLiteral("cbReadCardNumber"));
    cbReadCardNumber->setToolTip(QStringLiteral(
        "Спрашивать номер у каждой смарт-карты, чтобы он был в её строке журнала инициализации"));
    buttonRow->addWidget(cbReadCardNumber);
    buttonRow->addStretch(1);
    BtnInit =
        Named(new QPushButton(QStringLiteral("Инициализация"), this), QStringLiteral("BtnInit"));
    BtnInit->setAutoDefault(false);
    PressOnEnter(BtnInit);
    buttonRow->addWidget(BtnInit);
    column->addLayout(buttonRow);

    connect(cbRdrList2, &ReaderComboBox::DropDown, this, [this] { window_.FillReaderLists(); });
    connect(cbRdrList2, &QComboBox::textActivated, this,
            [this](const QString& t) { window_.SelectDevice(t); });
    connect(cbAllowPUK, &QCheckBox::clicked, this, [this] { TogglePukField(); });
    connect(cbCRKey, &QCheckBox::toggled, this, [this] { UpdateKeyButtons(); });
    connect(cbDublGroupRSA, &QCheckBox::toggled, this, [this] { UpdateRsaGroupField(); });
    connect(cbDublGroupDSTU, &QCheckBox::toggled, this, [this] { UpdateDstuGroupField(); });
    connect(edGroupRSA, &QLineEdit::textChanged, this, [this] { window_.RenewRsaGroupKey(); });
    connect(edGroupDSTU, &QLineEdit::textChanged, this, [this] { window_.RenewDstuGroupKey(); });
    connect(BtnLoad, &QPushButton::clicked, this,
            [this] { window_.LoadUnblockKey(KeyMark::BtnLoad); });
    connect(BtnGenerate, &QPushButton::clicked, this, [this] { window_.GenerateUnblockKey(); });
    connect(BtnInit, &QPushButton::clicked, this, [this] { StartInitialization(); });
    edGroupRSA->installEventFilter(this);
    edGroupDSTU->installEventFilter(this);
    EdDeviceName->installEventFilter(this);
}

// ---------------------------------------------------------------------------------------------
// Enable rules, group numbers and the device name

void InitTab::TogglePukField() {
    Label3->setEnabled(!OwnEnabled(Label3));
    EdPUK->setEnabled(!OwnEnabled(EdPUK));
}

void InitTab::UpdateKeyButtons() {
    const bool on = cbCRKey->isChecked();
    Label4->setEnabled(on);
    BtnLoad->setEnabled(on);
    BtnGenerate->setEnabled(on);
}

void InitTab::UpdateRsaGroupField() {
    lblGroupRSA->setEnabled(cbDublGroupRSA->isChecked());
    edGroupRSA->setEnabled(cbDublGroupRSA->isChecked());
}

void InitTab::UpdateDstuGroupField() {
    lblGroupDSTU->setEnabled(cbDublGroupDSTU->isChecked());
    edGroupDSTU->setEnabled(cbDublGroupDSTU->isChecked());
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
    window_.ShowMessageBox(QStringLiteral("№ группы не может быть пустым или 0"), MsgType::Warning,
                           mbOK);
    field->clear();
    field->setFocus(Qt::OtherFocusReason);
    checkingGroup_ = false;
}

void InitTab::ClearNoNamePlaceholder() {
    if (EdDeviceName->text() == TabHost::NoDevice)
        EdDeviceName->clear();
}

void InitTab::RestoreNoNamePlaceholder() {
    if (EdDeviceName->text().isEmpty())
        EdDeviceName->setText(TabHost::NoDevice);
}

bool InitTab::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == edGroupRSA || watched == edGroupDSTU) {
        auto* field = static_cast<QLineEdit*>(watched);
        if (type == QEvent::FocusIn) {
            focusedGroupField_ = field;
        } else if (type == QEvent::FocusOut && IsFieldFocusMove(event)) {
            focusedGroupField_ = nullptr;
            CheckGroupNumber(field);
        }
        return false;
    }
    if (watched == EdDeviceName && type == QEvent::FocusIn && IsFieldFocusMove(event))
        ClearNoNamePlaceholder();
    else if (watched == EdDeviceName && type == QEvent::FocusOut && IsFieldFocusMove(event))
        RestoreNoNamePlaceholder();
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------
// Initialization button

void InitTab::StartInitialization() {
    if (EdPIN->text().size() < 4) {
        window_.ShowMessageBox(QStringLiteral("Поле ПИН-код не может быть меньше 4 символов"),
                               MsgType::Warning, mbOK);
        EdPIN->setFocus();
        return;
    }
    if (EdPUK->text().size() < 4 && cbAllowPUK->isChecked()) {
        window_.ShowMessageBox(QStringLiteral("Поле ПАК-код не может быть меньше 4 символов"),
                               MsgType::Warning, mbOK);
        EdPUK->setFocus();
        return;
    }
    if (!window_.IsKeyLoaded(KeyMark::BtnLoad) && cbCRKey->isChecked()) {
        if (window_.ShowMessageBox(
                QStringLiteral("Ключ разблокировки не был загружен. Игнорировать?"),
                MsgType::Information, mbYes | mbNo) != mbYes)
            return;
        cbCRKey->setChecked(false);
    }
    const std::string blocked =
        BlockedOptions(!EdPUK->text().isEmpty() && cbAllowPUK->isChecked(), cbCRKey->isChecked(),
                       cbDublGroupRSA->isChecked(), cbDublGroupDSTU->isChecked());
    if (!blocked.empty()) {
        const QString text = QString::fromUtf8(run_text::kBlockedIntro) + u'\r' +
                             QString::fromStdString(blocked) + u'\r' +
                             QString::fromUtf8(run_text::kContinue);
        if (window_.ShowMessageBox(text, MsgType::Information, mbYes | mbNo) != mbYes)
            return;
    }
    const std::string reader = window_.CardReader().Reader;
    if (reader.empty()) {
        window_.ShowMessageBox(TabHost::MsgNoDevice, MsgType::Warning, mbOK);
        return;
    }
    if (!window_.EnsureGroupKeys()) {
        window_.ShowMessageBox(TabHost::MsgRandomFailed, MsgType::Error, mbOK);
        return;
    }
    IInitRunner* runner = window_.InitRunner();
    if (runner && !runner->RunInitialization(reader))
        return; // the reader is held by another run or PIN reset: nothing was done
    EmptySecretField(EdPIN);
    EmptySecretField(EdPUK);
    MessageRequest done;
    done.owner = window(); // the main window that holds this tab
    done.title = QStringLiteral("Information");
    done.text = QString::fromUtf8(run_text::kRunEnded);
    done.type = MsgType::Information;
    done.buttons = mbOK;
    Dialogs().Message(done);
}
