#pragma once
// A device list: a drop-down list without typing that announces each drop-down first, so the
// window can refill it with the readers attached at that moment. Reader names are long (maker,
// model, serial number, slot numbers) and two readers of one model differ only at the end: the
// open list is as wide as the longest name, and the chosen name is the list's tooltip.

#include <QComboBox>

class ReaderComboBox : public QComboBox {
    Q_OBJECT
public:
    // The entry no reader has: the empty choice (and the device name field's placeholder).
    static inline const QString kNone = QStringLiteral("<None>");
    static inline const QString kNoneChosen = QStringLiteral("Устройство не выбрано");

    explicit ReaderComboBox(QWidget* parent = nullptr);
    // Replaces the entries with `names`, none chosen.
    void SetReaders(const QStringList& names);
    void showPopup() override;
signals:
    void DropDown();
};
