#include "ReaderCommands.h"

#include "ConnectWait.h"
#include "KeyCommands.h"
#include "card/TokenSession.h"
#include "crypto/Wipe.h"
#include "engine/AuditJournal.h"
#include "engine/Cp1251.h"
#include "engine/PinReset.h"
#include "engine/ReaderLock.h"

#include <optional>
#include <unistd.h>

namespace {

const std::string kNoService = "Служба смарт-карт (pcscd) недоступна";
// What to do about it, after the message.
const std::string kStartService = ". Запустите её: sudo systemctl start pcscd.socket (если службы "
                                  "нет, установите пакет: sudo apt install pcscd)";
const std::string kNoReaders = "Устройства не найдены";
const std::string kPinMismatch = "Новый ПИН-код не совпадает с повторным вводом\nПовторите, "
                                 "пожалуйста";

// How many times a new PIN typed at a terminal may differ from its repetition.
constexpr int kPinTries = 3;

const std::string kConnectInterrupted =
    "Смена ПИН-кода прервана до подключения к смарт-карте: ПИН-код не изменён";

std::string ConnectGivenUp(const std::string& reader, unsigned seconds) {
    return "Смарт-карта в устройстве «" + reader +
           "» занята другой программой: подключиться к ней "
           "не удалось за " +
           std::to_string(seconds) + " с. ПИН-код не изменён";
}

// The CP1251 bytes of a secret's text.
std::optional<Bytes> Cp1251Bytes(const std::string& utf8) {
    return Utf8ToCp1251(utf8);
}

// Reports the reader list's problem when it is empty; true when there are readers.
bool ReportEmptyList(const ReaderSession& session, const std::vector<std::string>& names,
                     Output& output) {
    if (!names.empty())
        return true;
    output.Error(session.Context == 0 ? kNoService + kStartService : kNoReaders);
    return false;
}

nlohmann::json AppNames(CardAppSet apps) {
    nlohmann::json names = nlohmann::json::array();
    if (HasApp(apps, appRSA))
        names.push_back("rsa");
    if (HasApp(apps, appDSTU))
        names.push_back("dstu");
    if (HasApp(apps, appData))
        names.push_back("data");
    return names;
}

std::string AppText(CardAppSet apps) {
    std::string text;
    for (const auto& [app, name] : {std::pair{appRSA, "RSA"}, {appDSTU, "ДСТУ"}, {appData, "Data"}})
        if (HasApp(apps, app))
            text += (text.empty() ? "" : ", ") + std::string(name);
    return text.empty() ? "нет" : text;
}

// What the reader holds; `token` is the lister's session, on the same context.
OutputEvent DescribeReader(TokenSession& token, const std::string& name) {
    OutputEvent event;
    event.event = "reader";
    event.reader = name;
    event.ok = true;
    token.Exclusive = false; // shared, and the token is left as it was at disconnect
    token.SelectReader(name);
    const bool present = token.ReadPresence() == ReaderSession::Presence::Present;
    event.extra["present"] = present;
    if (!present) {
        event.extra["apps"] = nullptr;
        event.message = name + ": смарт-карты нет";
        return event;
    }
    const bool connected = token.ConnectCard();
    token.Disconnect();
    event.card = token.CardId;
    event.extra["apps"] = AppNames(token.CardApps);
    event.message = name + ": смарт-карта";
    if (!token.CardId.empty())
        event.message += " #" + token.CardId;
    event.message += ", приложения: " + AppText(token.CardApps);
    if (!connected) {
        event.result = token.LastResult;
        event.message += " (" + token.LastErrorText() + ")";
    }
    return event;
}

} // namespace

std::string PinProblem(const std::string& utf8, const std::string& what) {
    // Counted in UTF-16 units, as the window's field counts the characters.
    const std::size_t length = Utf16Length(utf8);
    const bool encodable = IsCp1251Utf8(utf8);
    if (length < 4)
        return "Поле " + what + " не может быть меньше 4 символов";
    if (length > 8)
        return "Поле " + what + " не может быть длиннее 8 символов";
    if (!encodable)
        return "Поле " + what + " содержит символы вне кодовой страницы 1251";
    return {};
}

int CheckReader(ReaderSession& session, const std::string& readerName, Output& output) {
    const std::vector<std::string> names = session.UsableReaders();
    if (names.empty() && session.Context != 0) {
        output.Error("Устройство \"" + readerName + "\" не найдено. " + kNoReaders +
                     ": подключите считыватель");
        return kExitNoService;
    }
    if (!ReportEmptyList(session, names, output))
        return kExitNoService;
    for (const std::string& name : names)
        if (name == readerName)
            return kExitSuccess;
    std::string list;
    for (const std::string& name : names)
        list += (list.empty() ? "" : ", ") + ("\"" + name + "\"");
    output.Error("Устройство \"" + readerName + "\" не найдено. Подключённые устройства: " + list);
    return kExitNoService;
}

