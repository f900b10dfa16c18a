#include "ReaderComboBox.h"

ReaderComboBox::ReaderComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    connect(this, &QComboBox::currentTextChanged, this,
            [this](const QString& text) { setToolTip(text); });
}

void ReaderComboBox::SetReaders(const QStringList& names) {
    clear();
    addItems(names);
    setCurrentIndex(-1);
}

void ReaderComboBox::showPopup() {
    emit DropDown();
    // The open list takes the width of its longest name (Qt's own rule for drop-down lists).
    QComboBox::showPopup();
}
