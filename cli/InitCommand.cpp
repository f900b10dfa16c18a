#include "InitCommand.h"

#include "KeyCommands.h"
#include "ReaderCommands.h"
#include "card/TokenSession.h"
#include "crypto/Wipe.h"
#include "engine/Cp1251.h"
#include "engine/InitLog.h"
#include "engine/InitSettingsSource.h"
#include "engine/RandomSource.h"
#include "engine/TokenInit.h"

#include <optional>

namespace {

// The window's texts of the run.
const std::string kAttemptText = "Инициализация... Не извлекайте смарт-карту";
const std::string kDoneText = "Инициализация закончена. Извлеките смарт-карту";
const std::string kNextText = "Вставьте следующую смарт-карту";
const std::string kFirstText = "Вставьте смарт-карту";
const std::string kServiceAway = "Служба смарт-карт не отвечает. Ожидание её восстановления...";
const std::string kRandomFailed = "Ошибка генератора случайных чисел. Ключ не создан";
const std::string kBadGroup =
    "№ группы не может быть пустым или 0: две шестнадцатеричные цифры, от 01 до FF";
// A look at the reader every 100 ms, as the window's run does.
constexpr int kPollInterval = 100;

const char* StepName(InitStep step) {
    static const char* const names[] = {
        "connect",
        "check-global-pin",
        "mf-code",
        "store-pin",
        "store-puk",
        "store-unblock-key",
        "select-rsa",
        "store-rsa-group-key",
        "set-rsa-group",
        "verify-pin",
        "clear-rsa-cache",
        "select-dstu",
        "store-dstu-group-key",
        "set-dstu-group",
        "select-data",
        "activate-data",
    };
    return names[static_cast<int>(step)];
}

// The command line's choices as the window's fields would hold them. Secrets and keys are wiped
// when it goes away.
class OptionSettings final : public IInitSettings {
public:
    // One option's UTF-8 text, measured as the window's field measures it: in UTF-16 units.
    // A text taken over from another leaves no copy behind in it (a short text lives inside the
    // string object, which a plain move would leave as it was).
    struct Text {
        std::string utf8;
        Text() = default;
        Text(const std::string& text) : utf8(text) {}
        Text(const Text&) = delete;
        Text& operator=(Text&& other) noexcept {
            WipeAll(utf8);
            utf8.assign(other.utf8);
            WipeAll(other.utf8);
            return *this;
        }
        bool isEmpty() const { return utf8.empty(); }
        std::size_t size() const { return Utf16Length(utf8); }
    };

    Text pin, puk, groupRsa, groupDstu, name;
    bool usePuk = false, useKey = false;
    std::array<std::uint8_t, 16> unblockKey = kDefaultUnblockKey;
    std::array<std::uint8_t, 32> groupKeyRsa{}, groupKeyDstu{};

    OptionSettings() = default;
    OptionSettings(const OptionSettings&) = delete;
    OptionSettings& operator=(const OptionSettings&) = delete;
    ~OptionSettings() override {
        WipeAll(pin.utf8);
        WipeAll(puk.utf8);
        WipeAll(unblockKey);
        WipeAll(groupKeyRsa);
        WipeAll(groupKeyDstu);
    }

