#include "CommandLine.h"

#include "InitCommand.h"
#include "JournalCommand.h"
#include "KeyCommands.h"
#include "Output.h"
#include "ReaderCommands.h"
#include "SecretInput.h"
#include "SystemError.h"
#include "engine/AuditJournal.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <ostream>

namespace {

// Russian headings for the --help texts.
void RussianHelp(CLI::App& app) {
    auto formatter = app.get_formatter();
    formatter->label("Usage", "Использование");
    formatter->label("OPTIONS", "ПАРАМЕТРЫ");
    formatter->label("SUBCOMMAND", "КОМАНДА");
    formatter->label("SUBCOMMANDS", "КОМАНДЫ");
    formatter->label("Positionals", "Аргументы");
    formatter->label("Options", "Параметры");
    formatter->label("Subcommands", "Команды");
    formatter->label("REQUIRED", "обязательный");
    formatter->label("TEXT", "ТЕКСТ");
    formatter->label("INT", "ЧИСЛО");
    formatter->label("Excludes", "Исключает");
    formatter->label("Needs", "Требует");
    formatter->column_width(34);
}

// The option names (words starting with "-", without a value after "=") in a parser's message.
std::vector<std::string> OptionNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find_first_of(" ,[]", at), text.size());
        std::string word = text.substr(at, end - at);
        at = end + 1;
        while (!word.empty() && (word.back() == ':' || word.back() == ','))
            word.pop_back();
        word = word.substr(0, word.find('='));
        if (word.size() > 1 && word[0] == '-' && word != "--")
            names.push_back(word);
    }
    return names;
}

// The parser's complaint in Russian, naming the option at fault and never repeating an argument
// value (one of them may be a secret typed in the wrong place).
std::string UsageProblem(const CLI::ParseError& error) {
    const std::string what = error.what();
    const std::vector<std::string> names = OptionNames(what);
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        if (names.empty())
            return "Лишние аргументы в командной строке";
        return (names.size() == 1 ? "Неизвестный параметр " : "Неизвестные параметры ") +
               CommaList(names);
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
        if (what.find("subcommand") != std::string::npos)
            return "Не указана команда: kcv, keygen, response, readers, init или reset-pin";
        const std::string name = what.substr(0, what.find(' '));
        return "Не указан обязательный " + std::string(names.empty() ? "аргумент " : "параметр ") +
               name;
    }
    if (dynamic_cast<const CLI::ExcludesError*>(&error) != nullptr && names.size() >= 2)
        return "Параметры " + names[0] + " и " + names[1] + " нельзя указывать вместе";
    if (dynamic_cast<const CLI::RequiresError*>(&error) != nullptr && names.size() >= 2)
        return "Параметр " + names[0] + " требует " + names[1];
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && !names.empty())
        return "Параметру " + names.front() + " не хватает значения или их слишком много";
    if ((dynamic_cast<const CLI::ConversionError*>(&error) != nullptr ||
         dynamic_cast<const CLI::ValidationError*>(&error) != nullptr) &&
        !names.empty())
        return "Недопустимое значение параметра " + names.back();
    if (!names.empty())
        return "Неверный вызов: параметр " + CommaList(names);
    return "Неверные аргументы в командной строке";
}

// Whether the caller asked for JSON lines (before the parser has looked at the arguments).
bool JsonRequested(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--")
            break;
        if (argument == "--json")
            return true;
    }
    return false;
}

// A refusal of the command line: on standard error, as text with a pointer to --help or (with
// --json) as an "error" event.
int RefuseUsage(const std::vector<std::string>& arguments, Console& console,
                const std::string& problem) {
    const bool json = JsonRequested(arguments);
    Output(console.out, console.err, json)
        .Refuse(json ? problem : problem + "\nСм. orvane-cli --help");
    return kExitUsage;
}

