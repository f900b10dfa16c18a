#include "ProgressBarDlg.h"

#include "AnsiText.h"
#include "Pause.h"
#include "card/CCReader.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

TFrmProgbar* FrmProgbar = nullptr;

namespace {

// ---- Texts of the dialog ---------------------------------------------------------------------

const QString kCaption = QStringLiteral("Инициализация");
const QString kReadyText =
    QStringLiteral("Нажмите Enter, чтобы начать инициализацию.\nПо завершению нажмите Esc");
const QString kAttemptText = QStringLiteral("Инициализация...\nНе извлекайте смарт-карту");
const QString kFailedText = QStringLiteral(
    "Ошибка! Нажмите Enter, чтобы начать инициализацию заново или Esc для завершения");
const QString kDoneText = QStringLiteral("Инициализация закончена. Извлеките смарт-карту");
const QString kNextText = QStringLiteral("Вставьте следующую смарт-карту");
const QString kHintText = QStringLiteral("Для завершения инициализации нажмите Esc");

// ---- Failure messages of an attempt (those ending in a blank get the reader's cause) ----------

const QString kNoAnswer = QStringLiteral("Смарт-карта не отвечает. ");
const QString kNoGlobalPin = QStringLiteral(
    "Инициализация текущей смарт-карты невозможна. НКИ не поддерживает глобальный ПИН-код");
const QString kInitError = QStringLiteral("Ошибка инициализации смарт-карты.");
const QString kPinError = QStringLiteral("Ошибка инициализации смарт-карты. Установка ПИН-кода. ");
const QString kUnblockKeyError =
    QStringLiteral("Ошибка инициализации смарт-карты. Установка ключа разблокировки. ");
const QString kNoRsa =
    QStringLiteral("Ошибка инициализации смарт-карты. Карта не поддерживает RSA.");
const QString kGroupKeyError =
    QStringLiteral("Ошибка инициализации смарт-карты. Установка ключа дублирования. ");
const QString kGroupError =
    QStringLiteral("Ошибка инициализации смарт-карты. Установка группы дублирования. ");
const QString kVerifyError =
    QStringLiteral("Ошибка инициализации смарт-карты. Проверка ПИН-кода. ");
const QString kCacheError = QStringLiteral("Ошибка инициализации смарт-карты. Очистка КЭШ. ");
const QString kNoDstu =
    QStringLiteral("Ошибка инициализации смарт-карты. Карта не поддерживает ДСТУ");
const QString kDstuKeyError =
    QStringLiteral("Ошибка инициализации смарт-карты. Установка ключа дублирования для ДСТУ. ");
const QString kDstuGroupError =
    QStringLiteral("Ошибка инициализации смарт-карты. Установка группы дублирования для ДСТУ. ");
const QString kNoData =
    QStringLiteral("Ошибка инициализации смарт-карты. Карта не поддерживает Data Application");
const QString kDataError =
    QStringLiteral("Ошибка инициализации смарт-карты. Активация Data Application. ");

// ---- Commands of the initialization ------------------------------------------------------------

const Bytes kSelectMf{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes kCheckGlobalPin{0x80, 0xF2, 0x00, 0x05, 0x01};
const Bytes kMfCode{0x80, 0x48, 0x4D, 0x46, 0x08, '3', '1', '7', '4', '0', '2', '5', '9'};
const Bytes kActivateShort{0x80, 0x46, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00};
const Bytes kUpdateBinary{0x00, 0xD6, 0x82, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kClearCache{0x80, 0xE0, 0x02, 0x00};

const Bytes kAidRsa{0xFA, 'V', 'L', 'M', 'R', 'S', 'A', 'D'};
const Bytes kAidDstu{0xFA, 'V', 'L', 'M', 'S', 'G', '4', '1', '4', '5'};
const Bytes kAidData{0xFA, 'V', 'L', 'M', 'D', 'A', 'T', 'A', 'a', 'u'};

constexpr std::uint8_t kPinAttribute = 0x77;
constexpr std::uint8_t kPukAllowed = 0x44;
constexpr std::uint8_t kUnblockKeyAllowed = 0xEE;
constexpr std::uint8_t kGroupKeyAttribute = 0x99;
constexpr std::uint8_t kBlocked = 0x00;

using NameField = std::array<std::uint8_t, 32>;

Bytes SelectApplication(const Bytes& aid) {
    Bytes command{0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(aid.size())};
    command.insert(command.end(), aid.begin(), aid.end());
    return command;
}

// The group data 01 00 00 00 G1 G2 00 00 of SET GROUP and of the long ACTIVATE APPLICATION.
void AppendGroupData(Bytes& command, int groupCode) {
    const Bytes data{0x01,
                     0x00,
                     0x00,
                     0x00,
                     static_cast<std::uint8_t>((groupCode >> 8) & 0xFF),
                     static_cast<std::uint8_t>(groupCode & 0xFF),
                     0x00,
                     0x00};
    command.insert(command.end(), data.begin(), data.end());
}

Bytes SetGroup(int groupCode) {
    Bytes command{0x80, 0x48, 0x00, 0x00, 0x08};
    AppendGroupData(command, groupCode);
    return command;
}

Bytes ActivateLong(int groupCode, const NameField& name) {
    Bytes command{0x80, 0x46, 0x00, 0x00, 0x28};
    AppendGroupData(command, groupCode);
    command.insert(command.end(), name.begin(), name.end());
    return command;
}

// The device name: the UTF-8 bytes of the text, cut at byte 32 (also inside a character) and
// zero-padded; "", "<None>" and "<none>" mean no name.
NameField BuildNameField(const QString& text) {
    NameField field{};
    if (text.isEmpty() || text == QLatin1String("<None>") || text == QLatin1String("<none>"))
        return field;
    const QByteArray utf8 = text.toUtf8();
    const auto count = std::min<std::size_t>(field.size(), static_cast<std::size_t>(utf8.size()));
    for (std::size_t i = 0; i < count; ++i)
        field[i] = static_cast<std::uint8_t>(utf8[static_cast<qsizetype>(i)]);
    return field;
}

int GroupCode(bool ticked, const QString& text) {
    return ticked ? HexToInt(text, 2) : 0;
}

void Wipe(Bytes& bytes) {
    volatile std::uint8_t* p = bytes.data();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        p[i] = 0;
    bytes.clear();
}

// A PIN or PUK as the token takes it: its CP1251 bytes, at most 8 (the token pads with FF).
// A text with a character that CP1251 cannot hold gives nothing: it is never sent as a
// substitute byte.
std::optional<Bytes> SecretBytes(const QString& text) {
    std::optional<Bytes> bytes = ToCp1251(text);
    if (bytes && bytes->size() > 8) {
        for (std::size_t i = 8; i < bytes->size(); ++i)
            static_cast<volatile std::uint8_t&>((*bytes)[i]) = 0;
        bytes->resize(8);
    }
    return bytes;
}

QFont RunFont(bool bold) {
    QFont font(QStringLiteral("Tahoma"), 8);
    font.setStyleHint(QFont::SansSerif);
    font.setBold(bold);
    return font;
}

} // namespace

// ---- TNewThread
// ----------------------------------------------------------------------------------

TNewThread::TNewThread(TFrmProgbar* dialog) : Dialog(dialog) {}

TNewThread::~TNewThread() {
    Stop();
}

void TNewThread::Pause() {
    std::lock_guard lock(Mutex);
    ++Count;
}

void TNewThread::Resume() {
    {
        std::lock_guard lock(Mutex);
        if (Count > 0)
            --Count;
    }
    Wake.notify_all();
}

bool TNewThread::Paused() const {
    std::lock_guard lock(Mutex);
    return Count > 0;
}

int TNewThread::PauseCount() const {
    std::lock_guard lock(Mutex);
    return Count;
}

void TNewThread::RequestStop() {
    {
        std::lock_guard lock(Mutex);
        Stopping = true;
    }
    Wake.notify_all();
}

bool TNewThread::StopRequested() const {
    std::lock_guard lock(Mutex);
    return Stopping;
}

void TNewThread::Stop() {
    RequestStop();
    // The worker may be blocked handing WaitNextCard to this very thread. Dropping the queued
    // hand-over releases it; it then sees the stop and ends.
    while (!wait(QDeadlineTimer(10)))
        QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}

void TNewThread::run() {
    for (;;) {
        {
            std::unique_lock lock(Mutex);
            Wake.wait(lock, [this] { return Stopping || Count == 0; });
            if (Stopping)
                return;
        }
        // This object lives on the user-interface thread: the call runs there, and the worker
        // waits until it has run.
        QMetaObject::invokeMethod(
            this, [this] { WaitNextCard(); }, Qt::BlockingQueuedConnection);
    }
}

void TNewThread::WaitNextCard() {
    // A hand-over that was queued before the worker was paused (an attempt began, or Esc) must
    // not start anything nested inside that attempt or after the run.
    TFrmProgbar* dialog = Dialog;
    if (!dialog || StopRequested() || Paused() || dialog->Closing || dialog->InAttempt)
        return;
    ++HandOverDepth;
    struct Leave {
        int& depth;
        ~Leave() { --depth; }
    } leave{HandOverDepth};

    QLabel* label = dialog->Label1;
    label->setText(kNextText);
    InitPause().Pause(label->isHidden() ? 500 : 1500, PauseKind::Blink);
    if (!Dialog)
        return;
    label->setVisible(label->isHidden());
    dialog->repaint();
    QCoreApplication::processEvents();
    // Esc (or Enter, which runs a whole attempt) may have been served just now.
    if (!Dialog || StopRequested() || Paused() || dialog->Closing || dialog->InAttempt ||
        !dialog->RunSession)
        return;
    if (dialog->RunSession->IsCardPresent())
        dialog->StartAttempt();
}

// ---- TFrmProgbar
// ---------------------------------------------------------------------------------

TFrmProgbar::TFrmProgbar(IInitSettings& settings, QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowStaysOnTopHint),
      Settings(settings) {
    setObjectName(QStringLiteral("FrmProgbar"));
    setWindowTitle(kCaption);
    setModal(true);
    setFixedSize(280, 85);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(0, 0, 280, 85);

    ProgressBar1 = new QProgressBar(Panel1);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(4, 4, 271, 19);

    // The status text gets room for three lines: the failure text wraps to three with the fonts
    // found on Linux desktops, where Tahoma is missing.
    Label1 = new QLabel(Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setWordWrap(true);
    Label1->setGeometry(0, 25, 280, 40);
    Label1->setFont(RunFont(false));

    Label2 = new QLabel(kHintText, Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignCenter);
    Label2->setGeometry(0, 66, 280, 17);
    Label2->setFont(RunFont(false));
    Label2->hide();
}

TFrmProgbar::~TFrmProgbar() {
    Closing = true;
    ActiveFlag = false;
    EndRun();
}

QColor TFrmProgbar::DesktopColour() {
    // The classic desktop's dark blue: readable on the dialog's light face.
    return QColor(0, 78, 152);
}

QColor TFrmProgbar::SuccessColour() {
    return QColor(100, 180, 40);
}

QColor TFrmProgbar::ErrorColour() {
    return QColor(255, 0, 0);
}

QColor TFrmProgbar::HotLightColour() const {
    return palette().color(QPalette::Link);
}

void TFrmProgbar::SetStatus(const QString& text, const QColor& colour, bool bold) {
    QPalette look = Label1->palette();
    look.setColor(QPalette::WindowText, colour);
    Label1->setPalette(look);
    Label1->setFont(RunFont(bold));
    Label1->setText(text);
}

void TFrmProgbar::RunInitialization(const std::string& readerName) {
    // A run is open, or the one ended by Esc is still unwinding (the main window can ask for the
    // next run from the events served together with that Esc): its session and worker are still
    // in use further up the stack.
    if (!Closing || RunSession || CurrentWorker)
        return;
    QPointer<TFrmProgbar> self(this);

    RunSession = std::make_unique<TCCReader>();
    RunSession->Exclusive = false;
    RunSession->SelectReader(readerName);
    Closing = false;
    InAttempt = false;
    ActiveFlag = false;

    SetProgress(0);
    CurrentWorker = std::make_unique<TNewThread>(this);
    CurrentWorker->start();

    Label2->setFont(RunFont(false));
    Label2->hide();
    SetStatus(kReadyText, DesktopColour(), false);
    Label1->show();
    InitPause().Pause(1000, PauseKind::Step);
    ActiveFlag = true;

    if (!Closing)
        exec();
    if (!self)
        return; // destroyed meanwhile; its destructor ended the run
    hide();
    Closing = true;
    ActiveFlag = false;
    EndRun();
}

void TFrmProgbar::EndRun() {
    if (CurrentWorker) {
        if (CurrentWorker->InHandOver()) {
            // We are inside the worker's own hand-over (the dialog is being destroyed from a
            // blink phase): the worker ends as soon as that hand-over returns, and cleans up.
            TNewThread* worker = CurrentWorker.release();
            connect(worker, &QThread::finished, worker, &QObject::deleteLater);
            worker->RequestStop();
        } else {
            CurrentWorker->Stop();
            CurrentWorker.reset();
        }
    }
    RunSession.reset();
}

void TFrmProgbar::FormKeyPress(int key) {
    if (key == 13) {
        StartAttempt();
        return;
    }
    if (key != 27 || Closing)
        return;
    Closing = true;
    done(QDialog::Accepted);
    ActiveFlag = false;
    if (CurrentWorker)
        CurrentWorker->Pause();
    hide();
}

void TFrmProgbar::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        FormKeyPress(13);
        return;
    case Qt::Key_Escape:
        event->accept();
        FormKeyPress(27);
        return;
    default:
        // Not QDialog's: it would treat Esc and Enter its own way.
        QWidget::keyPressEvent(event);
    }
}

void TFrmProgbar::closeEvent(QCloseEvent* event) {
    FormKeyPress(27);
    event->accept();
}

void TFrmProgbar::reject() {
    FormKeyPress(27);
}

void TFrmProgbar::StartAttempt() {
    // Enter during an attempt (the removal wait serves keys) does not start a nested one.
    if (Closing || InAttempt || !CurrentWorker || !RunSession)
        return;
    InAttempt = true;
    if (!CurrentWorker->Paused())
        CurrentWorker->Pause();
    SetStatus(kAttemptText, DesktopColour(), false);
    Label2->hide();
    Label1->show();
    CurrentWorker->Pause();

    QPointer<TFrmProgbar> self(this);
    InitializeCard();
    if (!self)
        return;
    InAttempt = false;
    if (CurrentWorker)
        CurrentWorker->Resume();
    if (!Closing)
        ActiveFlag = true;
}

void TFrmProgbar::SetProgress(int position) {
    ProgressBar1->setValue(position);
    InitPause().Pause(50, PauseKind::Step);
    repaint();
}

void TFrmProgbar::ResumePolling() {
    if (CurrentWorker)
        CurrentWorker->Resume();
}

void TFrmProgbar::ShowStatusError(const QString& text) {
    SetStatus(text, ErrorColour(), false);
    Label1->show();
}

bool TFrmProgbar::InitializeCard() {
    if (!RunSession)
        return false;
    QPointer<TFrmProgbar> self(this);
    TCCReader& session = *RunSession;
    bool inTransaction = false;

    const auto send = [&session](const Bytes& command) {
        Bytes response;
        return session.Transmit(command, response);
    };
    const auto cause = [&session] { return QString::fromStdString(session.LastErrorText()); };
    // Report the failure, then leave the token as it is: end the transaction, disconnect.
    const auto fail = [&](const QString& message, MsgType kind) {
        ReportInitError(*this, message, kind);
        if (!self)
            return false;
        if (inTransaction)
            session.EndTransaction();
        session.Disconnect();
        return false;
    };

    SetProgress(0);
    InitPause().Pause(50, PauseKind::Step);
    session.Exclusive = false;
    if (!session.ConnectCard()) {
        InitPause().Pause(500, PauseKind::Step);
        if (!session.ConnectCard())
            return fail(kNoAnswer + cause(), MsgType::Warning);
    }
    session.BeginTransaction();
    inTransaction = true;

    send(kSelectMf);
    if (!send(kCheckGlobalPin))
        return fail(kNoGlobalPin, MsgType::Error);

    // Clean-up of whatever an earlier initialization left, on every token.
    send(SelectApplication(kAidRsa));
    send(SetGroup(0));
    const NameField name = BuildNameField(Settings.DeviceNameText());
    send(SelectApplication(kAidDstu));
    send(ActivateLong(0, name));
    send(SelectApplication(kAidData));
    send(kActivateShort);
    send(kSelectMf);
    SetProgress(10);

    if (!send(kMfCode))
        return fail(kInitError, MsgType::Error);
    SetProgress(20);

    {
        std::optional<Bytes> pin = SecretBytes(Settings.PinText());
        const bool stored = pin && session.StorePin(REF_PIN, *pin, kPinAttribute);
        const QString why = (pin && !stored) ? cause() : QString();
        if (pin)
            Wipe(*pin);
        if (!stored)
            return fail(kPinError + why, MsgType::Error);
    }
    SetProgress(30);

    {
        const QString pukText = Settings.PukText();
        const std::uint8_t attribute =
            (!pukText.isEmpty() && Settings.AllowPuk()) ? kPukAllowed : kBlocked;
        std::optional<Bytes> puk = SecretBytes(pukText);
        const bool stored = puk && session.StorePin(REF_PUK, *puk, attribute);
        const QString why = (puk && !stored) ? cause() : QString();
        if (puk)
            Wipe(*puk);
        if (!stored)
            return fail(kPinError + why, MsgType::Error);
    }
    SetProgress(40);

    {
        const auto& key = Settings.UnblockKey();
        const std::uint8_t attribute = Settings.UseUnblockKey() ? kUnblockKeyAllowed : kBlocked;
        if (!session.StoreKey(REF_UNBLOCK_KEY, key.data(), key.size(), attribute))
            return fail(kUnblockKeyError + cause(), MsgType::Error);
    }
    SetProgress(50);

    if (HasApp(session.CardApps, appRSA)) {
        if (!send(SelectApplication(kAidRsa)))
            return fail(kNoRsa, MsgType::Warning);
        const auto& key = Settings.GroupKeyRSA();
        if (!session.StoreKey(REF_GROUP_KEY, key.data(), key.size(), kGroupKeyAttribute))
            return fail(kGroupKeyError + cause(), MsgType::Error);
        SetProgress(60);
        if (!send(SetGroup(GroupCode(Settings.DublGroupRSA(), Settings.GroupRSAText()))))
            return fail(kGroupError + cause(), MsgType::Error);
        {
            std::optional<Bytes> pin = SecretBytes(Settings.PinText());
            const bool verified = pin && session.VerifyPin(REF_PIN, *pin);
            const QString why = (pin && !verified) ? cause() : QString();
            if (pin)
                Wipe(*pin);
            if (!verified)
                return fail(kVerifyError + why, MsgType::Error);
        }
        if (!send(kUpdateBinary))
            return fail(kCacheError + cause(), MsgType::Error);
        if (!send(kClearCache))
            return fail(kCacheError + cause(), MsgType::Error);
    }

    if (HasApp(session.CardApps, appDSTU)) {
        if (!send(SelectApplication(kAidDstu)))
            return fail(kNoDstu, MsgType::Warning);
        const auto& key = Settings.GroupKeyDSTU();
        if (!session.StoreKey(REF_GROUP_KEY, key.data(), key.size(), kGroupKeyAttribute))
            return fail(kDstuKeyError + cause(), MsgType::Error);
        if (!send(
                ActivateLong(GroupCode(Settings.DublGroupDSTU(), Settings.GroupDSTUText()), name)))
            return fail(kDstuGroupError + cause(), MsgType::Error);
    }

    if (HasApp(session.CardApps, appData)) {
        if (!send(SelectApplication(kAidData)))
            return fail(kNoData, MsgType::Warning);
        if (!send(kActivateShort))
            return fail(kDataError + cause(), MsgType::Error);
    }

    send(kSelectMf);
    send(kClearCache);
    WriteInitLog(session.CardId);
    session.EndTransaction();
    inTransaction = false;
    session.Disconnect();

    SetProgress(100);
    ResumePolling();
    InitPause().Pause(300, PauseKind::Step);
    SetStatus(kDoneText, SuccessColour(), true);

    // Blink until the token is taken out (or Esc ends the run).
    while (ActiveFlag && session.IsCardPresent()) {
        InitPause().Pause(Label1->isHidden() ? 500 : 1500, PauseKind::Blink);
        if (!self)
            return false;
        Label1->setVisible(Label1->isHidden());
        repaint();
        QCoreApplication::processEvents();
        if (!self)
            return false;
    }

    // The look of the wait for the next token; the polling makes the text blink.
    Label2->show();
    SetStatus(kNextText, HotLightColour(), true);
    Label1->hide();
    SetProgress(0);
    return true;
}

void ReportInitError(TFrmProgbar& dialog, const QString& text, MsgType kind) {
    QPointer<TFrmProgbar> guard(&dialog);
    MessageRequest request;
    request.owner = &dialog;
    request.title = dialog.windowTitle();
    request.text = text;
    request.type = kind;
    request.buttons = mbOK;
    request.systemModal = true;
    Dialogs().Message(request);
    if (!guard)
        return;
    WriteInitLog(dialog.Session() ? dialog.Session()->CardId : std::string(), text);
    dialog.ShowStatusError(kFailedText);
}

int HexToInt(const QString& text, int positions) {
    positions = std::clamp(positions, 0, 7);
    int result = 0;
    for (int i = 1; i <= positions; ++i) {
        if (i > text.size())
            continue; // past the end of the text reads as NUL
        const char16_t c = text.at(i - 1).unicode();
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit >= 0)
            result += digit << (4 * (positions - i));
    }
    return result;
}
