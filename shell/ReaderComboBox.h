#pragma once
// A device list: a drop-down list without typing that announces each drop-down first, so the
// window can refill it with the readers attached at that moment.

#include <QComboBox>

class ReaderComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;
signals:
    void DropDown();
};
