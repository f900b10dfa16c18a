#include "Dialogs.h"

#include "common/Seam.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace {

class QtDialogs final : public IDialogs {
public:
    int Message(const MessageRequest& request) override {
        QMessageBox box(request.owner);
        box.setWindowTitle(request.title);
        box.setText(request.text);
        switch (request.type) {
        case MsgType::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case MsgType::Error:
            box.setIcon(QMessageBox::Critical);
            break;
        case MsgType::Information:
            box.setIcon(QMessageBox::Information);
            break;
        }
        QMessageBox::StandardButtons buttons;
        if (request.buttons & mbYes)
            buttons |= QMessageBox::Yes;
        if (request.buttons & mbNo)
            buttons |= QMessageBox::No;
        if (request.buttons & mbOK)
            buttons |= QMessageBox::Ok;
        if (request.buttons & mbCancel)
            buttons |= QMessageBox::Cancel;
        if (!buttons)
            buttons = QMessageBox::Ok;
        box.setStandardButtons(buttons);
        // Application-modal: every other window of the program is disabled while it is shown.
        box.setWindowModality(Qt::ApplicationModal);
        box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
        box.show();
        box.raise();
        box.activateWindow();
        switch (box.exec()) {
        case QMessageBox::Yes:
            return mbYes;
        case QMessageBox::No:
            return mbNo;
        case QMessageBox::Cancel:
            return mbCancel;
        default:
            return mbOK;
        }
    }

    QString OpenFileName(QWidget* owner, const QString& filter) override {
        QFileDialog dialog(owner, QString(), QString(), filter);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // A name that does not exist is not refused here: loading reports it.
        dialog.setFileMode(QFileDialog::AnyFile);
        return Run(dialog);
    }

    QString SaveFileName(QWidget* owner, const QString& filter) override {
        QFileDialog dialog(owner, QString(), QString(), filter);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
        return Run(dialog);
    }

    QStringList OpenFileNames(QWidget* owner, const QString& filter) override {
        QFileDialog dialog(owner, QString(), QString(), filter);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setDefaultSuffix(QString());
        if (dialog.exec() != QDialog::Accepted)
            return {};
        return dialog.selectedFiles();
    }

    std::optional<QString> Passphrase(QWidget* owner, const QString& prompt) override {
        bool ok = false;
        QString text = QInputDialog::getText(owner, QStringLiteral("Orvane"), prompt,
                                             QLineEdit::Password, QString(), &ok);
        if (!ok)
            return std::nullopt;
        return text;
    }

    int Choose(QWidget* owner, const QString& text, const QStringList& choices) override {
        QMessageBox box(owner);
        box.setWindowTitle(QStringLiteral("Orvane"));
        box.setIcon(QMessageBox::Question);
        box.setText(text);
        QList<QAbstractButton*> buttons;
        for (const QString& choice : choices)
            buttons.push_back(box.addButton(choice, QMessageBox::AcceptRole));
        box.addButton(QMessageBox::Cancel);
        if (!buttons.isEmpty())
            box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
        box.exec();
        return static_cast<int>(buttons.indexOf(box.clickedButton()));
    }

    std::optional<int> Number(QWidget* owner, const QString& prompt, int min, int max,
                              int value) override {
        bool ok = false;
        const int number =
            QInputDialog::getInt(owner, QStringLiteral("Orvane"), prompt, value, min, max, 1, &ok);
        if (!ok)
            return std::nullopt;
        return number;
    }

private:
    static QString Run(QFileDialog& dialog) {
        dialog.setDefaultSuffix(QString());
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    }
};

constexpr auto DialogsSeam = SeamOf<IDialogs, QtDialogs>;

} // namespace

IDialogs& Dialogs() {
    return DialogsSeam().Get();
}

void SetDialogs(IDialogs* dialogs) {
    DialogsSeam().Set(dialogs);
}
