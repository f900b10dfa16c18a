#include "ReaderComboBox.h"

void ReaderComboBox::showPopup() {
    emit DropDown();
    QComboBox::showPopup();
}
