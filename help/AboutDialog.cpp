#include "AboutDialog.h"

#include "HelpResources.h"

#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QWindow>

// The file version is compiled in by the build from the project version.
#ifndef ORVANE_FILE_VERSION
#define ORVANE_FILE_VERSION ""
#endif

namespace {

constexpr QSize kClientSize(301, 161);

QFont SizedFont(const QFont& base, int points, bool bold) {
    QFont font = base;
    font.setPointSize(points);
    font.setBold(bold);
    return font;
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    InitOrvaneResources();
    setObjectName("OKRightDlg");
    setWindowTitle(QStringLiteral("О программе"));
    setFixedSize(kClientSize);

    frame_ = new QFrame(this);
    frame_->setObjectName("Panel1");
    frame_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    frame_->setGeometry(8, 8, 285, 113);

    iconLabel_ = new QLabel(frame_);
    iconLabel_->setObjectName("ProgramIcon");
    iconLabel_->setGeometry(10, 10, 48, 48);
    iconLabel_->setPixmap(QIcon(QStringLiteral(":/orvane.png")).pixmap(48, 48));

    nameLabel_ = new QLabel(QStringLiteral("Orvane"), frame_);
    nameLabel_->setObjectName("ProductName");
    nameLabel_->setFont(SizedFont(font(), 12, true));
    nameLabel_->setGeometry(72, 14, 200, 24);

    versionCaption_ = new QLabel(QStringLiteral("Version"), frame_);
    versionCaption_->setObjectName("Version");
    versionCaption_->setFont(SizedFont(font(), 10, false));
    versionCaption_->adjustSize();
    versionCaption_->move(72, 44);

    // Design text; replaced by the file version whenever the box becomes active.
    versionLabel_ = new QLabel(QStringLiteral("1.0.0.2"), frame_);
    versionLabel_->setObjectName("Label1");
    versionLabel_->setFont(SizedFont(font(), 10, false));
    versionLabel_->setGeometry(versionCaption_->geometry().right() + 7, 44, 130,
                               versionCaption_->height());

    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    okButton_->setObjectName("OKBtn");
    okButton_->setGeometry(213, 128, 80, 25);
    okButton_->setDefault(true);
    connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
}

bool AboutDialog::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate)
        ShowFileVersion();
    return QDialog::event(event);
}

void AboutDialog::showEvent(QShowEvent* event) {
    // Some window systems activate a dialog late or not at all; the version is shown anyway.
    ShowFileVersion();
    CentreOnParent();
    QDialog::showEvent(event);
}

void AboutDialog::ShowFileVersion() {
    const QString version = QStringLiteral(ORVANE_FILE_VERSION);
    if (!version.isEmpty())
        versionLabel_->setText(version);
}

void AboutDialog::CentreOnParent() {
    const QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    if (owner == nullptr)
        return;
    // Centred with its frame. Before the first show the frame is not known: the owner's frame
    // stands in for it. The position is given as the frame's own, so the window manager places
    // the frame there whether or not the frame is known yet.
    const QMargins frame = ExpectedFrameMargins(this);
    const QSize outer = size().grownBy(frame);
    const QPoint topLeft =
        owner->frameGeometry().center() - QPoint(outer.width() / 2, outer.height() / 2);
    move(topLeft);
    if (QWindow* window = windowHandle())
        window->setFramePosition(topLeft);
}
