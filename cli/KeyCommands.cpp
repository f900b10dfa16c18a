#include "KeyCommands.h"

#include "SecretInput.h"
#include "SystemError.h"
#include "crypto/Wipe.h"
#include "engine/AuditJournal.h"
#include "engine/ChallengeResponse.h"
#include "engine/KeyFile.h"
#include "engine/KeyLoader.h"
#include "engine/RandomSource.h"

#include <cerrno>
#include <cstdio>
#include <istream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kRandomFailed = "Ошибка генератора случайных чисел. Ключ не создан";
const std::string kBadChallenge =
    "Поле \"Вызов\" имеет недопустимый формат. Проверьте правильность введенных данных";
const std::string kBadSplit =
    "--split: укажите M/N, где 2 <= M <= N <= 9: N долей, любые M из которых восстанавливают ключ "
    "(например 2/3)";
const std::string kPassphraseCount =
    "Парольных фраз указано больше одной, но не по одной на каждый файл: укажите одну для всех "
    "или по одной на каждый (их ";
// Tries of a passphrase typed on a terminal before the load gives up.
constexpr int kTerminalTries = 3;

std::string KeyCheckText(const UnblockKeyBytes& key) {
    std::string text = "KCV: " + KeyCheckValue(key);
    if (key == kDefaultUnblockKey)
        text += " (по умолчанию)";
    return text;
}

const char* WeaknessName(KeyWeakness weakness) {
    switch (weakness) {
    case KeyWeakness::SingleDes:
        return "single-des";
    case KeyWeakness::DefaultKey:
        return "default-key";
    case KeyWeakness::None:
        break;
    }
    return nullptr;
}

std::string OctalMode(unsigned permissions) {
    char text[8] = {};
    std::snprintf(text, sizeof text, "%04o", permissions & 07777u);
    return text;
}

// Why a key file cannot be opened, in the system's terms.
std::string CannotOpenReason(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return SystemErrorText(errno);
    if (S_ISDIR(st.st_mode))
        return SystemErrorText(EISDIR);
    if (!S_ISREG(st.st_mode))
        return "это не обычный файл";
    if (::access(path.c_str(), R_OK) != 0)
        return SystemErrorText(errno);
    return "файл не удалось прочитать";
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<SecretSource> PassphraseSources(const std::vector<std::string>& files,
                                            const std::vector<std::string>& variables) {
    std::vector<SecretSource> sources;
    for (const std::string& file : files)
        sources.push_back({file, {}});
    for (const std::string& variable : variables)
        sources.push_back({{}, variable});
    return sources;
}

// The passphrases of one command. Each source is read once: a variable is gone from the
// environment once read, and standard input gives its line once. Without sources every
// passphrase is asked anew.
class Passphrases {
public:
    explicit Passphrases(std::vector<SecretSource> sources)
        : sources_(std::move(sources)), read_(sources_.size()) {}

    std::size_t Sources() const { return sources_.size(); }
    // Whether the passphrase of file `k` is typed by a person at the terminal.
    bool Typed(std::size_t k, const Console& console) const {
        return Source(k).FromStandardInput() && InputIsTerminal(console);
    }

    // The passphrase for the `k`-th file; nullptr, with `problem` said, when it cannot be read.
    const SecretText* For(std::size_t k, const std::string& prompt, Console& console,
                          std::string& problem) {
        // Without sources each file has its own question.
        if (sources_.empty())
            asked_.reset();
        std::optional<SecretText>& kept = sources_.empty() ? asked_ : read_[Index(k)];
        if (!kept) {
            std::optional<SecretText> read = ReadSecret(Source(k), prompt, console, problem);
            if (read)
                kept.emplace(std::move(*read));
        }
        return kept ? &*kept : nullptr;
    }
    // Forgets a typed passphrase, so that the next For asks again.
    void Forget(std::size_t k) {
        asked_.reset();
        if (!sources_.empty())
            read_[Index(k)].reset();
    }

private:
    std::size_t Index(std::size_t k) const { return sources_.size() == 1 ? 0 : k; }
    SecretSource Source(std::size_t k) const {
        return sources_.empty() ? SecretSource{} : sources_[Index(k)];
    }

    std::vector<SecretSource> sources_;
    std::vector<std::optional<SecretText>> read_;
    std::optional<SecretText> asked_;
};

// Opens every protected file of `loader` with its passphrase; kExitSuccess or the exit code of
// the problem reported.
int UnlockAll(KeyLoader& loader, const KeySource& source, Console& console, Output& output) {
    std::size_t locked = 0;
    for (const KeyFileEntry& entry : loader.Files())
        locked += entry.locked;
    Passphrases passphrases(PassphraseSources(source.passphraseFiles, source.passphraseEnvs));
    if (passphrases.Sources() > 1 && passphrases.Sources() != locked) {
        output.Error(kPassphraseCount + std::to_string(locked) + ")");
        return kExitUsage;
    }
    for (std::size_t k = 0; const std::optional<std::size_t> index = loader.NextLocked(); ++k) {
        const std::string prompt = PassphrasePrompt(loader.Files()[*index]);
        for (int attempt = 1;; ++attempt) {
            std::string problem;
            const SecretText* passphrase = passphrases.For(k, prompt, console, problem);
            if (passphrase == nullptr) {
                output.Error("Парольная фраза не прочитана: " + problem);
                return kExitUsage;
            }
            const KeyProblem unlocked = loader.Unlock(*index, passphrase->Text());
            if (unlocked == KeyProblem::None)
                break;
            if (unlocked != KeyProblem::WrongPassphrase || !passphrases.Typed(k, console) ||
                attempt == kTerminalTries) {
                output.Error(loader.ProblemText());
                return kExitKeyFile;
            }
            // A person at the terminal may have mistyped: asked again.
            output.Notice(loader.ProblemText());
            passphrases.Forget(k);
        }
    }
    return kExitSuccess;
}

// A passphrase for a new file: asked twice on a terminal, and as long as NewPassphraseProblem
// wants it. Nullptr, with the problem reported, otherwise.
const SecretText* NewPassphrase(Passphrases& passphrases, std::size_t k, const std::string& prompt,
                                Console& console, Output& output) {
    std::string problem;
    const bool typed = passphrases.Typed(k, console);
    const SecretText* passphrase = passphrases.For(k, prompt, console, problem);
    if (passphrase != nullptr) {
        std::optional<SecretText> again;
        if (typed) {
            std::optional<SecretText> read =
                ReadSecret({}, "Повторите парольную фразу: ", console, problem);
            if (read)
                again.emplace(std::move(*read));
        }
        if (problem.empty())
            problem = NewPassphraseProblem(passphrase->Text(), again ? &again->Text() : nullptr);
    }
    if (!problem.empty()) {
        output.Error("Парольная фраза не принята: " + problem);
        return nullptr;
    }
    return passphrase;
}

// "M/N" with 2 <= M <= N <= 9.
bool ParseSplit(const std::string& text, unsigned& threshold, unsigned& count) {
    if (text.size() != 3 || text[1] != '/' || text[0] < '0' || text[0] > '9' || text[2] < '0' ||
        text[2] > '9')
        return false;
    threshold = static_cast<unsigned>(text[0] - '0');
    count = static_cast<unsigned>(text[2] - '0');
    return threshold >= 2 && threshold <= count;
}

} // namespace