// --NAME-file and --NAME-env for one secret.
void AddSecretOptions(CLI::App& command, const std::string& name, const std::string& what,
                      SecretSource& source) {
    CLI::Option* file = command
                            .add_option("--" + name + "-file", source.file,
                                        what + ": из первой строки файла (- : стандартный ввод)")
                            ->type_name("ФАЙЛ");
    CLI::Option* env = command
                           .add_option("--" + name + "-env", source.environment,
                                       what + ": из переменной окружения с этим именем")
                           ->type_name("ПЕРЕМЕННАЯ");
    file->excludes(env);
}

// --passphrase-file and --passphrase-env, each repeatable: one for all files or one per file.
void AddPassphraseOptions(CLI::App& command, std::vector<std::string>& files,
                          std::vector<std::string>& variables, const std::string& what) {
    CLI::Option* file =
        command
            .add_option("--passphrase-file", files,
                        "Парольная фраза " + what +
                            ": из первой строки файла (- : стандартный ввод); одна для всех "
                            "файлов или по одной на каждый, по порядку")
            ->type_name("ФАЙЛ")
            ->allow_extra_args(false);
    CLI::Option* env =
        command
            .add_option("--passphrase-env", variables,
                        "Парольная фраза " + what + ": из переменной окружения с этим именем")
            ->type_name("ПЕРЕМЕННАЯ")
            ->allow_extra_args(false);
    file->excludes(env);
}

// --key, repeatable (the share files of a split key), with the passphrases of protected files.
CLI::Option* AddKeyOptions(CLI::App& command, KeySource& key, const std::string& description) {
    CLI::Option* option = command.add_option("--key", key.files, description)
                              ->type_name("ФАЙЛ")
                              ->allow_extra_args(false);
    AddPassphraseOptions(command, key.passphraseFiles, key.passphraseEnvs,
                         "защищённого файла ключа (без параметра спрашивается без эха)");
    return option;
}

// The text of --key for the commands that take the unblock key.
const std::string kKeyOptionText = "Файл ключа разблокировки; для ключа, разделённого на доли, "
                                   "--key для каждой доли";

} // namespace

std::string VersionText() {
    return std::string("orvane-cli ") + ORVANE_VERSION;
}

