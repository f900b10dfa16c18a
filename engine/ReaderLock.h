#pragma once
// One user at a time per reader: an initialization run or a PIN reset holds its reader for as
// long as it works on it, and a second one of the same user (another window, another orvane-cli)
// is refused at once instead of overwriting the first one's token behind its back.
//
// The lock is advisory and per user: a file per reader in the user's runtime folder,
// $XDG_RUNTIME_DIR/orvane/readers/ (folders 0700, files 0600), held with flock() for the life of
// a ReaderLock. When XDG_RUNTIME_DIR is unset, relative, missing, not a folder, not the user's
// own or open to others, the folder is /tmp/orvane-<uid>/readers/ instead, which must be the
// user's own (a folder of that name made by someone else is refused, never used). The kernel lets
// go of the lock when the holding process ends, however it ends, so a crashed run never blocks
// the reader. Lock files stay in place after use: removing them would race with the next Take.
//
// Plain C++ and POSIX: the window and orvane-cli share it.

#include <optional>
#include <string>

class ReaderLock {
public:
    // Takes the reader for this process; nothing when another run or PIN reset holds it (or
    // the lock file cannot be made: then `problem` says why).
    static std::optional<ReaderLock> Take(const std::string& readerName,
                                          std::string* problem = nullptr);

    ReaderLock(ReaderLock&& other) noexcept;
    ReaderLock& operator=(ReaderLock&& other) noexcept;
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;
    ~ReaderLock();

    const std::string& Reader() const;

private:
    ReaderLock(std::string reader, int descriptor);
    void Release();

    std::string reader_;
    int descriptor_ = -1;
};

// The Russian message that a held reader is refused with; it names the reader.
std::string ReaderHeldMessage(const std::string& readerName);

// Takes the reader, or says in `refusal` why not in the words shown to the user: held by another
// run or PIN reset, or its lock could not be made.
std::optional<ReaderLock> TakeReader(const std::string& readerName, std::string& refusal);

// The lock file's name for a reader: letters, digits, '-' and '_' as they are, every other byte
// as %XX, then ".lock"; a name too long for a file name keeps its first part and gets a hash of
// the whole. Never '/', never "." or "..", never longer than 255 bytes.
std::string ReaderLockFileName(const std::string& readerName);
