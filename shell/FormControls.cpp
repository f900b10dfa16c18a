#include "FormControls.h"

#include "init/AnsiText.h"

#include <QLabel>
#include <QLineEdit>

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

void EmptySecretField(QLineEdit* field) {
    field->setText(QString());
}
