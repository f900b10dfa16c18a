#include "ProgressDialog.h"

#include "Pause.h"
#include "engine/RunTexts.h"

#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QPointer>
#include <QProgressBar>

namespace {

const QString kCaption = QStringLiteral("Инициализация");
QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

const QString kReadyText = Text(run_text::kReady1) + u'\n' + Text(run_text::kReady2);
const QString kAttemptText = Text(run_text::kAttempt1) + u'\n' + Text(run_text::kAttempt2);
const QString kFailedText = Text(run_text::kFailed);
const QString kDoneText = Text(run_text::kDone);
const QString kNextText = Text(run_text::kNext);
const QString kHintText = Text(run_text::kEscHint);
const QString kServiceAwayText = Text(run_text::kServiceAway);
const QString kLogLineLostText = Text(run_text::kLogLineLost);

QFont RunFont(bool bold) {
    QFont font(QStringLiteral("Tahoma"), 8);
    font.setStyleHint(QFont::SansSerif);
    font.setBold(bold);
    return font;
}

} // namespace

ProgressDialog::ProgressDialog(IInitSettings& settings, QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("FrmProgbar"));
    setWindowTitle(kCaption);
    setModal(true);
    setFixedSize(280, 85);

    panel_ = new QFrame(this);
    panel_->setObjectName(QStringLiteral("Panel1"));
    panel_->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel_->setGeometry(0, 0, 280, 85);

    progressBar_ = new QProgressBar(panel_);
    progressBar_->setObjectName(QStringLiteral("ProgressBar1"));
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);
    progressBar_->setGeometry(4, 4, 271, 19);

    // The status text gets room for three lines: the failure text wraps to three with the fonts
    // found on Linux desktops, where Tahoma is missing.
    statusLabel_ = new QLabel(panel_);
    statusLabel_->setObjectName(QStringLiteral("Label1"));
    statusLabel_->setAlignment(Qt::AlignCenter);
    statusLabel_->setWordWrap(true);
    statusLabel_->setGeometry(0, 25, 280, 40);
    statusLabel_->setFont(RunFont(false));

    hintLabel_ = new QLabel(kHintText, panel_);
    hintLabel_->setObjectName(QStringLiteral("Label2"));
    hintLabel_->setAlignment(Qt::AlignCenter);
    hintLabel_->setGeometry(0, 66, 280, 17);
    hintLabel_->setFont(RunFont(false));
    hintLabel_->hide();

    RunView& view = *this;
    run_ = new InitRun(settings, view, this);
}

ProgressDialog::~ProgressDialog() = default;

QColor ProgressDialog::DesktopColour() {
    // The classic desktop's dark blue: readable on the dialog's light face.
    return QColor(0, 78, 152);
}

QColor ProgressDialog::SuccessColour() {
    return QColor(100, 180, 40);
}

QColor ProgressDialog::ErrorColour() {
    return QColor(255, 0, 0);
}

QColor ProgressDialog::HotLightColour() const {
    return palette().color(QPalette::Link);
}

bool ProgressDialog::Active() const {
    const InitRun::State state = run_->CurrentState();
    return state != InitRun::State::Idle && state != InitRun::State::Ended;
}

void ProgressDialog::SetStatus(const QString& text, const QColor& colour, bool bold) {
    QPalette look = statusLabel_->palette();
    look.setColor(QPalette::WindowText, colour);
    statusLabel_->setPalette(look);
    statusLabel_->setFont(RunFont(bold));
    statusLabel_->setText(text);
}

void ProgressDialog::ShowReady() {
    SetProgress(0);
    hintLabel_->setFont(RunFont(false));
    hintLabel_->hide();
    SetStatus(kReadyText, DesktopColour(), false);
    statusLabel_->show();
}

void ProgressDialog::ShowAttempt() {
    SetStatus(kAttemptText, DesktopColour(), false);
    hintLabel_->hide();
    statusLabel_->show();
}

void ProgressDialog::ShowDone() {
    SetStatus(kDoneText, SuccessColour(), true);
}

void ProgressDialog::ShowWaiting() {
    hintLabel_->show();
    SetStatus(kNextText, HotLightColour(), true);
    statusLabel_->hide();
    SetProgress(0);
}

void ProgressDialog::ShowServiceAway() {
    SetStatus(kServiceAwayText, ErrorColour(), false);
}

void ProgressDialog::ShowNextToken() {
    SetStatus(kNextText, HotLightColour(), true);
}

void ProgressDialog::ShowLogLineLost() {
    SetStatus(kLogLineLostText, ErrorColour(), true);
    statusLabel_->show();
}

void ProgressDialog::ShowFailed() {
    SetStatus(kFailedText, ErrorColour(), false);
    statusLabel_->show();
}

void ProgressDialog::SetProgress(int position) {
    progressBar_->setValue(position);
    InitPause().Pause(50, PauseKind::Step);
    repaint();
}

void ProgressDialog::ToggleStatus() {
    statusLabel_->setVisible(statusLabel_->isHidden());
    repaint();
}

bool ProgressDialog::StatusShown() const {
    return !statusLabel_->isHidden();
}

bool ProgressDialog::RunInitialization(const std::string& readerName) {
    // A run is open, or the one ended by Esc is still unwinding (the main window can ask for the
    // next run from the events served together with that Esc); or the reader is another's.
    switch (run_->Open(readerName)) {
    case InitRun::Opening::Opened:
        break;
    case InitRun::Opening::AlreadyOpen:
        return true;
    case InitRun::Opening::ReaderHeld:
        return false;
    }
    QPointer<ProgressDialog> self(this);
    ShowReady();
    InitPause().Pause(1000, PauseKind::Step);
    if (run_->CurrentState() == InitRun::State::Ready)
        exec();
    if (!self)
        return true; // destroyed meanwhile, and its run with it
    hide();
    run_->Close();
    return true;
}

void ProgressDialog::PressEnter() {
    run_->Enter();
}

void ProgressDialog::PressEscape() {
    if (!run_->Esc())
        return;
    done(QDialog::Accepted);
    hide();
}

void ProgressDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        PressEnter();
        return;
    case Qt::Key_Escape:
        event->accept();
        PressEscape();
        return;
    default:
        // Not QDialog's: it would treat Esc and Enter its own way.
        QWidget::keyPressEvent(event);
    }
}

void ProgressDialog::closeEvent(QCloseEvent* event) {
    PressEscape();
    event->accept();
}

void ProgressDialog::reject() {
    PressEscape();
}
