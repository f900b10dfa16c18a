#include "UnblockKeyFiles.h"

#include "FormControls.h"

#include "crypto/Wipe.h"
#include "engine/AuditJournal.h"
#include "engine/KeyFile.h"
#include "engine/RandomSource.h"

#include <QFile>
#include <QWidget>

namespace {

std::string FileName(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

UnblockKeyFiles::UnblockKeyFiles(SharedKeys& keys, QWidget& owner) : keys_(keys), owner_(owner) {}

int UnblockKeyFiles::Tell(const QString& text, MsgType type, int buttons) {
    return WindowMessage(&owner_, text, type, buttons);
}

void UnblockKeyFiles::Load(KeyMark mark) {
    const QString path = Dialogs().OpenFileName(owner_.window(), kKeyFilter);
    if (!path.isEmpty())
        LoadFrom(path, mark);
}

void UnblockKeyFiles::LoadFrom(const QString& path, KeyMark mark) {
    UnblockKeyBytes key{};
    unsigned permissions = 0;
    switch (ReadKeyFile(FileName(path), key, &permissions)) {
    case KeyFileRead::CannotOpen:
        Tell(QStringLiteral("Не могу загрузить файл. Закройте приложения, которые могут "
                            "его использовать и повторите попытку"),
             MsgType::Warning, mbOK);
        return;
    case KeyFileRead::WrongSize:
        Tell(QStringLiteral("Файл имеет неправильный размер. Удо") + u'c' +
                 QStringLiteral("товерьтесь в целосности файла ключа"),
             MsgType::Error, mbOK);
        return;
    case KeyFileRead::Loaded:
        break;
    }
    const bool accepted = AcceptKeyFromFile(key, permissions);
    if (accepted) {
        keys_.PutInForce(key, mark);
        AuditKeyLoaded(path.toStdString(), key);
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

void UnblockKeyFiles::Generate() {
    const QString chosen = Dialogs().SaveFileName(owner_.window(), kKeyFilter);
    if (chosen.isEmpty())
        return;
    UnblockKeyBytes key{};
    if (!DrawUnblockKey(key)) {
        Tell(kRandomFailed, MsgType::Error, mbOK);
        return;
    }
    // The new key comes into force only once its file is complete: a key that exists in no
    // file could be put on tokens and never be found again.
    const QString path = chosen + QStringLiteral(".key");
    if (!WriteKeyFile(FileName(path), key)) {
        WipeAll(key);
        Tell(QStringLiteral("Can't create file ") + path, MsgType::Error, mbOK);
        return;
    }
    keys_.PutInForce(key, KeyMark::Initialization);
    AuditKeyGenerated(path.toStdString(), key);
    const QString kcv = QString::fromStdString(KeyCheckValue(key));
    WipeAll(key);
    Tell(QStringLiteral("Ключ сохранён в файл %1. Контрольное значение (KCV): %2. "
                        "Запишите его вместе с файлом.")
             .arg(path, kcv),
         MsgType::Information, mbOK);
}