    std::string PinText() const override { return pin.utf8; }
    std::string PukText() const override { return puk.utf8; }
    bool AllowPuk() const override { return usePuk; }
    bool UseUnblockKey() const override { return useKey; }
    bool DublGroupRSA() const override { return !groupRsa.isEmpty(); }
    std::string GroupRSAText() const override { return groupRsa.utf8; }
    bool DublGroupDSTU() const override { return !groupDstu.isEmpty(); }
    std::string GroupDSTUText() const override { return groupDstu.utf8; }
    std::string DeviceNameText() const override { return name.utf8; }
    const std::array<std::uint8_t, 16>& UnblockKey() const override { return unblockKey; }
    const std::array<std::uint8_t, 32>& GroupKeyRSA() const override { return groupKeyRsa; }
    const std::array<std::uint8_t, 32>& GroupKeyDSTU() const override { return groupKeyDstu; }
};

OptionSettings::Text FromUtf8(const std::string& text) {
    return {text};
}

// Reads, checks and sets the PIN and the PUK; an exit code on a problem.
std::optional<int> ReadSecrets(const InitOptions& options, Console& console, Output& output,
                               OptionSettings& settings) {
    const bool pukGiven = !options.puk.file.empty() || !options.puk.environment.empty();
    if (pukGiven && options.pin.FromStandardInput() && options.puk.FromStandardInput()) {
        output.Error("Со стандартного ввода читается только один секрет: укажите ПАК-код в файле "
                     "(--puk-file) или в переменной окружения (--puk-env)");
        return kExitUsage;
    }
    std::string problem;
    std::optional<SecretText> pin = ReadSecret(options.pin, "ПИН-код: ", console, problem);
    if (!pin) {
        output.Error("ПИН-код не прочитан: " + problem);
        return kExitUsage;
    }
    if (const std::string bad = PinProblem(pin->Text(), "ПИН-код"); !bad.empty()) {
        output.Error(bad);
        return kExitUsage;
    }
    settings.pin = FromUtf8(pin->Text());
    if (!pukGiven)
        return std::nullopt;
    std::optional<SecretText> puk = ReadSecret(options.puk, "ПАК-код: ", console, problem);
    if (!puk) {
        output.Error("ПАК-код не прочитан: " + problem);
        return kExitUsage;
    }
    if (const std::string bad = PinProblem(puk->Text(), "ПАК-код"); !bad.empty()) {
        output.Error(bad);
        return kExitUsage;
    }
    settings.puk = FromUtf8(puk->Text());
    settings.usePuk = true;
    return std::nullopt;
}

// Everything but the token: an exit code on a problem.
std::optional<int> PrepareSettings(const InitOptions& options, Console& console, Output& output,
                                   OptionSettings& settings) {
    for (const std::string* typed : {&options.groupRsa, &options.groupDstu}) {
        if (!typed->empty() && GroupField(*typed).empty()) {
            output.Error(kBadGroup);
            return kExitUsage;
        }
    }
    settings.groupRsa = FromUtf8(GroupField(options.groupRsa));
    settings.groupDstu = FromUtf8(GroupField(options.groupDstu));
    settings.name = FromUtf8(options.name);
    if (settings.name.size() > 32) {
        output.Error("Имя устройства не может быть длиннее 32 символов");
        return kExitUsage;
    }
    if (options.count < 1) {
        output.Error("--count: нужно число не меньше 1");
        return kExitUsage;
    }
    if (const std::optional<int> code = ReadSecrets(options, console, output, settings))
        return code;
    if (!options.keyFile.empty()) {
        std::optional<UnblockKeyBytes> key = LoadKeyFile(options.keyFile, output);
        if (!key)
            return kExitKeyFile;
        settings.unblockKey = *key;
        settings.useKey = true;
        WipeAll(*key);
    }
    // Made once per run, as the window makes them once per program run.
    if (!FillRandom(settings.groupKeyRsa.data(), settings.groupKeyRsa.size()) ||
        !FillRandom(settings.groupKeyDstu.data(), settings.groupKeyDstu.size())) {
        output.Error(kRandomFailed);
        return kExitTokenFailure;
    }
    std::string blocked;
    if (!settings.usePuk)
        blocked += "ПАК-код; ";
    if (!settings.useKey)
        blocked += "Разблокировка C/R; ";
    if (settings.groupRsa.isEmpty())
        blocked += "Дублирование RSA; ";
    if (settings.groupDstu.isEmpty())
        blocked += "Дублирование ДСТУ; ";
    if (!blocked.empty()) {
        blocked.replace(blocked.size() - 2, 2, ".");
        output.Notice("Следующие параметры будут заблокированы: " + blocked);
    }
    return std::nullopt;
}

// One run over the reader: the waits, the attempts and their reports.
class Run final : private InitObserver {
public:
    Run(const InitOptions& options, Console& console, Output& output, OptionSettings& settings,
        TokenSession& session)
        : options_(options), console_(console), output_(output), settings_(settings),
          session_(session) {}