namespace {

int Dispatch(const std::vector<std::string>& arguments, Console& console,
             std::optional<Output>& reported, int& exitWriteError) {
    if (const std::string problem = SecretArgumentProblem(arguments); !problem.empty()) {
        Output(console.out, console.err, JsonRequested(arguments)).Refuse(problem);
        return kExitUsage;
    }

    CLI::App app{"orvane-cli: инициализация и разблокировка смарт-карт Orvane из командной строки. "
                 "Коды выхода: 0 успех, 1 ошибка смарт-карты, 2 неверный вызов, 3 нет службы "
                 "смарт-карт или устройства, 4 проблема с файлом ключа, 5 устройство занято "
                 "(другой инициализацией, сменой ПИН-кода или программой), 6 строка журнала "
                 "инициализации не записана (init), 7 вывод не записан (например, диск "
                 "заполнен или канал закрыт), 8 журнал инициализации не прочитан до конца "
                 "(journal), 130 прервано "
                 "(Ctrl+C, SIGTERM, SIGHUP): init до заданного --count числа смарт-карт, "
                 "reset-pin во время ожидания смарт-карты.",
                 "orvane-cli"};
    RussianHelp(app);
    app.option_defaults()->group("Параметры");
    app.set_help_flag("-h,--help", "Показать справку и выйти");
    app.set_version_flag("--version", VersionText(), "Показать версию и выйти");
    app.require_subcommand(1, 1);
    app.fallthrough();
    bool json = false;
    app.add_flag("--json", json, "Вывод: один объект JSON на строку");

    KeySource key;
    CLI::App* kcv = app.add_subcommand("kcv", "Контрольное значение (KCV) ключа");
    kcv->add_option("ФАЙЛ_КЛЮЧА", key.files,
                    "Файл ключа разблокировки (16 байт или защищённый парольной фразой) или "
                    "файлы долей ключа")
        ->type_name("")
        ->required();
    AddPassphraseOptions(*kcv, key.passphraseFiles, key.passphraseEnvs,
                         "защищённого файла ключа (без параметра спрашивается без эха)");

    KeygenOptions newKey;
    CLI::App* keygen = app.add_subcommand(
        "keygen", "Новый ключ разблокировки в файл ИМЯ.key (права 0600), с его KCV; с "
                  "парольной фразой файл защищён ею, с --split ключ делится на доли");
    keygen->add_option("ИМЯ", newKey.name, "Имя файла; к нему добавляется \".key\"")
        ->type_name("")
        ->required();
    keygen->add_flag("--force", newKey.replace, "Заменить существующий файл");
    keygen
        ->add_option("--split", newKey.split,
                     "Разделить ключ на N долей, любые M из которых восстанавливают его "
                     "(2 <= M <= N <= 9): файлы ИМЯ-1-of-N.key ... ИМЯ-N-of-N.key")
        ->type_name("M/N");
    AddPassphraseOptions(*keygen, newKey.passphraseFiles, newKey.passphraseEnvs,
                         "нового файла (не короче 8 символов; для долей: одна для всех или "
                         "по одной для каждого хранителя)");

    std::vector<std::string> challengeWords;
    CLI::App* response = app.add_subcommand(
        "response", "Отклик на вызов пользователя (вызов из аргумента или со стандартного ввода)");
    AddKeyOptions(*response, key, kKeyOptionText)->required();
    response->add_option("ВЫЗОВ", challengeWords, "Вызов: 16 шестнадцатеричных цифр")
        ->type_name("");

    CLI::App* readers =
        app.add_subcommand("readers", "Устройства: есть ли смарт-карта, её номер и приложения");

    InitOptions init;
    CLI::App* initCommand =
        app.add_subcommand("init", "Инициализация смарт-карт одна за другой, как в окне программы");
    CLI::Option* initReaders =
        initCommand
            ->add_option("--reader", init.readers,
                         "Устройство (имя из orvane-cli readers); повторённый параметр: несколько "
                         "устройств сразу")
            ->type_name("УСТРОЙСТВО");
    initCommand
        ->add_flag("--all-readers", init.allReaders,
                   "Все подключённые устройства сразу, и подключённые во время работы")
        ->excludes(initReaders);
    AddSecretOptions(*initCommand, "pin", "ПИН-код по умолчанию (4-8 символов)", init.pin);
    AddSecretOptions(*initCommand, "puk", "ПАК-код (без него ПАК-код заблокирован)", init.puk);
    CLI::Option* withKey = AddKeyOptions(
        *initCommand, init.key, kKeyOptionText + " (разблокировка по вызову и отклику разрешена)");
    bool withoutKey = false;
    CLI::Option* noKey = initCommand->add_flag(
        "--no-key", withoutKey, "Без ключа разблокировки (встроенный ключ, заблокирован)");
    withKey->excludes(noKey);
    initCommand
        ->add_option("--group-rsa", init.groupRsa,
                     "Группа дублирования RSA: две шестнадцатеричные цифры, 01-FF")
        ->type_name("ГРУППА");
    initCommand
        ->add_option("--group-dstu", init.groupDstu,
                     "Группа дублирования ДСТУ: две шестнадцатеричные цифры, 01-FF")
        ->type_name("ГРУППА");
    initCommand->add_option("--name", init.name, "Имя устройства (до 32 символов)")
        ->type_name("ИМЯ");
    CLI::Option* count = initCommand->add_option(
        "--count", init.count, "Сколько смарт-карт (по умолчанию 1; на всех устройствах вместе)");
    CLI::Option* continuous =
        initCommand->add_flag("--continuous", init.continuous, "Без счёта, до Ctrl+C");
    count->excludes(continuous);
    initCommand->add_flag("--read-card-number", init.readCardNumber,
                          "Спрашивать номер у каждой смарт-карты для журнала (и у тех, что "
                          "сообщают о своих приложениях)");

    ResetPinOptions reset;
    CLI::App* resetCommand =
        app.add_subcommand("reset-pin", "Новый ПИН-код смарт-карты с ключом разблокировки. "
                                        "Занятое устройство: код выхода 5");
    resetCommand->add_option("--reader", reset.reader, "Устройство")
        ->type_name("УСТРОЙСТВО")
        ->required();
    AddKeyOptions(*resetCommand, reset.key, kKeyOptionText)->required();
    AddSecretOptions(*resetCommand, "new-pin", "Новый ПИН-код (4-8 символов)", reset.newPin);

    JournalOptions journal;
    CLI::App* journalCommand = app.add_subcommand(
        "journal", "Итоги журнала инициализации за день: число инициализированных, ошибок, "
                   "разных карт и карты, которые нужно инициализировать заново. Журнал не "
                   "прочитан: код выхода 2");
    CLI::Option* date = journalCommand->add_option("--date", journal.date,
                                                   "День (ГГГГ-ММ-ДД; по умолчанию сегодня)");
    journalCommand->add_option("--file", journal.file, "Файл журнала вместо дня")->excludes(date);
    journalCommand->add_option("--csv", journal.csv,
                               "Записать строки журнала в файл CSV, как окно журнала");

    for (CLI::App* command : app.get_subcommands({})) {
        command->set_help_flag("-h,--help", "Показать справку и выйти");
        command->group("Команды"); // the heading of the command list in --help
    }

    try {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            // --help or --version: the text is the command's output.
            errno = 0;
            const int code = app.exit(error, console.out, console.err);
            if (!console.out)
                exitWriteError = errno != 0 ? errno : EIO;
            return code;
        }
        return RefuseUsage(arguments, console, UsageProblem(error));
    }

