#include "KeyFile.h"

#include "crypto/Wipe.h"
#include "engine/KeyShares.h"
#include "engine/ProtectedKeyFile.h"

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

namespace {

// Opens `path` for reading if it is a regular file; -1 otherwise. Non-blocking, so that a FIFO or
// a device cannot hang the caller.
int OpenRegular(const std::string& path, struct stat& st, unsigned* permissions) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    if (permissions != nullptr)
        *permissions = static_cast<unsigned>(st.st_mode & 07777);
    return fd;
}

// Reads up to `size` bytes; the count read, or -1 on an error.
ssize_t ReadUpTo(int fd, std::uint8_t* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, data + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

KeyFileRead ReadKeyFile(const std::string& path, UnblockKeyBytes& key, unsigned* permissions) {
    struct stat st {};
    const int fd = OpenRegular(path, st, permissions);
    if (fd < 0)
        return KeyFileRead::CannotOpen;
    UnblockKeyBytes buffer{};
    ssize_t got = 0;
    if (st.st_size == static_cast<off_t>(buffer.size()))
        got = ReadUpTo(fd, buffer.data(), buffer.size());
    ::close(fd);
    KeyFileRead result = KeyFileRead::Loaded;
    if (got < 0)
        result = KeyFileRead::CannotOpen;
    else if (st.st_size != static_cast<off_t>(buffer.size()) ||
             got != static_cast<ssize_t>(buffer.size()))
        result = KeyFileRead::WrongSize;
    if (result == KeyFileRead::Loaded)
        key = buffer;
    WipeAll(buffer);
    return result;
}

KeyFileRead ReadKeyFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes,
                             unsigned* permissions) {
    SecretBytes::WipeVector(bytes);
    struct stat st {};
    const int fd = OpenRegular(path, st, permissions);
    if (fd < 0)
        return KeyFileRead::CannotOpen;
    if (st.st_size <= 0 || st.st_size > static_cast<off_t>(kMaxKeyFileSize)) {
        ::close(fd);
        return KeyFileRead::WrongSize;
    }
    // One byte more than the size told, to notice a file that grew while it was read.
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(st.st_size) + 1, 0);
    const ssize_t got = ReadUpTo(fd, buffer.data(), buffer.size());
    ::close(fd);
    if (got != st.st_size) {
        SecretBytes::WipeVector(buffer);
        return got < 0 ? KeyFileRead::CannotOpen : KeyFileRead::WrongSize;
    }
    bytes.reserve(static_cast<std::size_t>(got));
    bytes.assign(buffer.begin(), buffer.begin() + got);
    SecretBytes::WipeVector(buffer);
    return KeyFileRead::Loaded;
}

bool WriteKeyFile(const std::string& path, const UnblockKeyBytes& key, int* error) {
    return WriteFileAtomically(path, key.data(), key.size(), error);
}

bool WriteFileAtomically(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                         int* error) {
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
                 (WriteAll(fd, bytes, size) || failed(errno)) &&
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

bool WriteProtectedKeyFile(const std::string& path, const UnblockKeyBytes& key,
                           const std::string& passphrase, const passphrase::Cost& cost,
                           int* error) {
    std::vector<std::uint8_t> plain(key.begin(), key.end());
    std::vector<std::uint8_t> file;
    const bool sealed =
        protected_file::Seal(plain, protected_file::Content::UnblockKey, passphrase, cost, file);
    SecretBytes::WipeVector(plain);
    if (!sealed) {
        if (error != nullptr)
            *error = ENOMEM;
        return false;
    }
    return WriteFileAtomically(path, file.data(), file.size(), error);
}

std::string NewPassphraseProblem(const std::string& passphrase, const std::string* repetition) {
    if (repetition != nullptr && *repetition != passphrase)
        return "парольные фразы не совпадают";
    // Characters of UTF-8 text: the bytes that do not continue a character.
    std::size_t characters = 0;
    for (const char c : passphrase)
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (characters < kMinPassphraseCharacters)
        return "она короче " + std::to_string(kMinPassphraseCharacters) +
               " символов: возьмите длиннее (лучше несколько слов)";
    return {};
}

std::string ShareFilePath(const std::string& chosen, unsigned number, unsigned count) {
    // A name chosen with the extension loses it: the number goes before ".key".
    const std::string extension = ".key";
    const bool hasExtension =
        chosen.size() > extension.size() &&
        chosen.compare(chosen.size() - extension.size(), extension.size(), extension) == 0;
    const std::string stem =
        hasExtension ? chosen.substr(0, chosen.size() - extension.size()) : chosen;
    return stem + "-" + std::to_string(number) + "-of-" + std::to_string(count) + extension;
}

ShareWrite WriteKeyShares(const std::string& chosen, const UnblockKeyBytes& key, unsigned threshold,
                          unsigned count, const std::vector<const std::string*>& passphrases,
                          const passphrase::Cost& cost) {
    ShareWrite outcome;
    std::vector<std::vector<std::uint8_t>> shares;
    const bool perShare = passphrases.size() == count;
    if ((!passphrases.empty() && passphrases.size() != 1 && !perShare) ||
        !key_shares::SplitKey(key, threshold, count, shares)) {
        outcome.error = EINVAL;
        return outcome;
    }
    outcome.ok = true;
    for (unsigned i = 0; i < count && outcome.ok; ++i) {
        const std::string path = ShareFilePath(chosen, i + 1, count);
        const std::string* passphrase =
            passphrases.empty() ? nullptr : passphrases[perShare ? i : 0];
        std::vector<std::uint8_t> sealed;
        if (passphrase != nullptr &&
            !protected_file::Seal(shares[i], protected_file::Content::Share, *passphrase, cost,
                                  sealed)) {
            outcome.error = ENOMEM;
        } else {
            const std::vector<std::uint8_t>& bytes = passphrase != nullptr ? sealed : shares[i];
            if (WriteFileAtomically(path, bytes.data(), bytes.size(), &outcome.error))
                outcome.written.push_back(path);
        }
        outcome.ok = outcome.error == 0;
        if (!outcome.ok)
            outcome.failedPath = path;
    }
    for (std::vector<std::uint8_t>& share : shares)
        SecretBytes::WipeVector(share);
    // A split with a share missing rebuilds nothing: the shares written are taken back.
    if (!outcome.ok) {
        for (const std::string& path : outcome.written)
            ::unlink(path.c_str());
        outcome.written.clear();
    }
    return outcome;
}
