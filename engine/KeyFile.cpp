#include "KeyFile.h"

#include "crypto/Wipe.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes all `size` bytes; false on any error but an interrupted call.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The folder holding `path` ("." for a bare name), for syncing the rename to disk.
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool IsOpenToOthers(unsigned permissions) {
    return (permissions & 077u) != 0;
}

KeyFileRead ReadKeyFile(const std::string& path, UnblockKeyBytes& key, unsigned* permissions) {
    // Non-blocking open so that a FIFO or a device cannot hang the caller; only a regular file
    // can be a key file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

bool WriteKeyFile(const std::string& path, const UnblockKeyBytes& key, int* error) {
    int failure = 0;
    const auto failed = [&](int code) {
        if (failure == 0)
            failure = code != 0 ? code : EIO;
        return false;
    };
    const auto answer = [&](bool ok) {
        if (error != nullptr)
            *error = ok ? 0 : failure;
        return ok;
    };
    if (path.empty())
        return answer(failed(ENOENT));
    // mkstemp makes the file owner-only; fchmod states it whatever the umask or the system.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return answer(failed(errno));
    bool saved = (::fchmod(fd, S_IRUSR | S_IWUSR) == 0 || failed(errno)) &&
                 (WriteAll(fd, key.data(), key.size()) || failed(errno)) &&
                 (::fsync(fd) == 0 || failed(errno));
    saved = (::close(fd) == 0 || failed(errno)) && saved;
    if (saved)
        saved = std::rename(temporary.c_str(), path.c_str()) == 0 || failed(errno);
    if (!saved) {
        ::unlink(temporary.c_str());
        return answer(false);
    }
    // The rename itself reaches the disk with its folder.
    const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return answer(true);
}

std::string NewKeyFilePath(const std::string& chosen) {
    return chosen + ".key";
}