    int Go() {
        bool tokenIn = WaitForToken(kFirstText);
        while (tokenIn) {
            const bool ok = Attempt();
            if (ok)
                ++initialized_;
            if ((ok && !options_.continuous && initialized_ >= options_.count) ||
                console_.StopRequested())
                break;
            if (!WaitForRemoval())
                break;
            // A token put in place of the last one between two looks is the next one already.
            tokenIn = takenOut_ ? WaitForToken(kNextText) : true;
        }
        OutputEvent done;
        done.event = "done";
        done.reader = options_.reader;
        done.ok = failed_ == 0;
        done.message = "Инициализация закончена";
        done.text = done.message + ": смарт-карт инициализировано " + std::to_string(initialized_) +
                    ", неудачных попыток " + std::to_string(failed_);
        done.extra["initialized"] = initialized_;
        done.extra["failed"] = failed_;
        if (console_.StopRequested())
            done.extra["interrupted"] = true;
        output_.Report(done);
        return failed_ == 0 ? kExitSuccess : kExitTokenFailure;
    }

private:
    // What the reader holds; a service away is told once and counts as neither in nor out.
    ReaderSession::Presence Look() {
        const ReaderSession::Presence presence = session_.ReadPresence();
        const bool away = presence == ReaderSession::Presence::NoService;
        if (away && !serviceAway_)
            output_.Notice(kServiceAway);
        if (serviceAway_ && !away)
            removalCount_.reset(); // a restarted service counts insertions and removals anew
        serviceAway_ = away;
        return presence;
    }

    // False when the run was asked to stop.
    bool WaitForToken(const std::string& text) {
        bool told = false;
        while (!console_.StopRequested()) {
            if (Look() == ReaderSession::Presence::Present)
                return true;
            if (!told) {
                Report("waiting", text);
                told = true;
            }
            console_.sleep(kPollInterval);
        }
        return false;
    }

    // Until the token is out (takenOut_ set) or another one is in its place (the reader's count
    // of insertions and removals moved while a token stayed present); false when asked to stop.
    bool WaitForRemoval() {
        removalCount_.reset();
        takenOut_ = false;
        while (!console_.StopRequested()) {
            const ReaderSession::Presence presence = Look();
            if (presence == ReaderSession::Presence::Absent) {
                takenOut_ = true;
                return true;
            }
            if (presence == ReaderSession::Presence::Present) {
                if (!removalCount_)
                    removalCount_ = session_.LastEventCount;
                else if (session_.LastEventCount != *removalCount_)
                    return true;
            }
            console_.sleep(kPollInterval);
        }
        return false;
    }

    bool Attempt() {
        Report("attempt", kAttemptText);
        InitSettings settings;
        ReadInitSettings(settings_, settings);
        const InitOutcome outcome = InitializeToken(session_, settings, *this);
        OutputEvent event;
        event.event = "result";
        event.reader = options_.reader;
        event.card = outcome.cardId;
        event.ok = outcome.ok;
        event.message = outcome.ok ? kDoneText : outcome.message;
        event.text =
            (outcome.cardId.empty() ? std::string() : "#" + outcome.cardId + ": ") + event.message;
        if (!outcome.ok) {
            ++failed_;
            event.Failed(StepName(outcome.step), outcome.statusWord, outcome.result);
        }
        output_.Report(event);
        return outcome.ok;
    }

    void Report(const char* name, const std::string& message) {
        OutputEvent event;
        event.event = name;
        event.reader = options_.reader;
        event.message = message;
        output_.Report(event);
    }

    void Progress(int) override {}
    void Pause(int milliseconds) override { console_.sleep(milliseconds); }
    // The log line is written while the token is still held, as the window writes it.
    void Concluded(const InitOutcome& outcome) override {
        if (outcome.ok)
            WriteInitLog(outcome.cardId);
        else
            WriteInitLog(outcome.cardId, outcome.message);
    }

    const InitOptions& options_;
    Console& console_;
    Output& output_;
    OptionSettings& settings_;
    TokenSession& session_;
    int initialized_ = 0;
    int failed_ = 0;
    bool serviceAway_ = false;
    bool takenOut_ = false;
    std::optional<std::uint16_t> removalCount_;
};

} // namespace

std::string GroupField(const std::string& typed) {
    if (typed.size() != 2)
        return {};
    std::string field;
    for (const char c : typed) {
        if (c >= '0' && c <= '9')
            field += c;
        else if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))
            field += static_cast<char>(c & ~0x20);
        else
            return {};
    }
    if (HexToInt(std::u16string(field.begin(), field.end()), 2) == 0)
        return {};
    return field;
}

int RunInit(const InitOptions& options, Console& console, Output& output) {
    OptionSettings settings;
    if (const std::optional<int> code = PrepareSettings(options, console, output, settings))
        return *code;
    TokenSession session;
    session.Exclusive = false; // shared, as the window's run
    if (const int code = CheckReader(session, options.reader, output); code != kExitSuccess)
        return code;
    session.SelectReader(options.reader);
    return Run(options, console, output, settings, session).Go();
}
