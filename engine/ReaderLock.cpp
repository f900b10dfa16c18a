#include "ReaderLock.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Room for the encoded name within the 255 bytes of a file name, with the hash and ".lock".
constexpr std::size_t kEncodedLimit = 200;

// An open folder descriptor, closed when it goes.
class Folder {
public:
    Folder() = default;
    explicit Folder(int descriptor) : descriptor_(descriptor) {}
    Folder(Folder&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    Folder& operator=(Folder&& other) noexcept {
        std::swap(descriptor_, other.descriptor_);
        return *this;
    }
    ~Folder() {
        if (descriptor_ >= 0)
            ::close(descriptor_);
    }
    int Get() const { return descriptor_; }
    bool Open() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

std::string SystemText(int error) {
    return std::string(" (") + std::strerror(error) + ")";
}

std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char byte : text) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    return hash;
}

// The runtime folder named by XDG_RUNTIME_DIR when it is fit to hold the locks: an absolute
// path to a folder of this user that nobody else may enter.
Folder RuntimeFolder() {
    const char* path = std::getenv("XDG_RUNTIME_DIR");
    if (path == nullptr || path[0] != '/')
        return {};
    Folder folder(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!folder.Open() || ::fstat(folder.Get(), &info) != 0 || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0)
        return {};
    return folder;
}

// Opens (making it when missing) the folder `name` inside `parent`, which must be this user's:
// a symbolic link or another user's folder is refused; one of ours open to others is closed to
// them.
Folder OwnFolder(const Folder& parent, const std::string& name, const std::string& path,
                 std::string& problem) {
    if (::mkdirat(parent.Get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "папку " + path + " не удаётся создать" + SystemText(errno);
        return {};
    }
    Folder folder(
        ::openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!folder.Open() || ::fstat(folder.Get(), &info) != 0) {
        problem = "папка " + path + " недоступна" + SystemText(errno);
        return {};
    }
    if (info.st_uid != ::geteuid()) {
        problem = "папка " + path + " принадлежит другому пользователю";
        return {};
    }
    if ((info.st_mode & 077) != 0 && ::fchmod(folder.Get(), 0700) != 0) {
        problem =
            "папку " + path + " не удаётся закрыть от других пользователей" + SystemText(errno);
        return {};
    }
    return folder;
}

// The folder of the lock files, made when missing; `path` gets its path for messages.
Folder LockFolder(std::string& path, std::string& problem) {
    Folder runtime = RuntimeFolder();
    if (runtime.Open()) {
        const std::string base = std::getenv("XDG_RUNTIME_DIR");
        Folder orvane = OwnFolder(runtime, "orvane", base + "/orvane", problem);
        if (!orvane.Open())
            return {};
        path = base + "/orvane/readers";
        return OwnFolder(orvane, "readers", path, problem);
    }
    Folder temporary(::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!temporary.Open()) {
        problem = "папка /tmp недоступна" + SystemText(errno);
        return {};
    }
    const std::string own = "orvane-" + std::to_string(::geteuid());
    Folder orvane = OwnFolder(temporary, own, "/tmp/" + own, problem);
    if (!orvane.Open())
        return {};
    path = "/tmp/" + own + "/readers";
    return OwnFolder(orvane, "readers", path, problem);
}

} // namespace

std::string ReaderLockFileName(const std::string& readerName) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string name;
    for (const unsigned char byte : readerName) {
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '_';
        if (plain) {
            name += static_cast<char>(byte);
        } else {
            name += '%';
            name += kDigits[byte >> 4];
            name += kDigits[byte & 0x0F];
        }
    }
    if (name.size() > kEncodedLimit) {
        name.resize(kEncodedLimit);
        // Two long names with the same beginning still get files of their own.
        std::uint64_t hash = Fnv1a(readerName);
        std::string tail(16, '0');
        for (int i = 15; i >= 0; --i, hash >>= 4)
            tail[static_cast<std::size_t>(i)] = kDigits[hash & 0x0F];
        name += "~" + tail;
    }
    return name + ".lock";
}

std::string ReaderHeldMessage(const std::string& readerName) {
    return "Устройство «" + readerName +
           "» занято: с ним уже работает другая инициализация или смена ПИН-кода. Дождитесь её "
           "окончания или выберите другое устройство.";
}

std::optional<ReaderLock> ReaderLock::Take(const std::string& readerName, std::string* problem) {
    std::string why;
    const auto refuse = [&](const std::string& cause) -> std::optional<ReaderLock> {
        if (problem != nullptr)
            *problem = "Устройство «" + readerName +
                       "» не удаётся закрепить за этой программой: " + cause +
                       ". Работа с ним не начата.";
        return std::nullopt;
    };
    if (problem != nullptr)
        problem->clear();

    std::string folderPath;
    const Folder folder = LockFolder(folderPath, why);
    if (!folder.Open())
        return refuse(why);
    const std::string fileName = ReaderLockFileName(readerName);
    const std::string filePath = folderPath + "/" + fileName;
    const int descriptor =
        ::openat(folder.Get(), fileName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return refuse("файл " + filePath + " не открывается" + SystemText(errno));
    ReaderLock lock(readerName, descriptor); // closes the file on every way out

    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid())
        return refuse("файл " + filePath + " не является файлом этого пользователя");
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return std::nullopt; // held by another run: no problem to tell
        return refuse("файл " + filePath + " не блокируется" + SystemText(errno));
    }
    // Who holds it, for an administrator who looks: the process number.
    const std::string holder = std::to_string(::getpid()) + "\n";
    if (::ftruncate(descriptor, 0) == 0) {
        const ssize_t written = ::pwrite(descriptor, holder.data(), holder.size(), 0);
        (void)written; // only a hint: the lock holds without it
    }
    return lock;
}

ReaderLock::ReaderLock(std::string reader, int descriptor)
    : reader_(std::move(reader)), descriptor_(descriptor) {}

ReaderLock::ReaderLock(ReaderLock&& other) noexcept
    : reader_(std::move(other.reader_)), descriptor_(std::exchange(other.descriptor_, -1)) {}

ReaderLock& ReaderLock::operator=(ReaderLock&& other) noexcept {
    if (this != &other) {
        Release();
        reader_ = std::move(other.reader_);
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

ReaderLock::~ReaderLock() {
    Release();
}

const std::string& ReaderLock::Reader() const {
    return reader_;
}

void ReaderLock::Release() {
    // Closing the only descriptor of the open file lets go of the flock.
    if (descriptor_ >= 0)
        ::close(descriptor_);
    descriptor_ = -1;
}

std::optional<ReaderLock> TakeReader(const std::string& readerName, std::string& refusal) {
    std::optional<ReaderLock> lock = ReaderLock::Take(readerName, &refusal);
    if (!lock && refusal.empty())
        refusal = ReaderHeldMessage(readerName);
    return lock;
}
