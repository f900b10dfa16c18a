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
    QPalette look = Label1->palette();
    look.setColor(QPalette::WindowText, colour);
    Label1->setPalette(look);
    Label1->setFont(RunFont(bold));
    Label1->setText(text);
}

void ProgressDialog::ShowReady() {
    SetProgress(0);
    Label2->setFont(RunFont(false));
    Label2->hide();
    SetStatus(kReadyText, DesktopColour(), false);
    Label1->show();
}

void ProgressDialog::ShowAttempt() {
    SetStatus(kAttemptText, DesktopColour(), false);
    Label2->hide();
    Label1->show();
}

void ProgressDialog::ShowDone() {
    SetStatus(kDoneText, SuccessColour(), true);
}

void ProgressDialog::ShowWaiting() {
    Label2->show();
    SetStatus(kNextText, HotLightColour(), true);
    Label1->hide();
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
    Label1->show();
}

void ProgressDialog::ShowFailed() {
    SetStatus(kFailedText, ErrorColour(), false);
    Label1->show();
}

void ProgressDialog::SetProgress(int position) {
    ProgressBar1->setValue(position);
    InitPause().Pause(50, PauseKind::Step);
    repaint();
}

void ProgressDialog::ToggleStatus() {
    Label1->setVisible(Label1->isHidden());
    repaint();
}

bool ProgressDialog::StatusShown() const {
    return !Label1->isHidden();
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
