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

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Puts the program's file version beside "Version"; without one, the label keeps its text.
    void ShowFileVersion();
    void CentreOnParent();

    QFrame* frame_ = nullptr;
    QLabel* iconLabel_ = nullptr;
    QLabel* nameLabel_ = nullptr;
    QLabel* versionCaption_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QPushButton* okButton_ = nullptr;
};
