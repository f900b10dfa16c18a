#include "UnblockTab.h"

#include "ChallengeEdit.h"
#include "FormControls.h"
#include "ReaderComboBox.h"
#include "UnblockKeyFiles.h"

#include "crypto/Wipe.h"
#include "engine/AuditJournal.h"
#include "engine/ChallengeResponse.h"
#include "engine/PinReset.h"
#include "engine/ReaderLock.h"
#include "init/AnsiText.h"

#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

UnblockTab::UnblockTab(SharedKeys& keys, UnblockKeyFiles& keyFiles, TokenSession& reader,
                       QWidget* parent, Controls when)
    : QWidget(parent), keys_(keys), keyFiles_(keyFiles), reader_(reader) {
    setObjectName(QStringLiteral("TabSheet2"));
    connect(&keys_, &SharedKeys::unblockKeyChanged, this, &UnblockTab::ShowKey);
    if (when == Controls::Now)
        MakeControls();
}

void UnblockTab::MakeControls() {
    if (ControlsMade())
        return;
    CreateControls();
    deviceList_->SetReaders(readers_);
    readers_.clear();
    if (keys_.IsLoaded(KeyMark::Response))
        ShowKeyLoaded(loadKeyButton_);
    ShowKeyCheck();
}

void UnblockTab::setVisible(bool visible) {
    if (visible)
        MakeControls();
    QWidget::setVisible(visible);
}

void UnblockTab::SetReaders(const QStringList& names) {
    if (ControlsMade())
        deviceList_->SetReaders(names);
    else
        readers_ = names;
}

void UnblockTab::ShowKeyCheck() {
    const QString text = keys_.KeyCheckText();
    keyCheckLabel_->setText(text);
    loadKeyButton_->setToolTip(text);
}

void UnblockTab::ShowKey(KeyMark mark) {
    if (!ControlsMade())
        return; // the controls show the key in force when they are made
    if (mark == KeyMark::Response)
        ShowKeyLoaded(loadKeyButton_);
    ShowKeyCheck();
}

int UnblockTab::Tell(const QString& text, MsgType type, int buttons) {
    return WindowMessage(this, text, type, buttons);
}

void UnblockTab::CreateControls() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 6, 6, 6);
    column->setSpacing(6);

    // Challenge-response.
    const auto [crBox, cr] = NewCaptionedGroup(QStringLiteral("C/R"), this);
    auto* crGrid = new QGridLayout(cr);
    crGrid->setContentsMargins(6, 4, 6, 6);
    crGrid->setHorizontalSpacing(6);
    crGrid->setVerticalSpacing(4);
    auto* loadHint =
        NewLabel(QStringLiteral("Нажмите кнопку  \"Загрузить\" и укажите ключ адинистратора"), cr);
    loadHint->setWordWrap(true);
    crGrid->addWidget(loadHint, 0, 0, 1, 2);
    loadKeyButton_ =
        Named(new QPushButton(QStringLiteral("Загрузить"), cr), QStringLiteral("BtnLoadKey"));
    loadKeyButton_->setAutoDefault(false);
    PressOnEnter(loadKeyButton_);
    crGrid->addWidget(loadKeyButton_, 0, 2, Qt::AlignRight | Qt::AlignVCenter);
    keyCheckLabel_ = NewLabel(QString(), cr, QStringLiteral("LblKcvKey"));
    crGrid->addWidget(keyCheckLabel_, 1, 0, 1, 3, Qt::AlignRight);
    auto* line = new QFrame(cr);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    crGrid->addWidget(line, 2, 0, 1, 3);
    auto* fillHint =
        NewLabel(QStringLiteral("  Заполните поле \"Вызов\" и нажмите кнопку \"Отклик\""), cr);
    fillHint->setWordWrap(true);
    crGrid->addWidget(fillHint, 3, 0, 1, 3);
    crGrid->addWidget(NewLabel(QStringLiteral("Вызов:"), cr), 4, 0);
    challengeEdit_ = Named(new ChallengeEdit(cr), QStringLiteral("EdCallenge"));
    crGrid->addWidget(challengeEdit_, 4, 1, 1, 2);
    crGrid->addWidget(NewLabel(QStringLiteral("Отклик:"), cr), 5, 0);
    responseEdit_ = Named(new QLineEdit(cr), QStringLiteral("EdResponse"));
    responseEdit_->setReadOnly(true);
    responseEdit_->setMaxLength(24);
    crGrid->addWidget(responseEdit_, 5, 1, 1, 2);
    responseButton_ =
        Named(new QPushButton(QStringLiteral("Отклик"), cr), QStringLiteral("Button1"));
    responseButton_->setAutoDefault(false);
    PressOnEnter(responseButton_);
    crGrid->addWidget(responseButton_, 6, 2, Qt::AlignRight);
    crGrid->setColumnStretch(1, 1);
    column->addWidget(crBox);

    // PIN reset.
    const auto [resetBox, reset] =
        NewCaptionedGroup(QStringLiteral("Разблокировка смарт-карты"), this);
    auto* resetGrid = new QGridLayout(reset);
    resetGrid->setContentsMargins(6, 4, 6, 6);
    resetGrid->setHorizontalSpacing(6);
    resetGrid->setVerticalSpacing(4);
    resetGrid->addWidget(NewLabel(QStringLiteral("Устройство:"), reset), 0, 0);
    deviceList_ = Named(new ReaderComboBox(reset), QStringLiteral("cbRdrList"));
    resetGrid->addWidget(deviceList_, 0, 1);
    resetGrid->addWidget(NewLabel(QStringLiteral("Новый ПИН-код:"), reset), 1, 0);
    newPinEdit_ = Named(new QLineEdit(reset), QStringLiteral("EdNewPin_1"));
    resetGrid->addWidget(newPinEdit_, 1, 1);
    auto* confirm = NewLabel(QStringLiteral("Подтверждение ПИН-кода:"), reset);
    confirm->setWordWrap(true);
    resetGrid->addWidget(confirm, 2, 0);
    confirmPinEdit_ = Named(new QLineEdit(reset), QStringLiteral("edNewPin_2"));
    resetGrid->addWidget(confirmPinEdit_, 2, 1);
    for (QLineEdit* pin : {newPinEdit_, confirmPinEdit_}) {
        pin->setMaxLength(8);
        pin->setEchoMode(QLineEdit::Password);
        pin->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
        pin->setValidator(new Cp1251Validator(pin));
    }
    changePinButton_ = Named(new QPushButton(QStringLiteral("Изменить ПИН-код"), reset),
                             QStringLiteral("BtnUnblOk"));
    changePinButton_->setAutoDefault(false);
    PressOnEnter(changePinButton_);
    resetGrid->addWidget(changePinButton_, 3, 1, Qt::AlignRight);
    resetGrid->setColumnStretch(1, 1);
    column->addWidget(resetBox);
    column->addStretch(1);

    connect(loadKeyButton_, &QPushButton::clicked, this,
            [this] { keyFiles_.Load(KeyMark::Response); });
    connect(responseButton_, &QPushButton::clicked, this, [this] { ShowResponse(); });
    connect(deviceList_, &ReaderComboBox::DropDown, this, &UnblockTab::readerListOpening);
    connect(deviceList_, &QComboBox::textActivated, this,
            [this](const QString& name) { reader_.SelectReader(name.toStdString()); });
    connect(changePinButton_, &QPushButton::clicked, this, [this] { ChangePin(); });
}

