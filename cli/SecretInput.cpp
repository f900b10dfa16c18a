#include "SecretInput.h"

#include "SystemError.h"
#include "crypto/Wipe.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <istream>
#include <ostream>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char* kTooLong = "слишком длинное значение";
constexpr const char* kControlCharacter =
    "в значении есть управляющий символ (NUL, CR, табуляция и т. п.), которого не может быть в "
    "ПИН-коде, ПАК-коде или парольной фразе; сохраните значение одной строкой обычного текста";

// A byte below 0x20 or DEL: no key of the window's field types one (the line end is gone by now).
bool HasControlCharacter(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

// Echo off on the terminal for as long as the object lives.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_)
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

// Takes bytes up to the end of the first line; false when the line is too long.
class LineCollector {
public:
    explicit LineCollector(SecretText& secret) : secret_(secret) {}
    // False once the line has ended.
    bool Take(char c) {
        if (ended_)
            return false;
        if (c == '\n') {
            ended_ = true;
            return false;
        }
        if (!secret_.Add(c))
            tooLong_ = true;
        return !tooLong_;
    }
    bool TooLong() const { return tooLong_; }
    // A line ended by CR LF keeps no CR.
    void Finish() {
        if (!secret_.Text().empty() && secret_.Text().back() == '\r') {
            std::string rest = secret_.Text();
            rest.pop_back();
            secret_.Clear();
            for (char c : rest)
                secret_.Add(c);
            WipeAll(rest);
        }
    }

private:
    SecretText& secret_;
    bool ended_ = false;
    bool tooLong_ = false;
};

bool ReadFileLine(const std::string& path, SecretText& secret, std::string& problem) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        problem = path + ": " + SystemErrorText(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        problem = path + ": " + SystemErrorText(EISDIR);
        return false;
    }
    LineCollector line(secret);
    char buffer[64];
    bool more = true;
    int readError = 0;
    while (more) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            readError = errno;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && more; ++i)
            more = line.Take(buffer[i]);
    }
    Wipe(buffer, sizeof buffer);
    ::close(fd);
    line.Finish();
    if (readError != 0)
        problem = path + ": " + SystemErrorText(readError);
    else if (line.TooLong())
        problem = path + ": " + kTooLong;
    return problem.empty();
}

bool ReadInputLine(Console& console, const std::string& prompt, SecretText& secret,
                   std::string& problem) {
    const bool terminal = InputIsTerminal(console);
    std::optional<EchoOff> quiet;
    if (terminal) {
        console.err << prompt << std::flush;
        quiet.emplace(console.inDescriptor);
    }
    LineCollector line(secret);
    char c = 0;
    while (console.in.get(c) && line.Take(c)) {
    }
    c = 0;
    quiet.reset();
    if (terminal)
        console.err << '\n' << std::flush;
    line.Finish();
    if (line.TooLong())
        problem = kTooLong;
    return !line.TooLong();
}

} // namespace

SecretText::SecretText(SecretText&& other) noexcept {
    text_.reserve(kMaxLength + 1);
    text_.assign(other.text_);
    other.Clear();
}

SecretText::~SecretText() {
    Clear();
}

bool SecretText::Add(char c) {
    if (text_.size() >= kMaxLength)
        return false;
    text_.push_back(c);
    return true;
}

void SecretText::Clear() {
    WipeAll(text_);
    text_.clear();
}

bool InputIsTerminal(const Console& console) {
    return console.inDescriptor >= 0 && ::isatty(console.inDescriptor) == 1;
}

std::optional<SecretText> ReadSecret(const SecretSource& source, const std::string& prompt,
                                     Console& console, std::string& problem) {
    std::optional<SecretText> secret(std::in_place);
    if (!source.environment.empty()) {
        char* value = console.environment ? console.environment(source.environment) : nullptr;
        if (value == nullptr) {
            problem = "переменная окружения " + source.environment + " не задана";
            return std::nullopt;
        }
        const std::size_t length = std::strlen(value);
        bool fits = length <= SecretText::kMaxLength;
        for (std::size_t i = 0; fits && i < length; ++i)
            secret->Add(value[i]);
        // The value leaves the process's environment, where others of the same user could read it.
        Wipe(value, length);
        if (!fits) {
            problem = source.environment + ": " + kTooLong;
            return std::nullopt;
        }
        if (HasControlCharacter(secret->Text())) {
            problem = source.environment + ": " + kControlCharacter;
            return std::nullopt;
        }
        return secret;
    }
    const bool read = source.FromStandardInput() ? ReadInputLine(console, prompt, *secret, problem)
                                                 : ReadFileLine(source.file, *secret, problem);
    if (!read)
        return std::nullopt;
    if (HasControlCharacter(secret->Text())) {
        problem =
            (source.FromStandardInput() ? std::string() : source.file + ": ") + kControlCharacter;
        return std::nullopt;
    }
    return secret;
}

std::string SecretArgumentProblem(const std::vector<std::string>& arguments) {
    struct Refused {
        const char* option;
        const char* what;
        const char* instead;
    };
    static const Refused refused[] = {
        {"--pin", "ПИН-код", "--pin-file"},
        {"--puk", "ПАК-код", "--puk-file"},
        {"--new-pin", "Новый ПИН-код", "--new-pin-file"},
        {"--passphrase", "Парольная фраза", "--passphrase-file"},
    };
    for (const std::string& argument : arguments) {
        if (argument == "--")
            break;
        const std::string name = argument.substr(0, argument.find('='));
        for (const Refused& r : refused) {
            if (name != r.option)
                continue;
            const std::string env = std::string(r.option) + "-env";
            return std::string(r.what) +
                   " не принимается в командной строке: там его видят другие пользователи "
                   "системы и история команд. Укажите " +
                   r.instead + " ФАЙЛ, " + r.instead + " - (стандартный ввод) или " + env +
                   " ПЕРЕМЕННАЯ.";
        }
    }
    return {};
}
