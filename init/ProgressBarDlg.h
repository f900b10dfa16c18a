#pragma once
// The initialization run: a small modal progress dialog that initializes one token after another
// in the chosen reader until the administrator presses Esc.
//
// Enter starts the first token. After a success the dialog blinks "Инициализация закончена.
// Извлеките смарт-карту" until the token is taken out, then blinks "Вставьте следующую
// смарт-карту" and starts the next attempt by itself as soon as a token is in the reader. After a
// failure it waits for Enter (retry on whatever is in the reader) or Esc.
//
// Two threads take part. The worker (TNewThread) only hands the next-token check (WaitNextCard)
// to the user-interface thread, synchronously, while its pause count is 0. Everything else (the
// dialog, the reader session, the commands, the log) runs on the user-interface thread.

#include "init/Dialogs.h"
#include "init/InitSettings.h"

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

class QCloseEvent;
class QFrame;
class QKeyEvent;
class QLabel;
class QProgressBar;
class TCCReader;
class TFrmProgbar;

// The run's worker. It is created paused (count 1); Pause adds one, Resume takes one away (never
// below 0), and the worker runs only while the count is 0.
class TNewThread : public QThread {
    Q_OBJECT
public:
    explicit TNewThread(TFrmProgbar* dialog);
    // Stops and joins the worker (see Stop).
    ~TNewThread() override;

    void Pause();
    void Resume();
    bool Paused() const;
    int PauseCount() const;

    // Ends the worker for good and joins it. A hand-over that is still queued is dropped, so the
    // join never waits for the user-interface thread. Must not be called from inside
    // WaitNextCard (InHandOver); use RequestStop there.
    void Stop();
    // Asks the worker to end without waiting for it.
    void RequestStop();
    bool StopRequested() const;
    // True while WaitNextCard runs on the user-interface thread.
    bool InHandOver() const { return HandOverDepth > 0; }

    // One blink of the insert-next-token text and one presence check; runs on the user-interface
    // thread. Does nothing once the run has ended or while the worker is paused.
    void WaitNextCard();

protected:
    // The polling loop (Execute): hand WaitNextCard over while not paused, until stopped.
    void run() override;

private:
    QPointer<TFrmProgbar> Dialog;
    mutable std::mutex Mutex;
    std::condition_variable Wake;
    int Count = 1;
    bool Stopping = false;
    int HandOverDepth = 0; // user-interface thread only
};

class TFrmProgbar : public QDialog, public IInitRunner {
    Q_OBJECT
    friend class TNewThread;

public:
    explicit TFrmProgbar(IInitSettings& settings, QWidget* mainWindow = nullptr);
    ~TFrmProgbar() override;

    // Opens a run for the reader and returns when the dialog has closed. The run's session and
    // worker are released before it returns.
    void RunInitialization(const std::string& readerName) override;

    // Enter (13) starts an attempt, Esc (27) ends the run; other keys do nothing.
    void FormKeyPress(int key);
    // One attempt on whatever is in the reader, with the working text shown.
    void StartAttempt();
    // Moves the progress bar, waits 50 ms and repaints at once.
    void SetProgress(int position);
    // Gives back one pause of the next-token polling.
    void ResumePolling();
    // The status text turns red and shows `text`.
    void ShowStatusError(const QString& text);
    // The command sequence of one attempt. True after a complete initialization and the end of
    // the removal wait; false after a reported failure.
    bool InitializeCard();

    // The run's reader session and worker; null outside a run.
    TCCReader* Session() const { return RunSession.get(); }
    TNewThread* Worker() const { return CurrentWorker.get(); }
    // Set when the run opens and after every attempt; cleared by Esc. The removal wait goes on
    // only while it is set.
    bool Active() const { return ActiveFlag; }

    // Colours of the status text.
    static QColor DesktopColour();
    static QColor SuccessColour();
    static QColor ErrorColour();
    QColor HotLightColour() const;

    QFrame* Panel1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;

public slots:
    // Whatever would dismiss the dialog (the window manager, a shortcut) acts like Esc.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void SetStatus(const QString& text, const QColor& colour, bool bold);
    void EndRun();

    IInitSettings& Settings;
    std::unique_ptr<TCCReader> RunSession;
    std::unique_ptr<TNewThread> CurrentWorker;
    bool ActiveFlag = false;
    bool Closing = true;    // no run open, or Esc already served
    bool InAttempt = false; // an attempt is under way (Enter is ignored meanwhile)
};

// The dialog's one instance, created by the program at start.
extern TFrmProgbar* FrmProgbar;

// Reports a failed step: a system-modal box owned by the dialog, then the log line, then the red
// status text.
void ReportInitError(TFrmProgbar& dialog, const QString& text, MsgType kind);

// The value of the first `positions` characters read as upper-case hexadecimal digits; any other
// character, and a position past the end of the text, adds nothing ("5" reads as 50 hex).
int HexToInt(const QString& text, int positions);

// Appends one line to the day's initialization log: a success line when `failureText` is empty,
// else an error line carrying it. Every input/output failure is silent.
void WriteInitLog(const std::string& cardId, const QString& failureText = QString());
