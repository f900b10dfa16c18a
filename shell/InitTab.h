#pragma once
// The tab "Инициализация": every setting of the initialization run, the rules that enable its
// fields, and the button that checks them and starts the run. The run reads its settings from
// this tab (and the keys from the shared keys) at the moment it needs them.

#include "card/TokenSession.h"
#include "init/Dialogs.h"
#include "init/InitSettings.h"
#include "shell/SharedKeys.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class ReaderComboBox;
class UnblockKeyFiles;

class InitTab : public QWidget, public IInitSettings {
    Q_OBJECT
public:
    // Asked when the initialization starts with the unblock key chosen but none loaded.
    static constexpr const char* kKeyNotLoadedQuestion =
        "Ключ разблокировки не был загружен. Игнорировать?";

    // `reader` is the session both device lists of the window select into.
    InitTab(SharedKeys& keys, UnblockKeyFiles& keyFiles, TokenSession& reader,
            QWidget* parent = nullptr);

    // The run the initialization button starts, asked for when the button is pressed (the
    // window makes its progress dialog only then).
    void SetRunner(std::function<IInitRunner*()> runner) { runner_ = std::move(runner); }
    // Replaces the device list's entries, none chosen.
    void SetReaders(const QStringList& names);
    // Called before the other tab is shown: while a group number field holding an empty or zero
    // number has the focus, its warning comes first and the tab stays (true: keep this tab).
    bool RefuseLeavingTab();
    // Checks the fields, asks about what will be blocked and starts the run for the selected
    // reader; PIN and PUK fields are emptied after the run.
    void StartInitialization();

    // What the run reads.
    std::string PinText() const override;
    std::string PukText() const override;
    bool AllowPuk() const override;
    bool UseUnblockKey() const override;
    bool DublGroupRSA() const override;
    std::string GroupRSAText() const override;
    bool DublGroupDSTU() const override;
    std::string GroupDSTUText() const override;
    std::string DeviceNameText() const override;
    bool ReadCardNumber() const override;
    const std::array<std::uint8_t, 16>& UnblockKey() const override { return keys_.UnblockKey(); }
    const std::array<std::uint8_t, 32>& GroupKeyRSA() const override { return keys_.GroupKeyRsa(); }
    const std::array<std::uint8_t, 32>& GroupKeyDSTU() const override {
        return keys_.GroupKeyDstu();
    }

signals:
    // The device list is about to open: the window refills it with the readers attached now.
    void readerListOpening();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void ConnectControls();
    // Opens the station window: a run on every reader at once.
    void StartStation();
    void TogglePukField();
    void UpdateKeyButtons();
    void UpdateGroupField(QCheckBox* box, QLabel* label, QLineEdit* field);
    void CheckGroupNumber(QLineEdit* field);
    void ClearNoNamePlaceholder();
    void RestoreNoNamePlaceholder();
    // Shows the key in force: its KCV, and "Загружен" once a key came through this tab.
    void ShowKey(KeyMark mark);
    void ShowKeyCheck();
    int Tell(const QString& text, MsgType type, int buttons);

    static bool IsBadGroupNumber(const QString& text);

    SharedKeys& keys_;
    UnblockKeyFiles& keyFiles_;
    TokenSession& reader_;
    std::function<IInitRunner*()> runner_;
    bool checkingGroup_ = false;
    // The device list's entry for every reader (-1: none, fewer than two readers), and whether
    // it is the one chosen.
    int allReadersEntry_ = -1;
    bool allReaders_ = false;
    // The group number field that has the focus, if one has.
    QLineEdit* focusedGroupField_ = nullptr;

    ReaderComboBox* deviceList_ = nullptr;
    QLineEdit* pinEdit_ = nullptr;
    QCheckBox* allowPukBox_ = nullptr;
    QLabel* pukLabel_ = nullptr;
    QLineEdit* pukEdit_ = nullptr;
    QCheckBox* useKeyBox_ = nullptr;
    QLabel* keyLabel_ = nullptr;
    QPushButton* loadKeyButton_ = nullptr;
    QPushButton* generateKeyButton_ = nullptr;
    QLabel* keyCheckLabel_ = nullptr;
    QLineEdit* deviceNameEdit_ = nullptr;
    QCheckBox* rsaGroupBox_ = nullptr;
    QLabel* rsaGroupLabel_ = nullptr;
    QLineEdit* rsaGroupEdit_ = nullptr;
    QCheckBox* dstuGroupBox_ = nullptr;
    QLabel* dstuGroupLabel_ = nullptr;
    QLineEdit* dstuGroupEdit_ = nullptr;
    // Every token is asked for its card number, for the log (off by default).
    QCheckBox* readCardNumberBox_ = nullptr;
    QPushButton* initButton_ = nullptr;
};
