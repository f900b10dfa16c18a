#include "KeyFile.h"

#include "crypto/Wipe.h"

#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool IsOpenToOthers(unsigned permissions) {
    return (permissions & 077u) != 0;
}

KeyFileRead ReadKeyFile(const QString& path, UnblockKeyBytes& key, unsigned* permissions) {
    // Non-blocking open so that a FIFO or a device cannot hang the window; only a regular file
    // can be a key file.
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return KeyFileRead::CannotOpen;
    }
    if (permissions != nullptr)
        *permissions = static_cast<unsigned>(st.st_mode & 07777);
    UnblockKeyBytes buffer{};
    std::size_t got = 0;
    bool readFailed = false;
    if (st.st_size == static_cast<off_t>(buffer.size())) {
        while (got < buffer.size()) {
            const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                readFailed = true;
                break;
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    KeyFileRead result = KeyFileRead::Loaded;
    if (readFailed)
        result = KeyFileRead::CannotOpen;
    else if (st.st_size != static_cast<off_t>(buffer.size()) || got != buffer.size())
        result = KeyFileRead::WrongSize;
    if (result == KeyFileRead::Loaded)
        key = buffer;
    WipeAll(buffer);
    return result;
}

bool WriteKeyFile(const QString& path, const UnblockKeyBytes& key) {
    QSaveFile file(path);
    // Unbuffered: the key bytes go straight to the file and leave no copy in a write buffer.
    bool saved = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (saved)
        saved = file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (saved)
        saved = file.write(reinterpret_cast<const char*>(key.data()),
                           static_cast<qint64>(key.size())) == static_cast<qint64>(key.size());
    if (saved)
        saved = file.commit();
    else
        file.cancelWriting();
    return saved;
}
