#include "KeyCommands.h"

#include "SystemError.h"
#include "crypto/Wipe.h"
#include "engine/AuditJournal.h"
#include "engine/ChallengeResponse.h"
#include "engine/KeyFile.h"
#include "engine/RandomSource.h"

#include <cerrno>
#include <cstdio>
#include <istream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The window's messages for a key file it cannot use.
const std::string kCannotOpen = "Не могу загрузить файл. Закройте приложения, которые могут его "
                                "использовать и повторите попытку";
const std::string kWrongSize = std::string("Файл имеет неправильный размер. Удо") + 'c' +
                               "товерьтесь в целосности файла ключа";
const std::string kRandomFailed = "Ошибка генератора случайных чисел. Ключ не создан";
const std::string kBadChallenge =
    "Поле \"Вызов\" имеет недопустимый формат. Проверьте правильность введенных данных";

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

} // namespace

std::optional<UnblockKeyBytes> LoadKeyFile(const std::string& path, Output& output) {
    UnblockKeyBytes key{};
    unsigned permissions = 0;
    switch (ReadKeyFile(path, key, &permissions)) {
    case KeyFileRead::CannotOpen:
        output.Error(path + ": " + kCannotOpen + " (" + CannotOpenReason(path) + ")");
        return std::nullopt;
    case KeyFileRead::WrongSize:
        output.Error(path + ": " + kWrongSize);
        return std::nullopt;
    case KeyFileRead::Loaded:
        break;
    }
    if (IsOpenToOthers(permissions))
        output.Notice(path + ": файл ключа доступен не только владельцу (права " +
                      OctalMode(permissions) + "): его могут прочитать другие пользователи");
    switch (WeaknessOf(key)) {
    case KeyWeakness::SingleDes:
        output.Notice(path +
                      ": обе половины ключа одинаковы: такой ключ не сильнее одинарного DES");
        break;
    case KeyWeakness::DefaultKey:
        output.Notice(path + ": ключ совпадает со встроенным ключом по умолчанию, который "
                             "известен всем");
        break;
    case KeyWeakness::None:
        break;
    }
    AuditKeyLoaded(path, key);
    std::optional<UnblockKeyBytes> loaded(key);
    WipeAll(key);
    return loaded;
}

int RunKcv(const std::string& keyFile, Output& output) {
    std::optional<UnblockKeyBytes> key = LoadKeyFile(keyFile, output);
    if (!key)
        return kExitKeyFile;
    OutputEvent event;
    event.event = "kcv";
    event.ok = true;
    event.message = KeyCheckText(*key);
    event.extra["path"] = keyFile;
    event.extra["kcv"] = KeyCheckValue(*key);
    const char* weakness = WeaknessName(WeaknessOf(*key));
    event.extra["weakness"] = weakness ? nlohmann::json(weakness) : nlohmann::json();
    WipeAll(*key);
    output.Report(event);
    return kExitSuccess;
}

int RunKeygen(const std::string& chosenName, bool replace, Output& output) {
    if (chosenName.empty()) {
        output.Error("Имя файла ключа пустое: укажите имя, к нему добавится \".key\"");
        return kExitUsage;
    }
    const std::string path = NewKeyFilePath(chosenName);
    // A key file replaced by mistake takes with it the only way to unblock the tokens that carry
    // its key.
    if (!replace && Exists(path)) {
        output.Error("Файл " + path +
                     " уже существует. Чтобы заменить его (ключ в нём будет "
                     "потерян), добавьте --force");
        return kExitKeyFile;
    }
    // A new key is never a weak one: the draw is repeated (a weak draw is all but impossible).
    UnblockKeyBytes key{};
    do {
        if (!FillRandom(key.data(), key.size())) {
            WipeAll(key);
            output.Error(kRandomFailed);
            return kExitKeyFile;
        }
    } while (WeaknessOf(key) != KeyWeakness::None);
    int error = 0;
    if (!WriteKeyFile(path, key, &error)) {
        WipeAll(key);
        output.Error("Can't create file " + path + ": " + SystemErrorText(error));
        return kExitKeyFile;
    }
    const std::string kcv = KeyCheckValue(key);
    AuditKeyGenerated(path, key);
    WipeAll(key);
    OutputEvent event;
    event.event = "keygen";
    event.ok = true;
    event.message = "Ключ сохранён в файл " + path + ". Контрольное значение (KCV): " + kcv +
                    ". Запишите его вместе с файлом.";
    event.extra["path"] = path;
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

int RunResponse(const std::string& keyFile, const std::string& challenge, Console& console,
                Output& output) {
    std::string typed = challenge;
    if (typed.empty())
        std::getline(console.in, typed);
    const std::string normalized = NormalizeChallenge(typed);
    if (!IsChallengeValid(normalized)) {
        output.Error(kBadChallenge);
        return kExitUsage;
    }
    std::optional<UnblockKeyBytes> key = LoadKeyFile(keyFile, output);
    if (!key)
        return kExitKeyFile;
    OutputEvent event;
    event.event = "response";
    event.ok = true;
    event.message = ComputeResponse(*key, normalized);
    AuditResponse(*key);
    WipeAll(*key);
    event.extra["challenge"] = normalized;
    event.extra["response"] = event.message;
    output.Report(event);
    return kExitSuccess;
}