int LoadKey(const KeySource& source, Console& console, Output& output, UnblockKeyBytes& key) {
    KeyLoader loader;
    for (const std::string& path : source.files) {
        switch (loader.Add(path)) {
        case KeyProblem::None:
            continue;
        case KeyProblem::CannotOpen:
            output.Error(loader.ProblemText() + " (" + CannotOpenReason(path) + ")");
            return kExitKeyFile;
        default:
            output.Error(loader.ProblemText());
            return kExitKeyFile;
        }
    }
    if (const int code = UnlockAll(loader, source, console, output); code != kExitSuccess)
        return code;
    UnblockKeyBytes loaded{};
    if (loader.Assemble(loaded) != KeyProblem::None) {
        output.Error(loader.ProblemText());
        return kExitKeyFile;
    }
    for (const KeyFileEntry& entry : loader.Files()) {
        if (IsOpenToOthers(entry.permissions))
            output.Notice(entry.path + ": файл ключа доступен не только владельцу (права " +
                          OctalMode(entry.permissions) +
                          "): его могут прочитать другие пользователи");
    }
    const std::string named = source.files.size() == 1 ? source.files.front() : "ключ из долей";
    switch (WeaknessOf(loaded)) {
    case KeyWeakness::SingleDes:
        output.Notice(named +
                      ": обе половины ключа одинаковы: такой ключ не сильнее одинарного DES");
        break;
    case KeyWeakness::DefaultKey:
        output.Notice(named + ": ключ совпадает со встроенным ключом по умолчанию, который "
                              "известен всем");
        break;
    case KeyWeakness::None:
        break;
    }
    AuditKeyLoaded(CommaList(source.files), loaded);
    key = loaded;
    WipeAll(loaded);
    return kExitSuccess;
}

int RunKcv(const KeySource& source, Console& console, Output& output) {
    UnblockKeyBytes key{};
    if (const int code = LoadKey(source, console, output, key); code != kExitSuccess)
        return code;
    OutputEvent event;
    event.event = "kcv";
    event.ok = true;
    event.message = KeyCheckText(key);
    event.extra["path"] = CommaList(source.files);
    if (source.files.size() > 1)
        event.extra["paths"] = source.files;
    event.extra["kcv"] = KeyCheckValue(key);
    const char* weakness = WeaknessName(WeaknessOf(key));
    event.extra["weakness"] = weakness ? nlohmann::json(weakness) : nlohmann::json();
    WipeAll(key);
    output.Report(event);
    return kExitSuccess;
}

