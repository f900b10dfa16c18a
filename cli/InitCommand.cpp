#include "InitCommand.h"

#include "InitStation.h"
#include "KeyCommands.h"
#include "ReaderCommands.h"
#include "card/TokenSession.h"
#include "crypto/Wipe.h"
#include "engine/BatchRun.h"
#include "engine/Cp1251.h"
#include "engine/InitLog.h"
#include "engine/InitSettingsSource.h"
#include "engine/RandomSource.h"
#include "engine/ReaderLock.h"
#include "engine/RunTexts.h"
#include "engine/TokenInit.h"

#include <memory>
#include <optional>

namespace {

const std::string kRandomFailed = "Ошибка генератора случайных чисел. Ключ не создан";
const std::string kBadGroup =
    "№ группы не может быть пустым или 0: две шестнадцатеричные цифры, от 01 до FF";
// A look at the reader every 100 ms between the attempts.
constexpr int kPollInterval = 100;

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
    bool usePuk = false, useKey = false, readCardNumber = false;
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
    bool ReadCardNumber() const override { return readCardNumber; }
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
    settings.readCardNumber = options.readCardNumber;
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
    if (!options.key.files.empty()) {
        if (const int code = LoadKey(options.key, console, output, settings.unblockKey);
            code != kExitSuccess)
            return code;
        settings.useKey = true;
    }
    // Made once per run, as the window makes them once per program run.
    if (!FillRandom(settings.groupKeyRsa.data(), settings.groupKeyRsa.size()) ||
        !FillRandom(settings.groupKeyDstu.data(), settings.groupKeyDstu.size())) {
        output.Error(kRandomFailed);
        return kExitTokenFailure;
    }
    std::string blocked =
        BlockedOptions(settings.usePuk, settings.useKey, !settings.groupRsa.isEmpty(),
                       !settings.groupDstu.isEmpty());
    if (!blocked.empty()) {
        blocked.pop_back(); // a line of its own: no blank at its end
        output.Notice(run_text::kBlockedShort + blocked);
    }
    return std::nullopt;
}

// The run's front end on a terminal or in a script: its events as text lines or JSON objects.
class RunReport final : public BatchRunFront {
public:
    RunReport(const InitOptions& options, Console& console, Output& output)
        : options_(options), console_(console), output_(output) {}

    void Attach(const BatchRun& run) { run_ = &run; }

    // The last line: the counts, and whether a signal ended the run before its count.
    int Done(bool interrupted) {
        const int initialized = run_->Initialized();
        const int failed = run_->FailedAttempts();
        const int code = interrupted      ? kExitInterrupted
                         : linesLost_ > 0 ? kExitLogLineLost
                         : failed == 0    ? kExitSuccess
                                          : kExitTokenFailure;
        OutputEvent done = RunDoneEvent(initialized, failed, code, interrupted, linesLost_,
                                        console_.StopRequested());
        done.reader = options_.reader;
        output_.Report(done);
        return code;
    }

private:
    void StateEntered(RunState state) override {
        if (state == RunState::Attempt)
            Report("attempt", std::string(run_text::kAttempt1) + " " + run_text::kAttempt2);
        else if (state == RunState::Waiting)
            Report("waiting", run_->Initialized() + run_->FailedAttempts() == 0 ? run_text::kFirst
                                                                                : run_text::kNext);
    }
    void ServiceAway(bool away) override {
        if (away)
            output_.Notice(run_text::kServiceAway);
    }
    void Progress(int) override {}
    void Pause(int milliseconds) override { console_.sleep(milliseconds); }
    void ReportFailure(const InitOutcome&) override {}
    void AttemptEnded(const InitOutcome& outcome) override {
        output_.Report(ResultEvent(options_.reader, outcome));
    }

    void LogLineLost(const std::string& problem) override {
        ++linesLost_;
        OutputEvent event;
        event.event = "log-line-lost";
        event.reader = options_.reader;
        event.ok = false; // text mode: on standard error
        event.message = problem;
        output_.Report(event);
    }

    void Report(const char* name, const std::string& message) {
        OutputEvent event;
        event.event = name;
        event.reader = options_.reader;
        event.message = message;
        output_.Report(event);
    }

    const InitOptions& options_;
    Console& console_;
    Output& output_;
    const BatchRun* run_ = nullptr;
    int linesLost_ = 0;
};

// Runs token after token until --count tokens are initialized, or until a stop request (between
// tokens at once; an attempt under way is finished first). Answers the exit code.
int Go(const InitOptions& options, Console& console, Output& output, OptionSettings& settings,
       const std::shared_ptr<TokenSession>& session) {
    RunReport report(options, console, output);
    BatchRunRules rules;
    rules.startWithoutEnter = true;
    rules.retryOnNextToken = true;
    rules.count = options.continuous ? 0 : options.count;
    BatchRun run(
        session, report,
        [&settings](InitSettings& attempt) { ReadInitSettings(settings, attempt); },
        [](const std::string& cardId, const std::string& failure) {
            // The log line is written while the token is still held, as the window writes it.
            return WriteInitLog(cardId, failure).problem;
        },
        rules);
    report.Attach(run);
    run.Start();
    while (run.State() != RunState::Ended && !console.StopRequested()) {
        console.sleep(kPollInterval);
        if (!console.StopRequested())
            run.Look();
    }
    const bool interrupted = run.State() != RunState::Ended && !options.continuous;
    run.Esc();
    return report.Done(interrupted);
}

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
    if (options.allReaders || options.readers.size() > 1) {
        InitStationOptions station;
        station.readers = options.allReaders ? std::vector<std::string>() : options.readers;
        station.count = options.continuous ? 0 : options.count;
        return RunInitStation(station, settings, console, output);
    }
    auto session = std::make_shared<TokenSession>();
    session->Exclusive = false; // shared, as the window's run
    if (const int code = CheckReader(*session, options.reader, output); code != kExitSuccess)
        return code;
    // The reader is this run's until it ends: a second run or a PIN reset of this user on it is
    // refused meanwhile, and this one is refused while another holds it.
    std::string refusal;
    const std::optional<ReaderLock> lock = TakeReader(options.reader, refusal);
    if (!lock) {
        output.Error(refusal);
        return kExitReaderBusy;
    }
    session->SelectReader(options.reader);
    return Go(options, console, output, settings, session);
}
