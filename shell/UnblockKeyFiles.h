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

    // "Загрузить": asks for the file and loads it; `mark`'s button then shows it loaded.
    void Load(KeyMark mark);
    // Loads the file at `path` with the same checks, questions and messages.
    void LoadFrom(const QString& path, KeyMark mark);
    // "Сгенерировать": asks where to save a new key, writes it to "<name>.key" and puts it in
    // force only once the file is complete.
    void Generate();

private:
    int Tell(const QString& text, MsgType type, int buttons);
    // Asks before a key from a file comes into force when the file is open to others or the key
    // is weak; true when it may.
    bool AcceptKeyFromFile(const UnblockKeyBytes& key, unsigned permissions);

    SharedKeys& keys_;
    QWidget& owner_;
};
