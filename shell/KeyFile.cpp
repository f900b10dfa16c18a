#include "KeyFile.h"

#include <QFile>

KeyFileRead ReadKeyFile(const QString& path, UnblockKeyBytes& key, unsigned* permissions) {
    return ReadKeyFile(QFile::encodeName(path).toStdString(), key, permissions);
}

bool WriteKeyFile(const QString& path, const UnblockKeyBytes& key) {
    return WriteKeyFile(QFile::encodeName(path).toStdString(), key);
}