// ---------------------------------------------------------------------------------------------
// Challenge-response

void UnblockTab::ShowResponse() {
    MakeControls();
    const std::string challenge = challengeEdit_->text().toStdString();
    if (!IsChallengeValid(challenge)) {
        Tell(QStringLiteral("Поле \"Вызов\" имеет недопустимый формат. "
                            "Проверьте правильность введенных данных"),
             MsgType::Warning, mbOK);
        return;
    }
    if (!keys_.IsLoaded(KeyMark::Response)) {
        if (Tell(QStringLiteral("Ключ для инициализации CR не загружен. Загрузить?"),
                 MsgType::Warning, mbYes | mbNo) == mbYes)
            keyFiles_.Load(KeyMark::Response);
        return;
    }
    responseEdit_->setText(QString::fromStdString(ComputeResponse(keys_.UnblockKey(), challenge)));
    AuditResponse(keys_.UnblockKey());
}

// ---------------------------------------------------------------------------------------------
// PIN reset

void UnblockTab::ChangePin() {
    MakeControls();
    if (!keys_.IsLoaded(KeyMark::Initialization)) {
        if (Tell(QStringLiteral("Для продолжения необходим ключ разблокировки. Загрузить ключ?"),
                 MsgType::Warning, mbYes | mbNo) == mbYes)
            keyFiles_.Load(KeyMark::Initialization);
        return;
    }
    if (newPinEdit_->text() != confirmPinEdit_->text()) {
        Tell(QStringLiteral(
                 "Новый ПИН-код не совпадает с повторным вводом\r\nПовторите, пожалуйста"),
             MsgType::Error, mbOK);
        EmptySecretField(newPinEdit_);
        EmptySecretField(confirmPinEdit_);
        newPinEdit_->setFocus();
        return;
    }
    if (reader_.Reader.empty()) {
        Tell(ReaderComboBox::kNoneChosen, MsgType::Warning, mbOK);
        return;
    }
    ResetPin();
}

void UnblockTab::ResetPin() {
    // The reader stays this window's until the reset is over: another initialization or PIN
    // reset of this user, here or in orvane-cli, is refused meanwhile, and this one is refused
    // while another holds it, before anything reaches the token.
    const std::string& reader = reader_.Reader;
    std::string refusal;
    const std::optional<ReaderLock> lock = TakeReader(reader, refusal);
    if (!lock) {
        Tell(QString::fromStdString(refusal), MsgType::Warning, mbOK);
        return;
    }
    std::optional<Bytes> newPin = ToCp1251(newPinEdit_->text());
    const PinResetOutcome outcome = ::ResetPin(reader_, keys_.UnblockKey(), newPin);
    AuditPinReset(reader_.Reader, reader_.CardId, keys_.UnblockKey(), outcome);
    if (newPin)
        SecretBytes::WipeVector(*newPin);
    if (!outcome.ok) {
        Tell(QString::fromStdString(outcome.message),
             outcome.warning ? MsgType::Warning : MsgType::Error, mbOK);
        return;
    }
    Tell(QString::fromUtf8(kPinResetDone), MsgType::Information, mbOK);
    EmptySecretField(newPinEdit_);
    EmptySecretField(confirmPinEdit_);
}
