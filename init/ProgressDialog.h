#pragma once
// The initialization run's window: a small modal progress dialog that initializes one token after
// another in the chosen reader until the administrator presses Esc.
//
// Enter starts the first token. After a success the dialog blinks "Инициализация закончена.
// Извлеките смарт-карту" until the token is taken out, then blinks "Вставьте следующую
// смарт-карту" and starts the next attempt by itself as soon as a token is in the reader. After a
// failure it waits for Enter (retry on whatever is in the reader) or Esc. The dialog is the view;
// the run's states live in InitRun, the command sequence in the token engine.

#include "init/InitRun.h"
#include "init/InitSettings.h"
#include "init/RunView.h"

#include <QDialog>
#include <QString>

#include <string>

class QCloseEvent;
class QFrame;
class QKeyEvent;
class QLabel;
class QProgressBar;

class ProgressDialog : public QDialog, public IInitRunner, private RunView {
    Q_OBJECT
public:
    explicit ProgressDialog(IInitSettings& settings, QWidget* mainWindow = nullptr);
    ~ProgressDialog() override;

    // Opens a run for the reader and returns when the dialog has closed; the run's session is
    // released before it returns. Refused while a run is open or still unwinding.
    bool RunInitialization(const std::string& readerName) override;

    // Enter starts an attempt (in Ready, Failed and the wait for the next token); Escape ends
    // the run (not during an attempt). Other keys do nothing.
    void PressEnter();
    void PressEscape();

    // The run and its session (null outside a run).
    InitRun& Run() { return *run_; }
    const InitRun& Run() const { return *run_; }
    TokenSession* Session() const { return run_->Session(); }
    // A run is open and Esc has not ended it.
    bool Active() const;

    // The looks of the run's states (the run shows them through RunView).
    void ShowReady();
    void ShowAttempt() override;
    void ShowDone() override;
    void ShowWaiting() override;
    void ShowFailed() override;
    void ShowServiceAway() override;
    void ShowNextToken() override;
    void SetProgress(int position) override;
    void ToggleStatus() override;
    bool StatusShown() const override;
    // The attempt's log line could not be written.
    void ShowLogLineLost() override;

    // Colours of the status text.
    static QColor DesktopColour();
    static QColor SuccessColour();
    static QColor ErrorColour();
    QColor HotLightColour() const;

public slots:
    // Whatever would dismiss the dialog (the window manager, a shortcut) acts like Esc.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // A box of a run belongs to the dialog while it shows, else to the main window.
    QWidget* MessageOwner() override {
        return isVisible() || parentWidget() == nullptr ? this : parentWidget();
    }
    void SetStatus(const QString& text, const QColor& colour, bool bold);

    InitRun* run_ = nullptr;
    QFrame* panel_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLabel* hintLabel_ = nullptr;
};
