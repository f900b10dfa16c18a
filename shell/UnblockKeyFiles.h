#pragma once
// The unblock key's files as the administrator handles them in the main window: a key loaded from
// a file (with the questions about a file open to others and a weak key) and a key generated and
// saved, each ending with the key in force in the shared keys and a message box that says so.

#include "init/Dialogs.h"
#include "shell/SharedKeys.h"

#include <QString>

class QWidget;

class UnblockKeyFiles {
public:
    static inline const QString kKeyFilter = QStringLiteral("Key (*.key)");
    static inline const QString kRandomFailed =
        QStringLiteral("Ошибка генератора случайных чисел. Ключ не создан");

    // The boxes and file dialogs belong to the window that holds `owner`.
    UnblockKeyFiles(SharedKeys& keys, QWidget& owner);

    // "Загрузить": asks for the file (or the share files of a split key) and loads it; `mark`'s
    // button then shows it loaded.
    void Load(KeyMark mark);
    // Loads the files at `paths` with the same checks, questions and messages: one plain or
    // protected key file, or the shares of a split key. A protected file's passphrase is asked.
    void LoadFrom(const QStringList& paths, KeyMark mark);
    void LoadFrom(const QString& path, KeyMark mark) { LoadFrom(QStringList{path}, mark); }
    // "Сгенерировать": asks how to keep the new key (a plain 16-byte file, the default; a file
    // protected by a passphrase; shares), where to save it, and puts it in force only once its
    // files are complete.
    void Generate();
    // "Сохранить ключ под защитой...": the key in force saved again protected or split, so that
    // a fleet's key can leave its file in clear.
    void SaveProtected();

private:
    // How a key is kept on disk.
    enum class Keeping { Plain, Passphrase, Shares };
    struct KeepingChoice {
        Keeping how = Keeping::Plain;
        QString passphrase;
        unsigned threshold = 0, count = 0;
    };
    // Asks how to keep a key (`withPlain`: the 16-byte file offered first); false when cancelled.
    bool AskKeeping(bool withPlain, KeepingChoice& choice);
    // Writes `key` as chosen for the name picked in the save dialog; the message of a failure
    // has been shown when it answers false. `saved` receives the files written.
    bool Save(const UnblockKeyBytes& key, const KeepingChoice& choice, const QString& chosen,
              QStringList& saved);
    int Tell(const QString& text, MsgType type, int buttons);
    // Asks before a key from a file comes into force when the file is open to others or the key
    // is weak; true when it may.
    bool AcceptKeyFromFile(const UnblockKeyBytes& key, unsigned permissions);

    SharedKeys& keys_;
    QWidget& owner_;
};
