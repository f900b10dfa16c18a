#pragma once
// The instruction window: the user manual embedded in the program, in a read-only rich-text
// view, opened modally from the main window's menu "Помощь" > "Инструкция".

#include <QDialog>

class QTextBrowser;

class THelpFrm : public QDialog {
    Q_OBJECT
public:
    explicit THelpFrm(QWidget* parent = nullptr);
    ~THelpFrm() override;

    // Replaces the view's content with the embedded manual, read anew each time.
    void LoadManual();
    // Loads the manual and shows the window modally; returns when it is closed.
    void ShowInstruction();

    QTextBrowser* redHelp;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool FOuterSizeSet = false;
};

// The one instruction window, created at program start.
extern THelpFrm* HelpFrm;