int RunKeygen(const KeygenOptions& options, Console& console, Output& output) {
    if (options.name.empty()) {
        output.Error("Имя файла ключа пустое: укажите имя, к нему добавится \".key\"");
        return kExitUsage;
    }
    unsigned threshold = 0, count = 0;
    if (!options.split.empty() && !ParseSplit(options.split, threshold, count)) {
        output.Error(kBadSplit);
        return kExitUsage;
    }
    std::vector<std::string> paths;
    for (unsigned i = 1; i <= count; ++i)
        paths.push_back(ShareFilePath(options.name, i, count));
    if (count == 0)
        paths.push_back(NewKeyFilePath(options.name));
    // A key file replaced by mistake takes with it the only way to unblock the tokens that carry
    // its key.
    for (const std::string& path : paths) {
        if (!options.replace && Exists(path)) {
            output.Error("Файл " + path +
                         " уже существует. Чтобы заменить его (ключ в нём будет "
                         "потерян), добавьте --force");
            return kExitKeyFile;
        }
    }
    Passphrases passphrases(PassphraseSources(options.passphraseFiles, options.passphraseEnvs));
    if (passphrases.Sources() > 1 && passphrases.Sources() != paths.size()) {
        output.Error(kPassphraseCount + std::to_string(paths.size()) + ")");
        return kExitUsage;
    }
    // Each passphrase is read (and a typed one confirmed) before the key exists.
    std::vector<const std::string*> chosen;
    for (std::size_t k = 0; k < passphrases.Sources() && (k == 0 || passphrases.Sources() > 1);
         ++k) {
        const std::string prompt = count == 0
                                       ? std::string("Парольная фраза для нового ключа: ")
                                       : "Парольная фраза хранителя доли " + std::to_string(k + 1) +
                                             " из " + std::to_string(count) + ": ";
        const SecretText* passphrase = NewPassphrase(
            passphrases, k,
            passphrases.Sources() == 1 && count > 0 ? "Парольная фраза для всех долей: " : prompt,
            console, output);
        if (passphrase == nullptr)
            return kExitUsage;
        chosen.push_back(&passphrase->Text());
    }
    UnblockKeyBytes key{};
    if (!DrawUnblockKey(key)) {
        output.Error(kRandomFailed);
        return kExitKeyFile;
    }
    int error = 0;
    std::string failedPath = paths.front();
    bool saved = false;
    if (count > 0) {
        const ShareWrite written = WriteKeyShares(options.name, key, threshold, count, chosen);
        saved = written.ok;
        error = written.error;
        failedPath = written.failedPath;
    } else if (!chosen.empty()) {
        saved = WriteProtectedKeyFile(paths.front(), key, *chosen.front(), passphrase::kDefaultCost,
                                      &error);
    } else {
        saved = WriteKeyFile(paths.front(), key, &error);
    }
    if (!saved) {
        WipeAll(key);
        output.Error("Can't create file " + failedPath + ": " + SystemErrorText(error));
        return kExitKeyFile;
    }
    const std::string kcv = KeyCheckValue(key);
    AuditKeyGenerated(CommaList(paths), key);
    WipeAll(key);
    OutputEvent event;
    event.event = "keygen";
    event.ok = true;
    if (count > 0) {
        event.message = "Ключ разделён на доли (" + std::to_string(count) + "), любые " +
                        std::to_string(threshold) +
                        " из них восстанавливают его: " + CommaList(paths) +
                        ". Контрольное значение (KCV): " + kcv +
                        ". Запишите его и раздайте доли хранителям; целый ключ не записан "
                        "ни в один файл.";
        event.extra["paths"] = paths;
        event.extra["threshold"] = threshold;
        event.extra["count"] = count;
    } else {
        event.message = "Ключ сохранён в файл " + paths.front() +
                        (chosen.empty() ? "" : " (защищён парольной фразой)") +
                        ". Контрольное значение (KCV): " + kcv + ". Запишите его вместе с файлом.";
        event.extra["path"] = paths.front();
    }
    event.extra["protected"] = !chosen.empty();
    event.extra["kcv"] = kcv;
    output.Report(event);
    return kExitSuccess;
}

std::string NormalizeChallenge(const std::string& typed) {
    std::string compact;
    for (const char c : typed) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        compact += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    std::string grouped;
    for (std::size_t i = 0; i < compact.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            grouped += ' ';
        grouped += compact[i];
    }
    return grouped;
}

int RunResponse(const KeySource& source, const std::string& challenge, Console& console,
                Output& output) {
    std::string typed = challenge;
    if (typed.empty())
        std::getline(console.in, typed);
    const std::string normalized = NormalizeChallenge(typed);
    if (!IsChallengeValid(normalized)) {
        output.Error(kBadChallenge);
        return kExitUsage;
    }
    UnblockKeyBytes key{};
    if (const int code = LoadKey(source, console, output, key); code != kExitSuccess)
        return code;
    OutputEvent event;
    event.event = "response";
    event.ok = true;
    event.message = ComputeResponse(key, normalized);
    AuditResponse(key);
    WipeAll(key);
    event.extra["challenge"] = normalized;
    event.extra["response"] = event.message;
    output.Report(event);
    return kExitSuccess;
}
