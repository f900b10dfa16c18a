#pragma once
// The main window: the administrator's one workplace. It wires the menu, the two tabs and the
// keys they share: the tab "Инициализация" (InitTab) holds every setting of the initialization
// run and starts it; the tab "Разблокировка" (UnblockTab) computes challenge-response codes and
// resets a blocked token's PIN. Both device lists select into the one reader session the window
// owns. The secondary windows (progress dialog, instruction, About, journal) are made when first
// needed.

#include "card/TokenSession.h"
#include "init/InitSettings.h"
#include "shell/SharedKeys.h"

#include <QMainWindow>

#include <memory>

class AboutDialog;
class InitTab;
class JournalWindow;
class ManualWindow;
class ProgressDialog;
class QTabWidget;
class UnblockKeyFiles;
class UnblockTab;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // What the window makes before it is first on screen: every control, or all but those of the
    // tab "Разблокировка", which the first paint does not show (the program's start); those are
    // made at MakeAllControls, or when that tab is first opened.
    enum class Controls { All, FirstPaintOnly };

    explicit MainWindow(Controls controls = Controls::All, QWidget* parent = nullptr);
    ~MainWindow() override;
    // Makes the controls the window left for after its first paint; nothing when there are none.
    void MakeAllControls();

    // The keys both tabs share, and their files as the window loads and generates them.
    SharedKeys& Keys() { return keys_; }
    UnblockKeyFiles& KeyFiles() { return *keyFiles_; }
    // The reader session shared by both tabs.
    TokenSession& CardReader() { return *reader_; }
    // What the initialization run reads: the tab "Инициализация".
    IInitSettings& InitSettings();

    // The run the initialization button starts: the progress dialog, made at the first run,
    // unless another runner was installed.
    void SetInitRunner(IInitRunner* runner) { initRunner_ = runner; }
    ProgressDialog& Progress();
    // The progress dialog when one has been made.
    ProgressDialog* ProgressIfMade() const { return progress_; }
    // The windows of the menu "Помощь", made when first asked for and kept.
    ManualWindow& Manual();
    AboutDialog& About();
    // "Журнал инициализации...": the journal window, made at its first opening and kept, so its
    // size and column widths stay while the program runs.
    void ShowJournal();
    JournalWindow* Journal() const { return journal_; }

    // Refills both device lists from the readers attached now; the selection is not touched.
    void FillReaderLists();

    // Menu handlers: "Выход", "О программе", "Инструкция".
    void Quit();
    void ShowAbout();
    void ShowInstruction();

protected:
    // The tab bar asks the tab "Инициализация" before it switches away from it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls(Controls controls);
    void CreateMenu();

    SharedKeys keys_;
    std::unique_ptr<TokenSession> reader_;
    std::unique_ptr<UnblockKeyFiles> keyFiles_;
    QTabWidget* tabs_ = nullptr;
    InitTab* initTab_ = nullptr;
    UnblockTab* unblockTab_ = nullptr;
    IInitRunner* initRunner_ = nullptr;
    ProgressDialog* progress_ = nullptr;
    ManualWindow* manual_ = nullptr;
    AboutDialog* about_ = nullptr;
    JournalWindow* journal_ = nullptr;
};