    if (initCommand->parsed() && init.readers.empty() && !init.allReaders)
        return RefuseUsage(arguments, console,
                           "Не указан обязательный параметр --reader (или --all-readers)");
    if (init.readers.size() == 1)
        init.reader = init.readers.front();
    Output& output = reported.emplace(console.out, console.err, json);
    // A machine without a system journal is told once, in the form of the rest of the output.
    const AuditWarningsTo journalWarnings(
        [&output](const std::string& line) { output.Aside("journal-unavailable", line); });
    if (initCommand->parsed() && withKey->count() == 0 && noKey->count() == 0) {
        output.Error("Укажите ключ разблокировки (--key ФАЙЛ) или --no-key");
        return kExitUsage;
    }
    if (readers->parsed())
        return RunReaders(output);
    if (journalCommand->parsed())
        return RunJournal(journal, output);
    if (initCommand->parsed())
        return RunInit(init, console, output);
    if (resetCommand->parsed())
        return RunResetPin(reset, console, output);
    if (kcv->parsed())
        return RunKcv(key, console, output);
    if (keygen->parsed())
        return RunKeygen(newKey, console, output);
    if (response->parsed()) {
        std::string challenge;
        for (const std::string& word : challengeWords)
            challenge += word;
        return RunResponse(key, challenge, console, output);
    }
    return kExitUsage;
}

} // namespace

int RunCommandLine(const std::vector<std::string>& arguments, Console& console) {
    std::optional<Output> output;
    int exitWriteError = 0;
    const int code = Dispatch(arguments, console, output, exitWriteError);
    // What the command printed must have reached standard output: a result lost on a full disk
    // or behind a closed pipe is a failure of its own.
    errno = 0;
    console.out.flush();
    int error = output ? output->WriteError() : exitWriteError;
    if (error == 0 && !console.out)
        error = errno != 0 ? errno : EIO;
    if (error == 0)
        return code;
    Output(console.out, console.err, JsonRequested(arguments))
        .Refuse("Вывод команды не записан в стандартный вывод: " + SystemErrorText(error));
    return kExitOutput;
}