int RunReaders(Output& output) {
    TokenSession lister;
    const std::vector<std::string> names = lister.UsableReaders();
    if (!ReportEmptyList(lister, names, output))
        return kExitNoService;
    for (const std::string& name : names)
        output.Report(DescribeReader(lister, name));
    return kExitSuccess;
}

int RunResetPin(const ResetPinOptions& options, Console& console, Output& output) {
    std::string problem;
    std::optional<SecretText> newPin =
        ReadSecret(options.newPin, "Новый ПИН-код: ", console, problem);
    if (!newPin) {
        output.Error("Новый ПИН-код не прочитан: " + problem);
        return kExitUsage;
    }
    if (options.newPin.FromStandardInput() && InputIsTerminal(console)) {
        // A person typing blind may slip: the pair is asked for again, up to kPinTries times.
        for (int attempt = 1;; ++attempt) {
            std::optional<SecretText> again =
                ReadSecret(options.newPin, "Повторите новый ПИН-код: ", console, problem);
            if (!again) {
                output.Error("Новый ПИН-код не прочитан: " + problem);
                return kExitUsage;
            }
            if (again->Text() == newPin->Text())
                break;
            if (attempt == kPinTries) {
                output.Error("Новый ПИН-код " + std::to_string(kPinTries) +
                             " раза не совпал с повторным вводом: ПИН-код не изменён");
                return kExitUsage;
            }
            output.Notice(kPinMismatch);
            std::optional<SecretText> next =
                ReadSecret(options.newPin, "Новый ПИН-код: ", console, problem);
            if (!next) {
                output.Error("Новый ПИН-код не прочитан: " + problem);
                return kExitUsage;
            }
            newPin.reset();
            newPin.emplace(std::move(*next));
        }
    }
    if (const std::string bad = PinProblem(newPin->Text(), "ПИН-код"); !bad.empty()) {
        output.Error(bad);
        return kExitUsage;
    }
    UnblockKeyBytes key{};
    if (const int code = LoadKey(options.key, console, output, key); code != kExitSuccess)
        return code;

    // The connect gives up after console.connectWaitSeconds; its last words are made now, since
    // the give-up and Ctrl+C can then only write them and end the process.
    const auto connectEnding = [&](const std::string& message) {
        OutputEvent event;
        event.event = "reset-pin";
        event.reader = options.reader;
        event.message = message;
        event.Failed(PinResetStepName(PinResetStep::Connect), 0, 0);
        bool toErrors = false;
        std::string line = output.Line(event, toErrors);
        return WaitLimitedApi::Ending{std::move(line), toErrors ? STDERR_FILENO : STDOUT_FILENO};
    };
    WaitLimitedApi limited(
        pcsc::CurrentApi(), console.connectWaitSeconds,
        connectEnding(ConnectGivenUp(options.reader, console.connectWaitSeconds)),
        connectEnding(kConnectInterrupted), console.stopRequested);
    TokenSession token(console.connectWaitSeconds > 0 ? static_cast<pcsc::Api&>(limited)
                                                      : pcsc::CurrentApi());
    // Exclusive, as the window's PIN reset, and the reader held against every other
    // initialization or PIN reset of this user until the reset is over.
    int code = CheckReader(token, options.reader, output);
    std::optional<ReaderLock> lock;
    if (code == kExitSuccess) {
        std::string refusal;
        lock = TakeReader(options.reader, refusal);
        if (!lock) {
            output.Error(refusal);
            code = kExitReaderBusy;
        }
    }
    if (code == kExitSuccess) {
        token.SelectReader(options.reader);
        std::optional<Bytes> bytes = Cp1251Bytes(newPin->Text());
        const PinResetOutcome outcome = ResetPin(token, key, bytes);
        AuditPinReset(options.reader, token.CardId, key, outcome);
        if (bytes)
            SecretBytes::WipeVector(*bytes);
        OutputEvent event;
        event.event = "reset-pin";
        event.reader = options.reader;
        event.ok = outcome.ok;
        event.message = outcome.ok ? kPinResetDone : outcome.message;
        if (!outcome.ok)
            event.Failed(PinResetStepName(outcome.step), outcome.statusWord, outcome.result);
        output.Report(event);
        code = outcome.ok ? kExitSuccess : kExitTokenFailure;
    }
    WipeAll(key);
    return code;
}
