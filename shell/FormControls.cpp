#include "FormControls.h"

#include "init/AnsiText.h"

#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

QLabel* NewLabel(const QString& text, QWidget* parent, const QString& name) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    if (!name.isEmpty())
        label->setObjectName(name);
    return label;
}

QValidator::State Cp1251Validator::validate(QString& input, int&) const {
    return IsCp1251Text(input) ? Acceptable : Invalid;
}

CaptionedGroup NewCaptionedGroup(const QString& caption, QWidget* parent) {
    auto* box = new QGroupBox(caption, parent);
    QFont regular = box->font();
    regular.setBold(false); // set, not inherited: the contents keep it under the bold caption
    QFont bold = regular;
    bold.setBold(true);
    box->setFont(bold);
    auto* contents = new QWidget(box);
    contents->setFont(regular);
    auto* frame = new QVBoxLayout(box);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->addWidget(contents);
    return {box, contents};
}

void EmptySecretField(QLineEdit* field) {
    field->setText(QString());
}

namespace {

class EnterPresses final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) ||
            (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button == nullptr || !button->isEnabled())
            return false;
        button->click();
        return true;
    }
};

} // namespace

void PressOnEnter(QPushButton* button) {
    button->installEventFilter(new EnterPresses(button));
}

int WindowMessage(QWidget* from, const QString& text, MsgType type, int buttons) {
    MessageRequest request;
    request.owner = from->window();
    request.title = request.owner->windowTitle();
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

void ShowKeyLoaded(QPushButton* button) {
    QFont font = button->font();
    font.setBold(true);
    button->setFont(font);
    button->setText(QStringLiteral("Загружен"));
}
