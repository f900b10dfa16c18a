#include "UnblockTab.h"

#include "ChallengeEdit.h"
#include "FormControls.h"
#include "ReaderComboBox.h"
#include "TabHost.h"

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

UnblockTab::UnblockTab(TabHost& window) : window_(window) {
    setObjectName(QStringLiteral("TabSheet2"));
    CreateControls();
}

void UnblockTab::CreateControls() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 6, 6, 6);
    column->setSpacing(6);

    // Challenge-response.
    auto* cr = new QGroupBox(QStringLiteral("C/R"), this);
    auto* crGrid = new QGridLayout(cr);
    crGrid->setContentsMargins(6, 4, 6, 6);
    crGrid->setHorizontalSpacing(6);
    crGrid->setVerticalSpacing(4);
    auto* loadHint =
        NewLabel(QStringLiteral("Нажмите кнопку  \"Загрузить\" и укажите ключ адинистратора"), cr);
    loadHint->setWordWrap(true);
    crGrid->addWidget(loadHint, 0, 0, 1, 2);
    BtnLoadKey =
        Named(new QPushButton(QStringLiteral("Загрузить"), cr), QStringLiteral("BtnLoadKey"));
    BtnLoadKey->setAutoDefault(false);
    PressOnEnter(BtnLoadKey);
    crGrid->addWidget(BtnLoadKey, 0, 2, Qt::AlignRight | Qt::AlignVCenter);
    LblKcvKey = NewLabel(QString(), cr, QStringLiteral("LblKcvKey"));
    crGrid->addWidget(LblKcvKey, 1, 0, 1, 3, Qt::AlignRight);
    auto* line = new QFrame(cr);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    crGrid->addWidget(line, 2, 0, 1, 3);
    auto* fillHint =
        NewLabel(QStringLiteral("  Заполните поле \"Вызов\" и нажмите кнопку \"Отклик\""), cr);
    fillHint->setWordWrap(true);
    crGrid->addWidget(fillHint, 3, 0, 1, 3);
    crGrid->addWidget(NewLabel(QStringLiteral("Вызов:"), cr), 4, 0);
    EdCallenge = Named(new ChallengeEdit(cr), QStringLiteral("EdCallenge"));
    crGrid->addWidget(EdCallenge, 4, 1, 1, 2);
    crGrid->addWidget(NewLabel(QStringLiteral("Отклик:"), cr), 5, 0);
    EdResponse = Named(new QLineEdit(cr), QStringLiteral("EdResponse"));
    EdResponse->setReadOnly(true);
    EdResponse->setMaxLength(24);
    crGrid->addWidget(EdResponse, 5, 1, 1, 2);
    Button1 = Named(new QPushButton(QStringLiteral("Отклик"), cr), QStringLiteral("Button1"));
    Button1->setAutoDefault(false);
    PressOnEnter(Button1);
    crGrid->addWidget(Button1, 6, 2, Qt::AlignRight);
    crGrid->setColumnStretch(1, 1);
    column->addWidget(cr);

    // PIN reset.
    auto* reset = new QGroupBox(QStringLiteral("Разблокировка смарт-карты"), this);
    auto* resetGrid = new QGridLayout(reset);
    resetGrid->setContentsMargins(6, 4, 6, 6);
    resetGrid->setHorizontalSpacing(6);
    resetGrid->setVerticalSpacing(4);
    resetGrid->addWidget(NewLabel(QStringLiteral("Устройство:"), reset), 0, 0);
    cbRdrList = Named(new ReaderComboBox(reset), QStringLiteral("cbRdrList"));
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
        pin->setValidator(new Cp1251Validator(pin));
    }
    BtnUnblOk = Named(new QPushButton(QStringLiteral("Изменить ПИН-код"), reset),
                      QStringLiteral("BtnUnblOk"));
    BtnUnblOk->setAutoDefault(false);
    PressOnEnter(BtnUnblOk);
    resetGrid->addWidget(BtnUnblOk, 3, 1, Qt::AlignRight);
    resetGrid->setColumnStretch(1, 1);
    column->addWidget(reset);
    column->addStretch(1);

    connect(BtnLoadKey, &QPushButton::clicked, this,
            [this] { window_.LoadUnblockKey(KeyMark::BtnLoadKey); });
    connect(Button1, &QPushButton::clicked, this, [this] { ShowResponse(); });
    connect(cbRdrList, &ReaderComboBox::DropDown, this, [this] { window_.FillReaderLists(); });
    connect(cbRdrList, &QComboBox::textActivated, this,
            [this](const QString& t) { window_.SelectDevice(t); });
    connect(BtnUnblOk, &QPushButton::clicked, this, [this] { ChangePin(); });
}

