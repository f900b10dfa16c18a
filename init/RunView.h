#pragma once
// What the window's initialization run shows, and where its message boxes belong: the progress
// dialog implements it; the run (InitRun) knows nothing else of the dialog.

class QWidget;

class RunView {
public:
    virtual ~RunView() = default;
    // The looks of the run's states.
    virtual void ShowAttempt() = 0;
    virtual void ShowDone() = 0;
    virtual void ShowWaiting() = 0;
    virtual void ShowFailed() = 0;
    // While the smart-card service does not answer in a wait, and the waiting look once it does.
    virtual void ShowServiceAway() = 0;
    virtual void ShowNextToken() = 0;
    // The attempt's log line could not be written.
    virtual void ShowLogLineLost() = 0;
    // Moves the progress bar, waits 50 ms and repaints at once.
    virtual void SetProgress(int position) = 0;
    // One blink: the status text appears or disappears.
    virtual void ToggleStatus() = 0;
    virtual bool StatusShown() const = 0;
    // The window the run's message boxes belong to (the dialog while it is open, else the main
    // window), and their title.
    virtual QWidget* MessageOwner() = 0;
};
