#pragma once
// The main window: the administrator's one workplace.
//
// The tab "Инициализация" holds every setting of the initialization run and starts it; the tab
// "Разблокировка" computes challenge-response codes and resets a blocked token's PIN. The window
// owns the settings (its controls), the unblock key with its two load marks, the two
// duplication-group keys and the one reader session that holds the token chosen in either device
// list.

#include "card/CCReader.h"
#include "init/Dialogs.h"
#include "init/InitSettings.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMainWindow>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTabWidget;

// A device list: a drop-down list without typing that announces each drop-down first, so the
// window can refill it with the readers attached at that moment.
class TReaderComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;
signals:
    void DropDown();
};

// The challenge field. Keys go through the window's handlers; the only other way in is a paste
// from the context menu, which goes in upper case, as pasted, up to 24 characters in all.
class TChallengeEdit : public QLineEdit {
    Q_OBJECT
public:
    static constexpr int MaxChars = 24;
    using QLineEdit::QLineEdit;
    // Pastes the clipboard text at the caret as the context menu does.
    void PasteFromMenu();
    // The Paste entry of the field's standard context menu.
    static bool IsPasteAction(const QAction* action);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// Which button's load mark a key load sets.
enum class TKeyMark { BtnLoad, BtnLoadKey };

// Challenge and response texts: eight groups of two hexadecimal digits separated by blanks.
QString GroupHexPairs(const QString& text);
bool IsChallengeValid(const QString& text);
int HexPairValue(const QString& text, int count);
Bytes ParseChallenge(const QString& text, int length);
QString FormatResponse(const std::uint8_t* bytes, int count);

class TFrmMain : public QMainWindow, public IInitSettings {
    Q_OBJECT
public:
    static constexpr std::array<std::uint8_t, 16> DefaultUnblockKey = {
        0x12, 0x24, 0x36, 0x48, 0x5A, 0x6C, 0x7E, 0x90,
        0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2};
    static inline const QString KeyFilter = QStringLiteral("Key (*.key)");
    static inline const QString NoDevice = QStringLiteral("<None>");

    explicit TFrmMain(QWidget* parent = nullptr);
    ~TFrmMain() override;

    // The run that BtnInit starts (the progress dialog).
    void SetInitRunner(IInitRunner* runner) { FInitRunner = runner; }

    // What the initialization run reads, at the moment it asks.
    QString PinText() const override;
    QString PukText() const override;
    bool AllowPuk() const override;
    bool UseUnblockKey() const override;
    bool DublGroupRSA() const override;
    QString GroupRSAText() const override;
    bool DublGroupDSTU() const override;
    QString GroupDSTUText() const override;
    QString DeviceNameText() const override;
    const std::array<std::uint8_t, 16>& UnblockKey() const override { return FUnblockKey; }
    const std::array<std::uint8_t, 32>& GroupKeyRSA() const override { return FGroupKeyRSA; }
    const std::array<std::uint8_t, 32>& GroupKeyDSTU() const override { return FGroupKeyDSTU; }

    // The window's message box: Yes/No, OK/Cancel or OK alone; answers the button pressed.
    int ShowMessageBox(const QString& text, MsgType type, int buttons, int helpContext = 0);
    // Refills both device lists from the readers attached now; the selection is not touched.
    void FillReaderLists();

    // The unblock key and its file.
    void LoadUnblockKey(TKeyMark mark);
    void GenerateUnblockKey();
    bool IsKeyLoaded(TKeyMark mark) const;

    // The reader session shared by both tabs.
    TCCReader& CardReader() { return *FReader; }

    // Event handlers.
    void SelectDevice(const QString& name);
    void cbAllowPUKClick();
    void cbCRKeyChange();
    void cbDublGroupRSAClick();
    void cbDublGroupDSTUClick();
    void edGroupRSAChange();
    void edGroupDSTUChange();
    void edGroupExit(QLineEdit* field);
    void EdDeviceNameEnter();
    void EdDeviceNameExit();
    void BtnInitClick();
    void BtnLoadClick() { LoadUnblockKey(TKeyMark::BtnLoad); }
    void BtnLoadKeyClick() { LoadUnblockKey(TKeyMark::BtnLoadKey); }
    void BtnGenerateClick() { GenerateUnblockKey(); }
    // Challenge keystrokes; each answers true when the field's own handling must not take place.
    bool EdCallengeKeyDown(int key, Qt::KeyboardModifiers modifiers);
    bool EdCallengeKeyPress(QChar ch);
    void Button1Click();
    void BtnUnblOkClick();
    void N2Click();
    void N7Click();
    void N8Click();

    // Tab "Инициализация".
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    TReaderComboBox* cbRdrList2 = nullptr;
    QLineEdit* EdPIN = nullptr;
    QCheckBox* cbAllowPUK = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* EdPUK = nullptr;
    QCheckBox* cbCRKey = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* BtnLoad = nullptr;
    QPushButton* BtnGenerate = nullptr;
    QLineEdit* EdDeviceName = nullptr;
    QCheckBox* cbDublGroupRSA = nullptr;
    QLabel* lblGroupRSA = nullptr;
    QLineEdit* edGroupRSA = nullptr;
    QCheckBox* cbDublGroupDSTU = nullptr;
    QLabel* lblGroupDSTU = nullptr;
    QLineEdit* edGroupDSTU = nullptr;
    QPushButton* BtnInit = nullptr;
    // Tab "Разблокировка".
    QPushButton* BtnLoadKey = nullptr;
    TChallengeEdit* EdCallenge = nullptr;
    QLineEdit* EdResponse = nullptr;
    QPushButton* Button1 = nullptr;
    TReaderComboBox* cbRdrList = nullptr;
    QLineEdit* EdNewPin_1 = nullptr;
    QLineEdit* edNewPin_2 = nullptr;
    QPushButton* BtnUnblOk = nullptr;
    // Menu.
    QAction* N2 = nullptr;
    QAction* N8 = nullptr;
    QAction* N7 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    QWidget* CreateInitTab();
    QWidget* CreateUnblockTab();
    void CreateMenu();
    void SetLoadMark(TKeyMark mark);
    void RefillGroupKey(std::array<std::uint8_t, 32>& key, bool& made);
    bool EnsureGroupKeys();
    bool ResetPin();

    std::unique_ptr<TCCReader> FReader;
    IInitRunner* FInitRunner = nullptr;
    std::array<std::uint8_t, 16> FUnblockKey = DefaultUnblockKey;
    std::array<std::uint8_t, 32> FGroupKeyRSA{};
    std::array<std::uint8_t, 32> FGroupKeyDSTU{};
    // False while a group key holds no bytes from the system's random source.
    bool FGroupKeyRSAMade = false;
    bool FGroupKeyDSTUMade = false;
    bool FMarkBtnLoad = false;
    bool FMarkBtnLoadKey = false;
    bool FCheckingGroup = false;
};

extern TFrmMain* FrmMain;