// ---------------------------------------------------------------------------------------------
// Challenge-response

void UnblockTab::ShowResponse() {
    const std::string challenge = EdCallenge->text().toStdString();
    if (!IsChallengeValid(challenge)) {
        window_.ShowMessageBox(QStringLiteral("Поле \"Вызов\" имеет недопустимый формат. "
                                              "Проверьте правильность введенных данных"),
                               MsgType::Warning, mbOK);
        return;
    }
    if (!window_.IsKeyLoaded(KeyMark::BtnLoadKey)) {
        if (window_.ShowMessageBox(
                QStringLiteral("Ключ для инициализации CR не загружен. Загрузить?"),
                MsgType::Warning, mbYes | mbNo) == mbYes)
            window_.LoadUnblockKey(KeyMark::BtnLoadKey);
        return;
    }
    EdResponse->setText(QString::fromStdString(ComputeResponse(window_.UnblockKey(), challenge)));
    AuditResponse(window_.UnblockKey());
}

// ---------------------------------------------------------------------------------------------
// PIN reset

void UnblockTab::ChangePin() {
    if (!window_.IsKeyLoaded(KeyMark::BtnLoad)) {
        if (window_.ShowMessageBox(
                QStringLiteral("Для продолжения необходим ключ разблокировки. Загрузить ключ?"),
                MsgType::Warning, mbYes | mbNo) == mbYes)
            window_.LoadUnblockKey(KeyMark::BtnLoad);
        return;
    }
    if (EdNewPin_1->text() != edNewPin_2->text()) {
        window_.ShowMessageBox(
            QStringLiteral(
                "Новый ПИН-код не совпадает с повторным вводом\r\nПовторите, пожалуйста"),
            MsgType::Error, mbOK);
        EmptySecretField(EdNewPin_1);
        EmptySecretField(edNewPin_2);
        EdNewPin_1->setFocus();
        return;
    }
    if (window_.CardReader().Reader.empty()) {
        window_.ShowMessageBox(TabHost::MsgNoDevice, MsgType::Warning, mbOK);
        return;
    }
    ResetPin();
}

void UnblockTab::ResetPin() {
    // The reader stays this window's until the reset is over: another initialization or PIN
    // reset of this user, here or in orvane-cli, is refused meanwhile, and this one is refused
    // while another holds it, before anything reaches the token.
    const std::string& reader = window_.CardReader().Reader;
    std::string refusal;
    const std::optional<ReaderLock> lock = TakeReader(reader, refusal);
    if (!lock) {
        window_.ShowMessageBox(QString::fromStdString(refusal), MsgType::Warning, mbOK);
        return;
    }
    std::optional<Bytes> newPin = ToCp1251(EdNewPin_1->text());
    const PinResetOutcome outcome = ::ResetPin(window_.CardReader(), window_.UnblockKey(), newPin);
    AuditPinReset(window_.CardReader().Reader, window_.CardReader().CardId, window_.UnblockKey(),
                  outcome);
    if (newPin)
        SecretBytes::WipeVector(*newPin);
    if (!outcome.ok) {
        window_.ShowMessageBox(QString::fromStdString(outcome.message),
                               outcome.warning ? MsgType::Warning : MsgType::Error, mbOK);
        return;
    }
    window_.ShowMessageBox(QString::fromUtf8(kPinResetDone), MsgType::Information, mbOK);
    EmptySecretField(EdNewPin_1);
    EmptySecretField(edNewPin_2);
}
