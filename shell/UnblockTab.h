#pragma once
// The tab "Разблокировка": the challenge-response with the loaded unblock key ("C/R") and the PIN
// reset of an attached token with that key ("Разблокировка смарт-карты").

#include "shell/ChallengeEdit.h"
#include "shell/ReaderComboBox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

class TabHost;

class UnblockTab : public QWidget {
    Q_OBJECT
public:
    explicit UnblockTab(TabHost& window);

    // "Отклик": checks the challenge, asks for the key when it is not loaded, shows the response.
    void ShowResponse();
    // "Изменить ПИН-код": checks the key, the two entries and the device, then resets the PIN.
    void ChangePin();

    QPushButton* BtnLoadKey = nullptr;
    // The key check value of the key in force (the main window keeps it up to date).
    QLabel* LblKcvKey = nullptr;
    ChallengeEdit* EdCallenge = nullptr;
    QLineEdit* EdResponse = nullptr;
    QPushButton* Button1 = nullptr;
    ReaderComboBox* cbRdrList = nullptr;
    QLineEdit* EdNewPin_1 = nullptr;
    QLineEdit* edNewPin_2 = nullptr;
    QPushButton* BtnUnblOk = nullptr;

private:
    void CreateControls();
    void ResetPin();

    TabHost& window_;
};
