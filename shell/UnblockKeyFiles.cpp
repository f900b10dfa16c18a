#include "UnblockKeyFiles.h"

#include "FormControls.h"

#include "crypto/Wipe.h"
#include "engine/AuditJournal.h"
#include "engine/KeyFile.h"
#include "engine/KeyLoader.h"
#include "engine/RandomSource.h"

#include <QFile>
#include <QWidget>

namespace {

std::string FileName(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// The texts of keeping a key protected.
const QString kHowToKeep = QStringLiteral("Как хранить ключ разблокировки?");
const QString kKeepPlain = QStringLiteral("Файл ключа (16 байт)");
const QString kKeepPassphrase = QStringLiteral("Под парольной фразой");
const QString kKeepShares = QStringLiteral("Разделить на доли");
const QString kAskPassphrase = QStringLiteral("Парольная фраза для файла ключа:");
const QString kRepeatPassphrase = QStringLiteral("Повторите парольную фразу:");
const QString kAskShareCount = QStringLiteral("На сколько долей разделить ключ (N, от 2 до 9)?");
const QString kAskThreshold =
    QStringLiteral("Сколько долей должны собрать хранители, чтобы восстановить ключ (M)?");
const QString kDefaultNotSaved = QStringLiteral(
    "Действует встроенный ключ по умолчанию: его не нужно хранить. Загрузите или создайте ключ.");

} // namespace

UnblockKeyFiles::UnblockKeyFiles(SharedKeys& keys, QWidget& owner) : keys_(keys), owner_(owner) {}

int UnblockKeyFiles::Tell(const QString& text, MsgType type, int buttons) {
    return WindowMessage(&owner_, text, type, buttons);
}

void UnblockKeyFiles::Load(KeyMark mark) {
    const QStringList paths = Dialogs().OpenFileNames(owner_.window(), kKeyFilter);
    if (!paths.isEmpty())
        LoadFrom(paths, mark);
}

void UnblockKeyFiles::LoadFrom(const QStringList& paths, KeyMark mark) {
    KeyLoader loader;
    for (const QString& path : paths) {
        const KeyProblem problem = loader.Add(FileName(path));
        // A file that cannot be read or is no key file gets the window's own words.
        if (problem == KeyProblem::CannotOpen) {
            Tell(Text(kKeyFileCannotOpen), MsgType::Warning, mbOK);
            return;
        }
        if (problem != KeyProblem::None) {
            Tell(Text(problem == KeyProblem::WrongSize ? kKeyFileWrongSize : loader.ProblemText()),
                 MsgType::Error, mbOK);
            return;
        }
    }
    while (const std::optional<std::size_t> locked = loader.NextLocked()) {
        const std::optional<QString> passphrase =
            Dialogs().Passphrase(owner_.window(), Text(PassphrasePrompt(loader.Files()[*locked])));
        if (!passphrase)
            return;
        std::string typed = passphrase->toStdString();
        const KeyProblem problem = loader.Unlock(*locked, typed);
        WipeAll(typed);
        if (problem != KeyProblem::None) {
            // A wrong passphrase says so; the key in force stays.
            Tell(Text(loader.ProblemText()), MsgType::Warning, mbOK);
            return;
        }
    }
    UnblockKeyBytes key{};
    if (loader.Assemble(key) != KeyProblem::None) {
        Tell(Text(loader.ProblemText()), MsgType::Error, mbOK);
        return;
    }
    unsigned permissions = 0;
    for (const KeyFileEntry& file : loader.Files())
        permissions |= file.permissions;
    const bool accepted = AcceptKeyFromFile(key, permissions);
    if (accepted) {
        keys_.PutInForce(key, mark);
        AuditKeyLoaded(FileName(paths.front()), key);
    }
    WipeAll(key);
    if (accepted)
        Tell(QStringLiteral("Ключ загружен"), MsgType::Information, mbOK);
}

bool UnblockKeyFiles::AcceptKeyFromFile(const UnblockKeyBytes& key, unsigned permissions) {
    if (IsOpenToOthers(permissions) &&
        Tell(QStringLiteral("Файл ключа доступен не только владельцу (права %1): его могут "
                            "прочитать другие пользователи. Загрузить ключ?")
                 .arg(permissions, 4, 8, QLatin1Char('0')),
             MsgType::Warning, mbYes | mbNo) != mbYes)
        return false;
    QString weakness;
    switch (WeaknessOf(key)) {
    case KeyWeakness::SingleDes:
        weakness = QStringLiteral("Обе половины ключа одинаковы: такой ключ не сильнее "
                                  "одинарного DES. Загрузить ключ?");
        break;
    case KeyWeakness::DefaultKey:
        weakness = QStringLiteral("Ключ совпадает со встроенным ключом по умолчанию, который "
                                  "известен всем. Загрузить ключ?");
        break;
    case KeyWeakness::None:
        break;
    }
    return weakness.isEmpty() || Tell(weakness, MsgType::Warning, mbYes | mbNo) == mbYes;
}

bool UnblockKeyFiles::AskKeeping(bool withPlain, KeepingChoice& choice) {
    QStringList options;
    if (withPlain)
        options << kKeepPlain;
    options << kKeepPassphrase << kKeepShares;
    const int picked = Dialogs().Choose(owner_.window(), kHowToKeep, options);
    if (picked < 0)
        return false;
    choice.how = static_cast<Keeping>(picked + (withPlain ? 0 : 1));
    if (choice.how == Keeping::Passphrase) {
        const std::optional<QString> first = Dialogs().Passphrase(owner_.window(), kAskPassphrase);
        if (!first)
            return false;
        const std::optional<QString> second =
            Dialogs().Passphrase(owner_.window(), kRepeatPassphrase);
        if (!second)
            return false;
        std::string typed = first->toStdString(), repeated = second->toStdString();
        const std::string problem = NewPassphraseProblem(typed, &repeated);
        WipeAll(repeated);
        if (!problem.empty()) {
            WipeAll(typed);
            Tell(Text(problem), MsgType::Warning, mbOK);
            return false;
        }
        choice.passphrase = QString::fromStdString(typed);
        WipeAll(typed);
    } else if (choice.how == Keeping::Shares) {
        const std::optional<int> count = Dialogs().Number(owner_.window(), kAskShareCount, 2, 9, 3);
        if (!count)
            return false;
        const std::optional<int> threshold =
            Dialogs().Number(owner_.window(), kAskThreshold, 2, *count, 2);
        if (!threshold)
            return false;
        choice.count = static_cast<unsigned>(*count);
        choice.threshold = static_cast<unsigned>(*threshold);
    }
    return true;
}

bool UnblockKeyFiles::Save(const UnblockKeyBytes& key, const KeepingChoice& choice,
                           const QString& chosen, QStringList& saved) {
    const std::string name = FileName(chosen);
    switch (choice.how) {
    case Keeping::Plain:
    case Keeping::Passphrase: {
        const QString path = chosen + QStringLiteral(".key");
        std::string passphrase = choice.passphrase.toStdString();
        const bool written = choice.how == Keeping::Plain
                                 ? WriteKeyFile(FileName(path), key)
                                 : WriteProtectedKeyFile(FileName(path), key, passphrase);
        WipeAll(passphrase);
        if (!written) {
            Tell(QStringLiteral("Can't create file ") + path, MsgType::Error, mbOK);
            return false;
        }
        saved << path;
        return true;
    }
    case Keeping::Shares: {
        const ShareWrite shares = WriteKeyShares(name, key, choice.threshold, choice.count, {});
        if (!shares.ok) {
            Tell(QStringLiteral("Can't create file ") +
                     QFile::decodeName(shares.failedPath.c_str()),
                 MsgType::Error, mbOK);
            return false;
        }
        for (const std::string& path : shares.written)
            saved << QFile::decodeName(path.c_str());
        return true;
    }
    }
    return false;
}

void UnblockKeyFiles::Generate() {
    KeepingChoice keeping;
    if (!AskKeeping(true, keeping))
        return;
    const QString chosen = Dialogs().SaveFileName(owner_.window(), kKeyFilter);
    if (chosen.isEmpty())
        return;
    UnblockKeyBytes key{};
    if (!DrawUnblockKey(key)) {
        Tell(kRandomFailed, MsgType::Error, mbOK);
        return;
    }
    // The new key comes into force only once its files are complete: a key that exists in no
    // file could be put on tokens and never be found again.
    QStringList saved;
    if (!Save(key, keeping, chosen, saved)) {
        WipeAll(key);
        return;
    }
    keys_.PutInForce(key, KeyMark::Initialization);
    AuditKeyGenerated(FileName(saved.front()), key);
    const QString kcv = QString::fromStdString(KeyCheckValue(key));
    WipeAll(key);
    if (keeping.how == Keeping::Shares)
        Tell(QStringLiteral("Ключ разделён на %1 долей, любые %2 из них восстанавливают его: %3. "
                            "Контрольное значение (KCV): %4. Раздайте доли хранителям и "
                            "запишите KCV.")
                 .arg(keeping.count)
                 .arg(keeping.threshold)
                 .arg(saved.join(QStringLiteral(", ")), kcv),
             MsgType::Information, mbOK);
    else
        Tell(QStringLiteral("Ключ сохранён в файл %1. Контрольное значение (KCV): %2. "
                            "Запишите его вместе с файлом.")
                 .arg(saved.front(), kcv),
             MsgType::Information, mbOK);
}

void UnblockKeyFiles::SaveProtected() {
    if (keys_.UnblockKey() == kDefaultUnblockKey) {
        Tell(kDefaultNotSaved, MsgType::Information, mbOK);
        return;
    }
    KeepingChoice keeping;
    if (!AskKeeping(false, keeping))
        return;
    const QString chosen = Dialogs().SaveFileName(owner_.window(), kKeyFilter);
    if (chosen.isEmpty())
        return;
    QStringList saved;
    if (!Save(keys_.UnblockKey(), keeping, chosen, saved))
        return;
    Tell(QStringLiteral("Ключ сохранён: %1. Контрольное значение (KCV): %2. Файл ключа в "
                        "открытом виде можно удалить.")
             .arg(saved.join(QStringLiteral(", ")),
                  QString::fromStdString(KeyCheckValue(keys_.UnblockKey()))),
         MsgType::Information, mbOK);
}
