#pragma once
// The main window: the administrator's one workplace.
//
// The tab "Инициализация" (InitTab) holds every setting of the initialization run and starts it;
// the tab "Разблокировка" (UnblockTab) computes challenge-response codes and resets a blocked
// token's PIN. The window owns the unblock key with its two load marks, the two
// duplication-group keys, the one reader session that holds the token chosen in either device
// list, and the menu.

#include "card/TokenSession.h"
#include "engine/KeyCheck.h"
#include "init/Dialogs.h"
#include "init/InitSettings.h"
#include "shell/InitTab.h"
#include "shell/TabHost.h"
#include "shell/UnblockTab.h"

#include <QMainWindow>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class AboutDialog;
class JournalWindow;
class ManualWindow;
class QAction;
class QTabWidget;

class MainWindow : public QMainWindow, public IInitSettings, public TabHost {
    Q_OBJECT
public:
    static constexpr std::array<std::uint8_t, 16> DefaultUnblockKey = kDefaultUnblockKey;
    static inline const QString KeyFilter = QStringLiteral("Key (*.key)");

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The run that BtnInit starts (the progress dialog), and the windows of the menu "Помощь".
    void SetInitRunner(IInitRunner* runner) { initRunner_ = runner; }
    IInitRunner* InitRunner() const override { return initRunner_; }
    // The windows of the menu "Помощь", made when first asked for and kept.
    ManualWindow& Manual();
    AboutDialog& About();

    // What the initialization run reads, at the moment it asks.
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
    const std::array<std::uint8_t, 16>& UnblockKey() const override { return unblockKey_; }
    const std::array<std::uint8_t, 32>& GroupKeyRSA() const override { return groupKeyRsa_; }
    const std::array<std::uint8_t, 32>& GroupKeyDSTU() const override { return groupKeyDstu_; }

    // The window's message box: Yes/No, OK/Cancel or OK alone; answers the button pressed.
    int ShowMessageBox(const QString& text, MsgType type, int buttons,
                       int helpContext = 0) override;
    // Refills both device lists from the readers attached now; the selection is not touched.
    void FillReaderLists() override;
    // Either device list chose a reader: the window's session now holds it.
    void SelectDevice(const QString& name) override;

    // The unblock key and its file: LoadUnblockKey asks for the file, LoadUnblockKeyFrom loads
    // the one given (the same checks, questions and messages).
    void LoadUnblockKey(KeyMark mark) override;
    void LoadUnblockKeyFrom(const QString& path, KeyMark mark);
    void GenerateUnblockKey() override;
    bool IsKeyLoaded(KeyMark mark) const override;
    // "KCV: 8BAF47" for the key in force, "KCV: … (по умолчанию)" for the built-in one: the text
    // beside both key buttons and their tooltip.
    QString KeyCheckText() const;

    // A group number changed: its group key is made anew.
    void RenewRsaGroupKey() override;
    void RenewDstuGroupKey() override;
    // Makes again the group keys whose random source failed; false when one still failed.
    bool EnsureGroupKeys() override;

    // The reader session shared by both tabs.
    TokenSession& CardReader() override { return *reader_; }

    // "Журнал инициализации...": the journal window, made at its first opening and kept, so its
    // size and column widths stay while the program runs.
    void ShowJournal();
    JournalWindow* Journal() const { return journal_; }

    // Menu handlers: "Выход", "О программе", "Инструкция".
    void Quit();
    void ShowAbout();
    void ShowInstruction();

    QTabWidget* tabs = nullptr;
    InitTab* initTab = nullptr;
    UnblockTab* unblockTab = nullptr;
    QAction* journalAction = nullptr;
    QAction* N2 = nullptr;
    QAction* N8 = nullptr;
    QAction* N7 = nullptr;

protected:
    // The tab bar asks the tab "Инициализация" before it switches away from it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void CreateMenu();
    void SetLoadMark(KeyMark mark);
    // Shows the key check value of the key in force beside both key buttons.
    void ShowKeyCheck();
    // Asks before a key from a file comes into force when the file is open to others or the key
    // is weak; true when it may.
    bool AcceptKeyFromFile(const UnblockKeyBytes& key, unsigned permissions);
    void RefillGroupKey(std::array<std::uint8_t, 32>& key, bool& made);

    std::unique_ptr<TokenSession> reader_;
    IInitRunner* initRunner_ = nullptr;
    ManualWindow* manual_ = nullptr;
    AboutDialog* about_ = nullptr;
    JournalWindow* journal_ = nullptr;
    std::array<std::uint8_t, 16> unblockKey_ = DefaultUnblockKey;
    std::array<std::uint8_t, 32> groupKeyRsa_{};
    std::array<std::uint8_t, 32> groupKeyDstu_{};
    // False while a group key holds no bytes from the system's random source.
    bool groupKeyRsaMade_ = false;
    bool groupKeyDstuMade_ = false;
    bool markBtnLoad_ = false;
    bool markBtnLoadKey_ = false;
};
