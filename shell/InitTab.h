#pragma once
// The tab "Инициализация": every setting of the initialization run, the rules that enable its
// fields, and the button that checks them and starts the run.

#include "shell/ReaderComboBox.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

class TabHost;

class InitTab : public QWidget {
    Q_OBJECT
public:
    explicit InitTab(TabHost& window);

    // Event handlers, named after their control and event.
    void TogglePukField();
    void UpdateKeyButtons();
    void UpdateRsaGroupField();
    void UpdateDstuGroupField();
    void CheckGroupNumber(QLineEdit* field);
    void ClearNoNamePlaceholder();
    void RestoreNoNamePlaceholder();
    // Called before the other tab is shown: while a group number field holding an empty or zero
    // number has the focus, its warning comes first and the tab stays (true: keep this tab).
    bool RefuseLeavingTab();
    // Checks the fields, asks about what will be blocked and starts the run for the selected
    // reader; PIN and PUK fields are emptied after the run.
    void StartInitialization();

    ReaderComboBox* cbRdrList2 = nullptr;
    QLineEdit* EdPIN = nullptr;
    QCheckBox* cbAllowPUK = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* EdPUK = nullptr;
    QCheckBox* cbCRKey = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* BtnLoad = nullptr;
    QPushButton* BtnGenerate = nullptr;
    // The key check value of the key in force (the main window keeps it up to date).
    QLabel* LblKcv = nullptr;
    QLineEdit* EdDeviceName = nullptr;
    QCheckBox* cbDublGroupRSA = nullptr;
    QLabel* lblGroupRSA = nullptr;
    QLineEdit* edGroupRSA = nullptr;
    QCheckBox* cbDublGroupDSTU = nullptr;
    QLabel* lblGroupDSTU = nullptr;
    QLineEdit* edGroupDSTU = nullptr;
    // Every token is asked for its card number, for the log (off by default).
    QCheckBox* cbReadCardNumber = nullptr;
    QPushButton* BtnInit = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();

    static bool IsBadGroupNumber(const QString& text);

    TabHost& window_;
    bool checkingGroup_ = false;
    // The group number field that has the focus, if one has.
    QLineEdit* focusedGroupField_ = nullptr;
};
