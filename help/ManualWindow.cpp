#include "ManualWindow.h"

#include "HelpResources.h"

#include <QFile>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QWindow>

namespace {
// Size of the window including its frame.
constexpr QSize kOuterSize(500, 600);
} // namespace

ManualWindow::ManualWindow(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint) {
    InitOrvaneResources();
    setObjectName("HelpFrm");
    setWindowTitle(QStringLiteral("Инструкция"));
    setSizeGripEnabled(true);

    browser_ = new QTextBrowser(this);
    browser_->setObjectName("redHelp");
    browser_->setReadOnly(true);
    browser_->setOpenLinks(false);
    browser_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    browser_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    browser_->setLineWrapMode(QTextEdit::WidgetWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);

    // The frame is not known before the window is first shown; until then the client area
    // takes the whole size.
    resize(kOuterSize);
}

void ManualWindow::LoadManual() {
    browser_->clear();
    QFile doc(QStringLiteral(":/helpdoc"));
    if (!doc.open(QIODevice::ReadOnly))
        return;
    // Blanks after the last tag would end up as a blank after the last word.
    browser_->setHtml(QString::fromUtf8(doc.readAll()).trimmed());
}

void ManualWindow::ShowInstruction() {
    LoadManual();
    exec();
}

void ManualWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    ApplyOuterSize();
}

bool ManualWindow::event(QEvent* event) {
    // The window manager's frame becomes known a moment after the first show, when the window
    // is placed into it.
    if (!outerSizeSet_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
                           event->type() == QEvent::WindowActivate))
        ApplyOuterSize();
    return QDialog::event(event);
}

void ManualWindow::ApplyOuterSize() {
    if (outerSizeSet_ || windowHandle() == nullptr || !isVisible())
        return;
    const QMargins frame = ExpectedFrameMargins(this);
    if (frame.isNull())
        return;
    const QSize client(kOuterSize.width() - frame.left() - frame.right(),
                       kOuterSize.height() - frame.top() - frame.bottom());
    if (size() != client)
        resize(client);
    // Done once the window's own frame is known; an expected frame is checked again then.
    outerSizeSet_ = !windowHandle()->frameMargins().isNull();
}
