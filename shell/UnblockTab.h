#pragma once
// The tab "Разблокировка": the challenge-response with the unblock key in force ("C/R") and the
// PIN reset of an attached token with that key ("Разблокировка смарт-карты").

#include "card/TokenSession.h"
#include "init/Dialogs.h"
#include "shell/SharedKeys.h"

#include <QStringList>
#include <QWidget>

class ChallengeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class ReaderComboBox;
class UnblockKeyFiles;

class UnblockTab : public QWidget {
    Q_OBJECT
public:
    // When the tab's controls are made: with the tab, or later, at MakeControls or as soon as the
    // tab is shown or one of its functions needs them (the program's start, whose first paint
    // shows only the other tab).
    enum class Controls { Now, Later };

    // `reader` is the session both device lists of the window select into.
    UnblockTab(SharedKeys& keys, UnblockKeyFiles& keyFiles, TokenSession& reader,
               QWidget* parent = nullptr, Controls when = Controls::Now);

    // Makes the controls unless they are there: they show the key in force and the readers set
    // meanwhile.
    void MakeControls();
    // The controls are made before the tab first shows, so it never shows empty.
    void setVisible(bool visible) override;

    // Replaces the device list's entries, none chosen.
    void SetReaders(const QStringList& names);
    // "Отклик": checks the challenge, asks for the key when it is not loaded, shows the response.
    void ShowResponse();
    // "Изменить ПИН-код": checks the key, the two entries and the device, then resets the PIN.
    void ChangePin();

signals:
    // The device list is about to open: the window refills it with the readers attached now.
    void readerListOpening();

private:
    bool ControlsMade() const { return loadKeyButton_ != nullptr; }
    void CreateControls();
    void ResetPin();
    // Shows the key in force: its KCV, and "Загружен" once a key came through this tab.
    void ShowKey(KeyMark mark);
    void ShowKeyCheck();
    int Tell(const QString& text, MsgType type, int buttons);

    SharedKeys& keys_;
    UnblockKeyFiles& keyFiles_;
    TokenSession& reader_;
    // The device list's entries while the controls are still to be made.
    QStringList readers_;

    QPushButton* loadKeyButton_ = nullptr;
    QLabel* keyCheckLabel_ = nullptr;
    ChallengeEdit* challengeEdit_ = nullptr;
    QLineEdit* responseEdit_ = nullptr;
    QPushButton* responseButton_ = nullptr;
    ReaderComboBox* deviceList_ = nullptr;
    QLineEdit* newPinEdit_ = nullptr;
    QLineEdit* confirmPinEdit_ = nullptr;
    QPushButton* changePinButton_ = nullptr;
};
