#pragma once
// Small pieces both tabs of the main window build their controls with.

#include "init/Dialogs.h"

#include <QString>
#include <QValidator>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// A plain-text label, named for tests and accessibility when `name` is given.
QLabel* NewLabel(const QString& text, QWidget* parent, const QString& name = QString());

// A group box with its caption in bold and its controls in the regular font of its parent. The
// controls go into `contents`, which fills the box and has no layout yet: the caption turns bold
// before any control exists, so none is laid out again in another font.
struct CaptionedGroup {
    QGroupBox* box;
    QWidget* contents;
};
CaptionedGroup NewCaptionedGroup(const QString& caption, QWidget* parent);

// Gives `widget` its object name (the control's name in the window) and returns it.
template <typename T> T* Named(T* widget, const QString& name) {
    widget->setObjectName(name);
    return widget;
}

// Accepts only text that code page 1251 can hold: PIN-type values go to the token in it.
class Cp1251Validator final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override;
};

// Empties a field that held a PIN. Setting the text, unlike clear(), also drops the field's undo
// history, so the PIN cannot be brought back with Ctrl+Z and no copy of it stays there.
void EmptySecretField(QLineEdit* field);

// Enter (and the keypad's Enter) presses `button` while it has the focus, as Space does. Buttons
// of the main window are not in a dialog, so Qt gives them no Enter of their own.
void PressOnEnter(QPushButton* button);

// The main window's message box, opened from any widget inside it: the window's title, modal for
// the whole program; Yes/No, OK/Cancel or OK alone. Answers the button pressed.
int WindowMessage(QWidget* from, const QString& text, MsgType type, int buttons);

// A "Загрузить" button once a key came into force through it: "Загружен" in bold.
void ShowKeyLoaded(QPushButton* button);
