#pragma once
// The program's modal dialogs behind one small seam: message boxes and the key-file dialogs.
// The real implementation shows Qt dialogs; tests install a double that records each request
// and answers it, so window logic runs offscreen without anybody clicking.

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

enum class MsgType { Warning, Error, Information };

// Buttons of a message box, combinable as a set.
enum MsgButton : int { mbYes = 0x01, mbNo = 0x02, mbOK = 0x04, mbCancel = 0x08 };

struct MessageRequest {
    QWidget* owner = nullptr; // the window that owns the box (centred on it, disabled under it)
    QString title;            // "Orvane", "Инициализация" or "Information"
    QString text;
    MsgType type = MsgType::Information;
    int buttons = mbOK;       // exactly the buttons to show
    bool systemModal = false; // kept above every window of the desktop
};

class IDialogs {
public:
    virtual ~IDialogs() = default;
    // Shows the box modally and answers the button pressed (one of MsgButton).
    virtual int Message(const MessageRequest& request) = 0;
    // Open and save dialogs with one filter such as "Key (*.key)", no default suffix and no
    // overwrite question; an empty text means the user cancelled.
    virtual QString OpenFileName(QWidget* owner, const QString& filter) = 0;
    virtual QString SaveFileName(QWidget* owner, const QString& filter) = 0;
    // An open dialog that takes several files at once (the shares of a split key); an empty list
    // means the user cancelled.
    virtual QStringList OpenFileNames(QWidget* owner, const QString& filter) = 0;
    // A passphrase typed without echo; nothing when the user cancelled.
    virtual std::optional<QString> Passphrase(QWidget* owner, const QString& prompt) = 0;
    // A question answered by one of `choices` (the first is the default button); the index of
    // the one chosen, -1 when the user cancelled.
    virtual int Choose(QWidget* owner, const QString& text, const QStringList& choices) = 0;
    // A whole number from `min` to `max`, `value` offered; nothing when the user cancelled.
    virtual std::optional<int> Number(QWidget* owner, const QString& prompt, int min, int max,
                                      int value) = 0;
};

// The dialogs in force: the real ones unless a test installed others.
IDialogs& Dialogs();
// Installs `dialogs`; nullptr restores the real ones.
void SetDialogs(IDialogs* dialogs);
