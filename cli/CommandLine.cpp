#include "CommandLine.h"

#include "InitCommand.h"
#include "JournalCommand.h"
#include "KeyCommands.h"
#include "Output.h"
#include "ReaderCommands.h"
#include "SecretInput.h"

#include <CLI/CLI.hpp>

#include <algorithm>
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

// The parser's own complaint, without repeating argument values (one of them may be a secret
// typed in the wrong place).
std::string UsageProblem(const CLI::ParseError& error) {
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr)
        return "Лишние аргументы в командной строке";
    return std::string("Неверные аргументы: ") + error.what();
}

// --NAME-file and --NAME-env for one secret.
void AddSecretOptions(CLI::App& command, const std::string& name, const std::string& what,
                      SecretSource& source) {
    CLI::Option* file =
        command.add_option("--" + name + "-file", source.file,
                           what + ": из первой строки файла (- : стандартный ввод)");
    CLI::Option* env = command.add_option("--" + name + "-env", source.environment,
                                          what + ": из переменной окружения с этим именем");
    file->excludes(env);
}

} // namespace

std::string VersionText() {
    return std::string("orvane-cli ") + ORVANE_VERSION;
}

int RunCommandLine(const std::vector<std::string>& arguments, Console& console) {
    if (const std::string problem = SecretArgumentProblem(arguments); !problem.empty()) {
        console.err << problem << '\n';
        return kExitUsage;
    }

    CLI::App app{"orvane-cli: инициализация и разблокировка смарт-карт Orvane из командной строки. "
                 "Коды выхода: 0 успех, 1 ошибка смарт-карты, 2 неверный вызов, 3 нет службы "
                 "смарт-карт или устройства, 4 проблема с файлом ключа, 5 устройство занято "
                 "(другой инициализацией, сменой ПИН-кода или программой), 6 строка журнала "
                 "инициализации не записана (init), 130 прервано "
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

    std::string keyFile;
    CLI::App* kcv = app.add_subcommand("kcv", "Контрольное значение (KCV) файла ключа");
    kcv->add_option("KEYFILE", keyFile, "Файл ключа разблокировки (16 байт)")->required();

    std::string chosenName;
    bool replace = false;
    CLI::App* keygen = app.add_subcommand(
        "keygen", "Новый ключ разблокировки в файл ИМЯ.key (права 0600), с его KCV");
    keygen->add_option("NAME", chosenName, "Имя файла; к нему добавляется \".key\"")->required();
    keygen->add_flag("--force", replace, "Заменить существующий файл");

    std::vector<std::string> challengeWords;
    CLI::App* response = app.add_subcommand(
        "response", "Отклик на вызов пользователя (вызов из аргумента или со стандартного ввода)");
    response->add_option("--key", keyFile, "Файл ключа разблокировки")->required();
    response->add_option("CHALLENGE", challengeWords, "Вызов: 16 шестнадцатеричных цифр");

    CLI::App* readers =
        app.add_subcommand("readers", "Устройства: есть ли смарт-карта, её номер и приложения");

    InitOptions init;
    CLI::App* initCommand =
        app.add_subcommand("init", "Инициализация смарт-карт одна за другой, как в окне программы");
    initCommand->add_option("--reader", init.reader, "Устройство (имя из orvane-cli readers)")
        ->required();
    AddSecretOptions(*initCommand, "pin", "ПИН-код по умолчанию (4-8 символов)", init.pin);
    AddSecretOptions(*initCommand, "puk", "ПАК-код (без него ПАК-код заблокирован)", init.puk);
    CLI::Option* withKey = initCommand->add_option(
        "--key", init.keyFile, "Ключ разблокировки (разблокировка C/R разрешена)");
    bool withoutKey = false;
    CLI::Option* noKey = initCommand->add_flag(
        "--no-key", withoutKey, "Без ключа разблокировки (встроенный ключ, заблокирован)");
    withKey->excludes(noKey);
    initCommand->add_option("--group-rsa", init.groupRsa,
                            "Группа дублирования RSA: две шестнадцатеричные цифры, 01-FF");
    initCommand->add_option("--group-dstu", init.groupDstu,
                            "Группа дублирования ДСТУ: две шестнадцатеричные цифры, 01-FF");
    initCommand->add_option("--name", init.name, "Имя устройства (до 32 символов)");
    CLI::Option* count =
        initCommand->add_option("--count", init.count, "Сколько смарт-карт (по умолчанию 1)");
    CLI::Option* continuous =
        initCommand->add_flag("--continuous", init.continuous, "Без счёта, до Ctrl+C");
    count->excludes(continuous);

    ResetPinOptions reset;
    CLI::App* resetCommand =
        app.add_subcommand("reset-pin", "Новый ПИН-код смарт-карты с ключом разблокировки. "
                                        "Занятое устройство: код выхода 5");
    resetCommand->add_option("--reader", reset.reader, "Устройство")->required();
    resetCommand->add_option("--key", reset.keyFile, "Ключ разблокировки")->required();
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
        if (error.get_exit_code() == 0)
            return app.exit(error, console.out, console.err);
        console.err << UsageProblem(error) << "\nСм. orvane-cli --help\n";
        return kExitUsage;
    }

    Output output(console.out, console.err, json);
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
        return RunKcv(keyFile, output);
    if (keygen->parsed())
        return RunKeygen(chosenName, replace, output);
    if (response->parsed()) {
        std::string challenge;
        for (const std::string& word : challengeWords)
            challenge += word;
        return RunResponse(keyFile, challenge, console, output);
    }
    return kExitUsage;
}
