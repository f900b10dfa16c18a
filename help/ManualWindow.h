#pragma once
// The instruction window: the user manual embedded in the program, in a read-only rich-text
// view, opened modally from the main window's menu "Помощь" > "Инструкция".

#include <QDialog>

class QTextBrowser;

class ManualWindow : public QDialog {
    Q_OBJECT
public:
    explicit ManualWindow(QWidget* parent = nullptr);

    // Replaces the view's content with the embedded manual, read anew each time.
    void LoadManual();
    // Loads the manual and shows the window modally; returns when it is closed.
    void ShowInstruction();

protected:
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    // Makes the outer size 500 x 600 once the frame is known (or can be expected); later openings
    // keep whatever size the user gave the window.
    void ApplyOuterSize();

    QTextBrowser* browser_ = nullptr;
    bool outerSizeSet_ = false;
};
