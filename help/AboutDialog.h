#pragma once
// The About box: program icon, name and file version; opened modally from the main window's
// menu "Помощь" > "О программе".

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    QFrame* Panel1;
    QLabel* ProgramIcon;
    QLabel* ProductName;
    QLabel* Version;
    QLabel* Label1;
    QPushButton* OKBtn;

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Puts the program's file version into Label1; without one, Label1 keeps its text.
    void ShowFileVersion();
    void CentreOnParent();
};
