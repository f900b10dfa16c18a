// orvane-cli against the scripted PC/SC stack: every command, its output in text and JSON, its
// exit codes, the secrets it refuses and never shows, and the init run over two tokens.

#include "CliTestKit.h"

#include "engine/ChallengeResponse.h"
#include "engine/InitLog.h"
#include "engine/KeyCheck.h"
#include "support/FailingLogReads.h"
#include "support/FakePcsc.h"
#include "support/RecordingAuditJournal.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <stdlib.h>
#include <unistd.h>

using namespace clikit;

namespace {

const std::string kReader = "Reader A";
const std::string kPin = "Пин1";       // CF E8 ED 31 in CP1251
const std::string kPuk = "8642";       // 38 36 34 32
const std::string kNewPin = "Нов5678"; // the new PIN of reset-pin

Bytes FamilyToken() {
    return FakePcsc::FamilyAtr(0x07);
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

struct Fixture : ::testing::Test {
    FakePcsc pcsc;
    TestLog log;
    // Every audit entry of the commands goes here, none to the system journal.
    RecordingAuditJournal journal;
    Files files;
    Cli cli;
    std::string keyFile = files.Write("admin.key", KeyBytes());

    Fixture() { pcsc.SetMessageText(pcsc::kNoSmartcard, "No smart card inserted."); }

    // Nothing reached a token.
    void ExpectNothingSent() {
        EXPECT_EQ(pcsc.Count(FakePcsc::Entry::Connect), 0u);
        EXPECT_TRUE(pcsc.Commands().empty());
    }
};

// ---- Refused input --------------------------------------------------------------------------

struct BadInputCase {
    const char* name;
    std::vector<std::string> arguments; // "KEY": the good key file, "KEY15": a 15-byte one
    std::string input;
    int exitCode;
    std::string message; // in standard error
    bool withReader = true;
    bool serviceDown = false;
};
void PrintTo(const BadInputCase& c, std::ostream* os) {
    *os << c.name;
}

class BadInput : public Fixture, public ::testing::WithParamInterface<BadInputCase> {};

TEST_P(BadInput, IsRefusedWithItsMessageAndCodeAndNothingSent) {
    const BadInputCase& c = GetParam();
    if (c.withReader)
        pcsc.AddReader(kReader, FamilyToken());
    if (c.serviceDown)
        pcsc.StopService();
    const std::string shortKey = files.Write("short.key", KeyBytes().substr(0, 15));
    // PIN files: a good one, and ones with a control character inside the first line.
    const std::map<std::string, std::string> substitutes = {
        {"KEY", keyFile},
        {"KEY15", shortKey},
        {"PIN", files.Write("pin.txt", kPin + "\n")},
        {"PIN-NUL", files.Write("nul.txt", std::string("12\0"
                                                       "34\n",
                                                       6))},
        {"PIN-CR", files.Write("cr.txt", "12\r34\r\n")},
        {"PIN-TAB", files.Write("tab.txt", "1234\t\n")},
        {"PIN-ESC", files.Write("esc.txt", "\x1B[A1234\n")},
        {"FOLDER", files.Path("")},
        {"NO-FOLDER", files.Path("missing/admin")},
    };
    std::vector<std::string> arguments;
    for (const std::string& a : c.arguments) {
        const auto found = substitutes.find(a);
        arguments.push_back(found == substitutes.end() ? a : found->second);
    }
    const CliRun run = cli.Run(arguments, c.input);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    ExpectNothingSent();
    EXPECT_TRUE(log.Lines().empty());
    // A secret typed in the wrong place is never repeated.
    EXPECT_EQ(run.err.find("1234"), std::string::npos) << run.err;
}

const std::string kPinRefused = "ПИН-код не принимается в командной строке";
const std::string kBadChallenge =
    "Поле \"Вызов\" имеет недопустимый формат. Проверьте правильность введенных данных";
const std::string kWrongSize = "Файл имеет неправильный размер";
const std::string kCannotLoad = "Не могу загрузить файл. Закройте приложения, которые могут его "
                                "использовать и повторите попытку";
const std::string kControl = "в значении есть управляющий символ";

INSTANTIATE_TEST_SUITE_P(
    Cli, BadInput,
    ::testing::Values(
        BadInputCase{"PinOnTheCommandLine",
                     {"init", "--reader", kReader, "--no-key", "--pin", "1234"},
                     "",
                     2,
                     kPinRefused},
        BadInputCase{"PinWithEquals",
                     {"init", "--reader", kReader, "--pin=1234", "--no-key"},
                     "",
                     2,
                     kPinRefused},
        BadInputCase{"PukOnTheCommandLine",
                     {"init", "--reader", kReader, "--no-key", "--puk", "1234"},
                     "",
                     2,
                     "ПАК-код не принимается в командной строке"},
        BadInputCase{"NewPinOnTheCommandLine",
                     {"reset-pin", "--reader", kReader, "--key", "KEY", "--new-pin=1234"},
                     "",
                     2,
                     "Новый ПИН-код не принимается в командной строке"},
        BadInputCase{"PinAsAStrayArgument",
                     {"reset-pin", "--reader", kReader, "--key", "KEY", "1234"},
                     "",
                     2,
                     "Лишние аргументы"},
        BadInputCase{"ChallengeTooShort",
                     {"response", "--key", "KEY", "01 23 45 67 89 AB CD"},
                     "",
                     2,
                     kBadChallenge},
        BadInputCase{"ChallengeTooLong",
                     {"response", "--key", "KEY", "01 23 45 67 89 AB CD EF 01"},
                     "",
                     2,
                     kBadChallenge},
        BadInputCase{"ChallengeNotHex",
                     {"response", "--key", "KEY", "01 23 45 67 89 AB CD EG"},
                     "",
                     2,
                     kBadChallenge},
        BadInputCase{"ChallengeOddDigits",
                     {"response", "--key", "KEY", "0123456789ABCDE"},
                     "",
                     2,
                     kBadChallenge},
        BadInputCase{"ChallengeFromEmptyInput", {"response", "--key", "KEY"}, "", 2, kBadChallenge},
        BadInputCase{"KcvOf15Bytes", {"kcv", "KEY15"}, "", 4, kWrongSize},
        BadInputCase{"ResponseWith15Bytes",
                     {"response", "--key", "KEY15", "0123456789ABCDEF"},
                     "",
                     4,
                     kWrongSize},
        BadInputCase{"InitWith15Bytes",
                     {"init", "--reader", kReader, "--key", "KEY15"},
                     kPin,
                     4,
                     kWrongSize},
        BadInputCase{"ResetWith15Bytes",
                     {"reset-pin", "--reader", kReader, "--key", "KEY15"},
                     kNewPin,
                     4,
                     kWrongSize},
        // The window's words, then the reason.
        BadInputCase{"MissingKeyFile",
                     {"kcv", "/nonexistent/admin.key"},
                     "",
                     4,
                     kCannotLoad + " (нет такого файла или папки)"},
        BadInputCase{"KeyFileIsAFolder", {"kcv", "/tmp"}, "", 4, kCannotLoad + " (это папка"},
        BadInputCase{"ResponseKeyIsAFolder",
                     {"response", "--key", "FOLDER", "0123456789ABCDEF"},
                     "",
                     4,
                     kCannotLoad + " (это папка"},
        BadInputCase{"NoReaderAttached",
                     {"init", "--reader", kReader, "--no-key"},
                     kPin,
                     3,
                     "Устройство \"Reader A\" не найдено. Устройства не найдены: подключите "
                     "считыватель",
                     false},
        BadInputCase{"NoSuchReader",
                     {"init", "--reader", "Reader B", "--no-key"},
                     kPin,
                     3,
                     "Устройство \"Reader B\" не найдено. Подключённые устройства: \"Reader A\""},
        BadInputCase{"ResetOnNoSuchReader",
                     {"reset-pin", "--reader", "Reader B", "--key", "KEY"},
                     kNewPin,
                     3,
                     "Устройство \"Reader B\" не найдено. Подключённые устройства: \"Reader A\""},
        BadInputCase{"InitWithoutService",
                     {"init", "--reader", kReader, "--no-key"},
                     kPin,
                     3,
                     "Служба смарт-карт (pcscd) недоступна. Запустите её: sudo systemctl start "
                     "pcscd.socket",
                     true,
                     true},
        BadInputCase{"PinFileIsAFolder",
                     {"init", "--reader", kReader, "--no-key", "--pin-file", "FOLDER"},
                     "",
                     2,
                     "это папка, а не файл"},
        BadInputCase{"PinFileWithNul",
                     {"init", "--reader", kReader, "--no-key", "--pin-file", "PIN-NUL"},
                     "",
                     2,
                     kControl},
        BadInputCase{"PinFileWithCrInside",
                     {"init", "--reader", kReader, "--no-key", "--pin-file", "PIN-CR"},
                     "",
                     2,
                     kControl},
        BadInputCase{"PinFileWithTab",
                     {"init", "--reader", kReader, "--no-key", "--pin-file", "PIN-TAB"},
                     "",
                     2,
                     kControl},
        BadInputCase{
            "NewPinFileWithEscape",
            {"reset-pin", "--reader", kReader, "--key", "KEY", "--new-pin-file", "PIN-ESC"},
            "",
            2,
            kControl},
        BadInputCase{"KeygenEmptyName", {"keygen", ""}, "", 2, "Имя файла ключа пустое"},
        BadInputCase{"KeygenIntoMissingFolder",
                     {"keygen", "NO-FOLDER"},
                     "",
                     4,
                     ".key: нет такого файла или папки"},
        // The parser's refusals in Russian, naming the option at fault.
        BadInputCase{
            "UnknownOption", {"kcv", "KEY", "--frob"}, "", 2, "Неизвестный параметр --frob"},
        BadInputCase{"UnknownOptionWithValue",
                     {"readers", "--colour=1234"},
                     "",
                     2,
                     "Неизвестный параметр --colour"},
        BadInputCase{"MissingReaderOption",
                     {"init", "--no-key"},
                     "",
                     2,
                     "Не указан обязательный параметр --reader"},
        BadInputCase{"ReaderAndAllReaders",
                     {"init", "--reader", kReader, "--all-readers", "--no-key"},
                     "",
                     2,
                     "нельзя указывать вместе"},
        BadInputCase{"MissingKeyArgument", {"kcv"}, "", 2, "Не указан обязательный аргумент"},
        BadInputCase{"CountAndContinuous",
                     {"init", "--reader", kReader, "--no-key", "--count", "2", "--continuous"},
                     "",
                     2,
                     "нельзя указывать вместе"},
        BadInputCase{"CountWithoutValue",
                     {"init", "--reader", kReader, "--no-key", "--count"},
                     "",
                     2,
                     "Параметру --count не хватает значения"},
        BadInputCase{"CountNotANumber",
                     {"init", "--reader", kReader, "--no-key", "--count", "много"},
                     "",
                     2,
                     "Недопустимое значение параметра --count"},
        BadInputCase{"JsonUnknownOption",
                     {"--json", "kcv", "KEY", "--frob"},
                     "",
                     2,
                     "\"event\":\"error\",\"message\":\"Неизвестный параметр --frob\""},
        BadInputCase{
            "JsonNoCommand", {"--json"}, "", 2, "\"message\":\"Не указана команда: kcv, keygen"},
        BadInputCase{"JsonPinOnTheCommandLine",
                     {"--json", "init", "--reader", kReader, "--no-key", "--pin", "1234"},
                     "",
                     2,
                     "\"event\":\"error\""},
        BadInputCase{"ShortPin",
                     {"init", "--reader", kReader, "--no-key"},
                     "123",
                     2,
                     "Поле ПИН-код не может быть меньше 4 символов"},
        // Characters are counted, not the bytes of their UTF-8 (6 here).
        BadInputCase{"ShortCyrillicPin",
                     {"init", "--reader", kReader, "--no-key"},
                     "пин",
                     2,
                     "Поле ПИН-код не может быть меньше 4 символов"},
        BadInputCase{"LongPin",
                     {"init", "--reader", kReader, "--no-key"},
                     "123456789",
                     2,
                     "Поле ПИН-код не может быть длиннее 8 символов"},
        BadInputCase{"PinOutsideCp1251",
                     {"init", "--reader", kReader, "--no-key"},
                     "12€☃",
                     2,
                     "кодовой страницы 1251"},
        BadInputCase{"ShortNewPin",
                     {"reset-pin", "--reader", kReader, "--key", "KEY"},
                     "12",
                     2,
                     "Поле ПИН-код не может быть меньше 4 символов"},
        BadInputCase{"PinAndPukBothFromInput",
                     {"init", "--reader", kReader, "--no-key", "--puk-file", "-"},
                     kPin,
                     2,
                     "только один секрет"},
        BadInputCase{"PinVariableNotSet",
                     {"init", "--reader", kReader, "--no-key", "--pin-env", "NO_SUCH_PIN"},
                     "",
                     2,
                     "NO_SUCH_PIN не задана"},
        BadInputCase{"GroupZero",
                     {"init", "--reader", kReader, "--no-key", "--group-rsa", "00"},
                     kPin,
                     2,
                     "№ группы не может быть пустым или 0"},
        BadInputCase{"GroupOneDigit",
                     {"init", "--reader", kReader, "--no-key", "--group-dstu", "5"},
                     kPin,
                     2,
                     "№ группы"},
        BadInputCase{"NameTooLong",
                     {"init", "--reader", kReader, "--no-key", "--name", std::string(33, 'x')},
                     kPin,
                     2,
                     "Имя устройства не может быть длиннее 32 символов"},
        BadInputCase{
            "NoKeyChoice", {"init", "--reader", kReader, "--pin-file", "PIN"}, "", 2, "--no-key"},
        BadInputCase{"KeyAndNoKey",
                     {"init", "--reader", kReader, "--pin-file", "PIN", "--key", "KEY", "--no-key"},
                     "",
                     2,
                     "нельзя указывать вместе"},
        BadInputCase{"NoCommand", {}, "", 2, "Не указана команда: kcv, keygen"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A new PIN typed at a terminal ----------------------------------------------------------

struct TypedPinCase {
    const char* name;
    std::string typed; // the PIN and its repetition, pair after pair
    std::string message;
    int mismatches;
};
void PrintTo(const TypedPinCase& c, std::ostream* os) {
    *os << c.name;
}

class TypedNewPin : public Fixture, public ::testing::WithParamInterface<TypedPinCase> {};

TEST_P(TypedNewPin, DifferentRepetitionsAreAskedAgainThreeTimes) {
    const TypedPinCase& c = GetParam();
    pcsc.AddReader(kReader, FamilyToken());
    Terminal terminal;
    ASSERT_GE(terminal.slave, 0);
    cli.inDescriptor = terminal.slave;
    const CliRun run = cli.Run({"reset-pin", "--reader", kReader, "--key", keyFile}, c.typed);
    EXPECT_EQ(run.exitCode, kExitUsage) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    std::size_t mismatches = 0;
    for (std::size_t at = 0;
         (at = run.err.find("не совпадает с повторным вводом", at)) != std::string::npos; ++at)
        ++mismatches;
    EXPECT_EQ(mismatches, static_cast<std::size_t>(c.mismatches)) << run.err;
    ExpectNothingSent();
    for (const char* typed : {"1111", "2222", "3333", "4444", "5555", "6666"})
        EXPECT_EQ(run.err.find(typed), std::string::npos) << "a typed PIN was shown";
}

INSTANTIATE_TEST_SUITE_P(
    Cli, TypedNewPin,
    ::testing::Values(TypedPinCase{"ThreeMismatches", "1111\n2222\n3333\n4444\n5555\n6666\n",
                                   "3 раза не совпал с повторным вводом: ПИН-код не изменён", 2},
                      // The third pair matches: the PIN goes on to its checks (too short here, so
                      // nothing reaches the token).
                      TypedPinCase{"MatchOnTheThirdPair", "1111\n2222\n3333\n4444\n12\n12\n",
                                   "Поле ПИН-код не может быть меньше 4 символов", 2},
                      TypedPinCase{"MatchAtOnce", "12\n12\n",
                                   "Поле ПИН-код не может быть меньше 4 символов", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A reader name that is not UTF-8 (a driver's bytes): the JSON line stays valid and the byte
// shows as a replacement character instead of vanishing.
TEST_F(Fixture, JsonReplacesBytesThatAreNotUtf8) {
    pcsc.AddReader("Reader \xFF\xFE 2", FamilyToken());
    const CliRun run = cli.Run({"--json", "readers"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<nlohmann::json> lines = run.JsonLines();
    ASSERT_EQ(lines.size(), 1u) << run.out;
    const std::string replaced = "Reader \xEF\xBF\xBD\xEF\xBF\xBD 2";
    EXPECT_EQ(lines[0]["reader"], replaced);
    EXPECT_EQ(lines[0]["message"].get<std::string>().rfind(replaced + ":", 0), 0u)
        << lines[0]["message"];
}

TEST_F(Fixture, NoSmartCardServiceIsExitCodeThree) {
    pcsc.StopService();
    const CliRun run = cli.Run({"readers"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "Служба смарт-карт (pcscd) недоступна. Запустите её: sudo systemctl start "
                       "pcscd.socket (если службы нет, установите пакет: sudo apt install "
                       "pcscd)\n");
}

// ---- Key files and codes --------------------------------------------------------------------

TEST_F(Fixture, KcvInTextAndJsonWithTheKeysWeaknesses) {
    struct Row {
        const char* name;
        std::string bytes;
        mode_t mode;
        std::string text;
        nlohmann::json weakness;
        std::string remark;
    };
    const std::string defaultKey(kDefaultUnblockKey.begin(), kDefaultUnblockKey.end());
    const std::string half = KeyBytes().substr(0, 8);
    const Row rows[] = {
        {"own key", KeyBytes(), 0600,
         "KCV: " + KeyCheckValue(*reinterpret_cast<const UnblockKeyBytes*>(KeyBytes().data())),
         nullptr, ""},
        {"default key", defaultKey, 0600,
         "KCV: " + KeyCheckValue(kDefaultUnblockKey) + " (по умолчанию)", "default-key",
         "встроенным ключом"},
        {"single DES", half + half, 0600, "", "single-des", "одинарного DES"},
        {"open to others", KeyBytes(), 0644, "", nullptr, "права 0644"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = files.Write("k.key", row.bytes, row.mode);
        const CliRun text = cli.Run({"kcv", path});
        EXPECT_EQ(text.exitCode, 0);
        if (!row.text.empty()) {
            EXPECT_EQ(text.out, row.text + "\n");
        }
        if (row.remark.empty()) {
            EXPECT_TRUE(text.err.empty()) << text.err;
        } else {
            EXPECT_NE(text.err.find(row.remark), std::string::npos) << text.err;
        }
        const CliRun json = cli.Run({"--json", "kcv", path});
        const auto lines = json.JsonLines();
        ASSERT_FALSE(lines.empty());
        const nlohmann::json& kcv = lines.back();
        EXPECT_EQ(kcv["event"], "kcv");
        EXPECT_EQ(kcv["ok"], true);
        EXPECT_EQ(kcv["kcv"], text.out.substr(5, 6));
        EXPECT_EQ(kcv["weakness"], row.weakness);
        EXPECT_EQ(kcv["path"], path);
        ExpectNoSecret(json.out + text.out + text.err, {row.bytes});
    }
}

TEST_F(Fixture, KeygenWritesAnOwnerOnlyKeyFileAndNeverReplacesOneUnasked) {
    const CliRun made = cli.Run({"--json", "keygen", files.Path("admin2")});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string path = files.Path("admin2.key");
    const std::string bytes = Files::Read(path);
    ASSERT_EQ(bytes.size(), 16u);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    UnblockKeyBytes key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    EXPECT_EQ(WeaknessOf(key), KeyWeakness::None);
    const auto lines = made.JsonLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "keygen");
    EXPECT_EQ(lines[0]["path"], path);
    EXPECT_EQ(lines[0]["kcv"], KeyCheckValue(key));
    ExpectNoSecret(made.out, {bytes});
    // The KCV printed is the one kcv reads back.
    EXPECT_EQ(cli.Run({"kcv", path}).out, "KCV: " + KeyCheckValue(key) + "\n");

    // ".key" is appended also to a name that ends in it, as the window does.
    EXPECT_EQ(cli.Run({"keygen", path}).exitCode, 0);
    EXPECT_EQ(Files::Read(path + ".key").size(), 16u);

    // An existing file stays as it was unless --force.
    const CliRun refused = cli.Run({"keygen", files.Path("admin2")});
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_NE(refused.err.find("уже существует"), std::string::npos) << refused.err;
    EXPECT_EQ(Files::Read(path), bytes);
    const CliRun replaced = cli.Run({"keygen", "--force", files.Path("admin2")});
    EXPECT_EQ(replaced.exitCode, 0);
    EXPECT_NE(Files::Read(path), bytes);
    EXPECT_EQ(Files::Read(path).size(), 16u);

    const CliRun nowhere = cli.Run({"keygen", files.Path("no/such/folder/admin")});
    EXPECT_EQ(nowhere.exitCode, 4);
    EXPECT_EQ(nowhere.err, "Can't create file " + files.Path("no/such/folder/admin") +
                               ".key: нет такого файла или папки\n");
    // No temporary file stays behind.
    EXPECT_EQ(QDir(files.dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);

    // A folder where the key file should go: the complete temporary file cannot take its place
    // and is removed.
    ASSERT_TRUE(std::filesystem::create_directory(files.Path("folder.key")));
    const CliRun over = cli.Run({"keygen", "--force", files.Path("folder")});
    EXPECT_EQ(over.exitCode, 4);
    EXPECT_EQ(over.err,
              "Can't create file " + files.Path("folder") + ".key: это папка, а не файл\n");
    EXPECT_EQ(QDir(files.dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
    EXPECT_TRUE(std::filesystem::is_empty(files.Path("folder.key")));
}

TEST_F(Fixture, ResponseTakesTheChallengeWithOrWithoutBlanksFromArgumentOrInput) {
    UnblockKeyBytes key{};
    const std::string bytes = KeyBytes();
    std::copy(bytes.begin(), bytes.end(), key.begin());
    const std::string expected = ComputeResponse(key, "C2 E0 CB EC 48 BF D3 83") + "\n";
    ASSERT_EQ(expected.size(), 24u);
    const std::vector<std::pair<std::vector<std::string>, std::string>> forms = {
        {{"response", "--key", keyFile, "C2 E0 CB EC 48 BF D3 83"}, ""},
        {{"response", "--key", keyFile, "C2E0CBEC48BFD383"}, ""},
        {{"response", "--key", keyFile, "c2e0", "cbec", "48bf", "d383"}, ""},
        {{"response", "--key", keyFile}, "C2 E0 CB EC 48 BF D3 83\n"},
        {{"response", "--key", keyFile}, "c2e0cbec48bfd383\r\n"},
    };
    for (const auto& [arguments, input] : forms) {
        const CliRun run = cli.Run(arguments, input);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, expected);
    }
    const CliRun json = cli.Run({"--json", "response", "--key", keyFile, "C2E0CBEC48BFD383"});
    const auto lines = json.JsonLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["response"], expected.substr(0, 23));
    EXPECT_EQ(lines[0]["challenge"], "C2 E0 CB EC 48 BF D3 83");
    ExpectNoSecret(json.out, {bytes});
}

// ---- Readers --------------------------------------------------------------------------------

TEST_F(Fixture, ReadersListsPresenceCardNumberAndApplications) {
    pcsc.AddReader(kReader, FamilyToken());
    pcsc.AddReader("Reader B");
    pcsc.AddReader("Reader C", FakePcsc::FamilyAtr(0x00));
    pcsc.AnswerCardId({1, 2, 3, 4, 5, 6, 7, 8});
    const CliRun run = cli.Run({"--json", "readers"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto lines = run.JsonLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["reader"], kReader);
    EXPECT_EQ(lines[0]["present"], true);
    EXPECT_EQ(lines[0]["apps"], (nlohmann::json{"rsa", "dstu", "data"}));
    EXPECT_EQ(lines[1]["reader"], "Reader B");
    EXPECT_EQ(lines[1]["present"], false);
    EXPECT_EQ(lines[1]["card"], nullptr);
    EXPECT_EQ(lines[2]["present"], true);
    EXPECT_EQ(lines[2]["card"], "0807060504030201");
    EXPECT_EQ(lines[2]["apps"], nlohmann::json::array());
    // Looked at in shared mode, left as they were, nothing held.
    for (const FakePcsc::Call& call : pcsc.Calls()) {
        if (call.entry == FakePcsc::Entry::Connect) {
            EXPECT_EQ(call.shareMode, pcsc::kShareShared);
        }
        if (call.entry == FakePcsc::Entry::Disconnect) {
            EXPECT_EQ(call.disposition, pcsc::kLeaveCard);
        }
    }
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
    EXPECT_EQ(pcsc.OpenContexts(), 0u);

    const CliRun text = cli.Run({"readers"});
    EXPECT_EQ(text.out, "Reader A: смарт-карта, приложения: RSA, ДСТУ, Data\n"
                        "Reader B: смарт-карты нет\n"
                        "Reader C: смарт-карта #0807060504030201, приложения: нет\n");
}

// ---- Init -----------------------------------------------------------------------------------

// The commands each token saw, split at each Connect.
std::vector<std::vector<Bytes>> CommandsPerToken(const FakePcsc& pcsc) {
    std::vector<std::vector<Bytes>> tokens;
    std::size_t apdu = 0;
    const auto apdus = pcsc.Apdus();
    for (const FakePcsc::Call& call : pcsc.Calls()) {
        if (call.entry == FakePcsc::Entry::BeginTransaction)
            tokens.emplace_back();
        if (call.entry == FakePcsc::Entry::Transmit && apdu < apdus.size() && !tokens.empty()) {
            if (apdus[apdu].delivered)
                tokens.back().push_back(apdus[apdu].command);
            ++apdu;
        }
    }
    return tokens;
}

TEST_F(Fixture, InitTwoTokensWithOneSetOfGroupKeysLogsBothAndShowsNoSecret) {
    pcsc.AddReader(kReader, FamilyToken());
    const std::string pukFile = files.Write("puk.txt", kPuk + "\r\n");
    cli.environment["ADMIN_PIN"] = kPin;
    // The first token is taken out during the removal wait and the second one put in while
    // the command waits for it.
    cli.onWait = [&](int) {
        if (pcsc.HasCard(kReader) && pcsc.TransactionsBegun() == 1)
            pcsc.RemoveCard(kReader);
        else if (!pcsc.HasCard(kReader))
            pcsc.InsertCard(kReader, FamilyToken());
    };
    const CliRun run = cli.Run({"--json", "init", "--reader", kReader, "--pin-env", "ADMIN_PIN",
                                "--puk-file", pukFile, "--key", keyFile, "--group-rsa", "d1",
                                "--group-dstu", "07", "--name", "Тест", "--count", "2"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(pcsc.TransactionsBegun(), 2u);
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"14:03:27: # SUCCESS", "14:03:27: # SUCCESS"}));
    // The PIN left the environment once read.
    EXPECT_EQ(cli.environment["ADMIN_PIN"].find(kPin), std::string::npos);

    const auto tokens = CommandsPerToken(pcsc);
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0], tokens[1]) << "the same settings and group keys for both";
    const std::string stream = [&] {
        std::string all;
        for (const Bytes& command : tokens[0])
            all += FakePcsc::ToHex(command) + "\n";
        return all;
    }();
    EXPECT_NE(stream.find("80 F4 01 05 0A 05 77 CF E8 ED 31 FF FF FF FF"), std::string::npos)
        << stream; // the PIN in CP1251
    EXPECT_NE(stream.find("80 F4 01 06 0A 05 44 38 36 34 32 FF FF FF FF"), std::string::npos);
    EXPECT_NE(stream.find("80 F4 01 11 12 05 EE A0 A1 A2"), std::string::npos); // usable key
    EXPECT_NE(stream.find("80 48 00 00 08 01 00 00 00 00 D1 00 00"), std::string::npos) << stream;

    const auto lines = run.JsonLines();
    std::vector<std::string> events;
    for (const nlohmann::json& line : lines) {
        events.push_back(line["event"]);
        for (const char* field :
             {"event", "time", "reader", "card", "step", "status_word", "result", "ok", "message"})
            EXPECT_TRUE(line.contains(field)) << field << " in " << line.dump();
    }
    EXPECT_EQ(events, (std::vector<std::string>{"attempt", "result", "waiting", "attempt", "result",
                                                "done"}));
    EXPECT_EQ(lines[1]["message"], "Инициализация закончена. Извлеките смарт-карту");
    EXPECT_EQ(lines.back()["initialized"], 2);
    // Neither the secrets nor the keys, in any spelling (the group keys as the token got them).
    std::string groupKeys;
    for (const Bytes& command : tokens[0])
        if (command.size() == 39 && command[3] == 0x09)
            groupKeys += Text(Bytes(command.begin() + 7, command.end()));
    ASSERT_EQ(groupKeys.size(), 64u);
    ExpectNoSecret(run.out + run.err, {kPin, kPuk, "\xCF\xE8\xED\x31", KeyBytes(),
                                       groupKeys.substr(0, 32), groupKeys.substr(32)});

    // Another run makes other group keys.
    pcsc.ClearRecord();
    cli.onWait = {};
    cli.environment["ADMIN_PIN"] = kPin;
    const CliRun again =
        cli.Run({"init", "--reader", kReader, "--pin-env", "ADMIN_PIN", "--puk-file", pukFile,
                 "--key", keyFile, "--group-rsa", "D1", "--group-dstu", "07", "--name", "Тест"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    const auto other = CommandsPerToken(pcsc);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_NE(other[0], tokens[0]);
}

TEST_F(Fixture, FailedAttemptIsReportedLoggedAndRetriedOnTheNextToken) {
    pcsc.AddReader(kReader, FamilyToken());
    pcsc.AnswerSw(FakePcsc::Hex("80 F4 01 05"), 0x6A80); // the PIN refused once
    cli.onWait = [&](int) {
        if (pcsc.HasCard(kReader))
            pcsc.RemoveCard(kReader);
        else
            pcsc.InsertCard(kReader, FamilyToken());
    };
    const CliRun run = cli.Run({"init", "--reader", kReader, "--no-key"}, kPin + "\n");
    EXPECT_EQ(run.exitCode, 1);
    const std::string failure =
        "Ошибка инициализации смарт-карты. Установка ПИН-кода. Card Error 6A80";
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"14:03:27: # ERROR: " + failure, "14:03:27: # SUCCESS"}));
    EXPECT_NE(run.err.find(failure), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Следующие параметры будут заблокированы: ПАК-код; Разблокировка "
                           "C/R; Дублирование RSA; Дублирование ДСТУ."),
              std::string::npos);
    EXPECT_NE(run.err.find("смарт-карт инициализировано 1, неудачных попыток 1"), std::string::npos)
        << run.out;
}

// A line of the day's log that cannot be written: each is told on standard error (JSON: an
// event naming the file and the reason) and the run ends with code 6, even over a failed token.
TEST_F(Fixture, LostLogLinesAreToldAndEndTheRunWithCode6) {
    const std::string logFolder = log.dir.path().toStdString() + "/Velmar/Orvane";
    const std::string dayFile = logFolder + "/Orvane_07.12.2026.log";
    const struct {
        const char* name;
        bool json;
        bool refusedOnce;
        // Spoils the log's place; answers the path the report names.
        std::function<std::string()> spoil;
        const char* reason;
    } cases[] = {
        {"the log folder is a file, text", false, false,
         [&] {
             QDir().mkpath(log.dir.path() + "/Velmar");
             QFile file(QString::fromStdString(logFolder));
             EXPECT_TRUE(file.open(QIODevice::WriteOnly));
             return logFolder;
         },
         "на месте папки лежит файл"},
        // Every write to /dev/full fails as on a full file system.
        {"a full disk, JSON, one token refused", true, true,
         [&] {
             QDir().mkpath(QString::fromStdString(logFolder));
             EXPECT_TRUE(QFile::link("/dev/full", QString::fromStdString(dayFile)));
             return dayFile;
         },
         "на диске нет места"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(log.dir.path() + "/Velmar").removeRecursively();
        const std::string problem =
            "Строка журнала инициализации не записана: " + c.spoil() + " — " + c.reason;
        pcsc.RemoveReader(kReader);
        pcsc.AddReader(kReader, FamilyToken());
        if (c.refusedOnce)
            pcsc.AnswerSw(FakePcsc::Hex("80 F4 01 05"), 0x6A80);
        cli.onWait = [&](int) {
            if (pcsc.HasCard(kReader))
                pcsc.RemoveCard(kReader);
            else
                pcsc.InsertCard(kReader, FamilyToken());
        };
        std::vector<std::string> arguments = {"init", "--reader", kReader, "--no-key"};
        if (c.json)
            arguments.insert(arguments.begin(), "--json");
        const CliRun run = cli.Run(arguments, kPin + "\n");
        EXPECT_EQ(run.exitCode, 6);
        const std::size_t attempts = c.refusedOnce ? 2 : 1;
        if (!c.json) {
            EXPECT_NE(run.err.find(problem + "\n"), std::string::npos) << run.err;
            continue;
        }
        std::size_t lost = 0;
        for (const nlohmann::json& line : run.JsonLines()) {
            if (line["event"] == "log-line-lost") {
                ++lost;
                EXPECT_EQ(line["message"], problem);
                EXPECT_EQ(line["ok"], false);
            }
            if (line["event"] == "done") {
                EXPECT_EQ(line["log_lines_lost"], attempts);
                EXPECT_EQ(line["exit_code"], 6);
            }
        }
        EXPECT_EQ(lost, attempts);
    }
}

TEST_F(Fixture, FailureInJsonNamesStepStatusWordAndResult) {
    pcsc.AddReader(kReader, FamilyToken());
    pcsc.AnswerSw(FakePcsc::Hex("80 F4 01 05"), 0x6A80);
    cli.onWait = [&](int) { cli.stop = 1; };
    const CliRun run = cli.Run({"--json", "init", "--reader", kReader, "--no-key"}, kPin);
    EXPECT_EQ(run.exitCode, kExitInterrupted); // stopped before its one token was initialized
    const auto lines = run.JsonLines();
    const auto failed = std::find_if(lines.begin(), lines.end(),
                                     [](const nlohmann::json& l) { return l["ok"] == false; });
    ASSERT_NE(failed, lines.end());
    EXPECT_EQ((*failed)["event"], "result");
    EXPECT_EQ((*failed)["step"], "store-pin");
    EXPECT_EQ((*failed)["status_word"], "6A80");
    EXPECT_EQ((*failed)["result"], "60000003");
}

TEST_F(Fixture, CtrlCBetweenTokensEndsAtOnceAndReleasesTheReader) {
    pcsc.AddReader(kReader); // no token: the command waits
    cli.onWait = [&](int waits) {
        if (waits == 3)
            cli.stop = 1;
    };
    const CliRun run =
        cli.Run({"--json", "init", "--reader", kReader, "--no-key", "--continuous"}, kPin);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(cli.waits, 3);
    EXPECT_TRUE(pcsc.Commands().empty());
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
    EXPECT_EQ(pcsc.OpenContexts(), 0u);
    const auto lines = run.JsonLines();
    ASSERT_FALSE(lines.empty());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"], "notice"); // what will be blocked
    EXPECT_EQ(lines[1]["event"], "waiting");
    EXPECT_EQ(lines[1]["message"], "Вставьте смарт-карту"); // the first token, not the next
    EXPECT_EQ(lines.back()["event"], "done");
    EXPECT_EQ(lines.back()["interrupted"], true);
}

TEST_F(Fixture, CtrlCDuringAnAttemptFinishesItAndEndsWithoutTheRemovalWait) {
    pcsc.AddReader(kReader, FamilyToken());
    // Ctrl+C as the PIN goes to the token.
    pcsc.OnTransmit([&](const Bytes& command) {
        if (command.size() > 3 && command[1] == 0xF4 && command[3] == 0x05)
            cli.stop = 1;
    });
    const CliRun run = cli.Run({"init", "--reader", kReader, "--no-key", "--continuous"}, kPin);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"14:03:27: # SUCCESS"}));
    EXPECT_EQ(pcsc.TransactionsEnded(), 1u);
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
    EXPECT_TRUE(pcsc.HasCard(kReader));
}

TEST_F(Fixture, TokenSwappedBetweenTwoLooksIsInitializedAsTheNextOne) {
    pcsc.AddReader(kReader, FamilyToken());
    cli.onWait = [&](int) {
        if (pcsc.TransactionsBegun() == 1) { // out and the next one in between two looks
            pcsc.RemoveCard(kReader);
            pcsc.InsertCard(kReader, FamilyToken());
        }
    };
    const CliRun run = cli.Run({"init", "--reader", kReader, "--no-key", "--count", "2"}, kPin);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(pcsc.TransactionsBegun(), 2u);
}

// ---- PIN reset ------------------------------------------------------------------------------

TEST_F(Fixture, ResetPinInTextAndJsonAndItsFailure) {
    pcsc.AddReader(kReader, FamilyToken());
    pcsc.AnswerChallenge({1, 2, 3, 4, 5, 6, 7, 8});
    const std::string newPinFile = files.Write("new.txt", kNewPin + "\n");
    const CliRun run =
        cli.Run({"reset-pin", "--reader", kReader, "--key", keyFile, "--new-pin-file", newPinFile});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "ПИН-код успешно изменен\n");
    const auto commands = pcsc.Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(FakePcsc::ToHex(commands.back()),
              "80 F4 01 05 0A 05 77 CD EE E2 35 36 37 38 FF"); // "Нов5678" in CP1251
    EXPECT_EQ(pcsc.Dispositions().back(), pcsc::kResetCard);

    pcsc.ClearRecord();
    pcsc.AnswerSw(FakePcsc::Hex("00 82"), 0x6982);
    const CliRun refused =
        cli.Run({"--json", "reset-pin", "--reader", kReader, "--key", keyFile}, kNewPin);
    EXPECT_EQ(refused.exitCode, 1);
    const auto lines = refused.JsonLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "reset-pin");
    EXPECT_EQ(lines[0]["ok"], false);
    EXPECT_EQ(lines[0]["step"], "authenticate");
    EXPECT_EQ(lines[0]["status_word"], "6982");
    EXPECT_EQ(lines[0]["reader"], kReader);
    ExpectNoSecret(refused.out + run.out, {kNewPin, "\xCD\xEE\xE2\x35\x36\x37\x38", KeyBytes()});
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
}

TEST(CliVersion, IsTheProjectVersion) {
    Cli cli;
    const CliRun run = cli.Run({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "orvane-cli 1.0.3.0\n");
}

// Every help text is Russian: none of the argument parser's own English headings is left.
TEST(CliHelp, IsRussianForTheProgramAndEachCommand) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--help"},
                                               {"kcv", "--help"},
                                               {"keygen", "--help"},
                                               {"response", "--help"},
                                               {"readers", "--help"},
                                               {"init", "--help"},
                                               {"reset-pin", "--help"}}) {
        SCOPED_TRACE(arguments[0]);
        Cli cli;
        const CliRun run = cli.Run(arguments);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.out.find("Использование"), std::string::npos) << run.out;
        for (const char* english : {"Usage", "Options", "Subcommands", "SUBCOMMAND", "Positionals",
                                    "REQUIRED", "OPTIONS", "TEXT", "Excludes", "Needs"})
            EXPECT_EQ(run.out.find(english), std::string::npos) << english << " in\n" << run.out;
        // Placeholders say what goes there (ФАЙЛ, ИМЯ...), not just "text", and in Russian: no
        // capitalised Latin word but the names of formats, ciphers and signals (and hex
        // digits).
        EXPECT_EQ(run.out.find("ТЕКСТ"), std::string::npos) << run.out;
        for (std::size_t at = 0; at < run.out.size();) {
            std::size_t end = at;
            while (end < run.out.size() && run.out[end] >= 'A' && run.out[end] <= 'Z')
                ++end;
            const std::string word = run.out.substr(at, end - at);
            if (word.size() >= 2) {
                EXPECT_TRUE(word == "KCV" || word == "JSON" || word == "RSA" || word == "SIGTERM" ||
                            word == "SIGHUP" || word == "FF")
                    << word << " in\n"
                    << run.out;
            }
            at = std::max(end, at + 1);
        }
    }
}

} // namespace

namespace {

// orvane-cli journal over generated logs: its counts and cards to redo against a count of its
// own, with CR LF, LF and CR-only line ends.
TEST_F(Fixture, JournalCountsGeneratedLogs) {
    for (const char* lineEnd : {"\r\n", "\n", "\r"}) {
        SCOPED_TRACE(std::string(lineEnd) == "\r\n" ? "CR LF" : lineEnd[0] == '\n' ? "LF" : "CR");
        std::mt19937 random(7);
        std::string text;
        std::size_t succeeded = 0, failed = 0, withoutNumber = 0, unrecognized = 0;
        std::set<std::string> cards, everOk;
        std::map<std::string, std::string> lastFailure; // card -> message, in first-line order
        std::vector<std::string> order;
        for (int i = 0; i < 500; ++i) {
            const int kind = static_cast<int>(random() % 10);
            const std::string card =
                kind == 9 ? std::string() : "00000000000000" + std::to_string(10 + random() % 40);
            const std::string message = "Ошибка " + std::to_string(i);
            if (kind == 8) {
                text += "не строка журнала " + std::to_string(i) + lineEnd;
                ++unrecognized;
                continue;
            }
            const bool ok = kind < 5;
            text += "10:00:00: #" + card + (ok ? " SUCCESS" : " ERROR: " + message) + lineEnd;
            ++(ok ? succeeded : failed);
            if (card.empty()) {
                ++withoutNumber;
                continue;
            }
            if (cards.insert(card).second)
                order.push_back(card);
            if (ok)
                everOk.insert(card);
            else
                lastFailure[card] = message;
        }
        const std::string path = files.Write("day.log", text);
        const CliRun run = cli.Run({"--json", "journal", "--file", path});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const nlohmann::json summary = run.JsonLines().at(0);
        EXPECT_EQ(summary["initialized"], succeeded);
        EXPECT_EQ(summary["failed"], failed);
        EXPECT_EQ(summary["cards"], cards.size());
        EXPECT_EQ(summary["without_number"], withoutNumber);
        EXPECT_EQ(summary["unrecognized"], unrecognized);
        nlohmann::json redo = nlohmann::json::array();
        for (const std::string& card : order)
            if (!everOk.count(card) && lastFailure.count(card))
                redo.push_back({{"card", card}, {"message", lastFailure[card]}});
        EXPECT_EQ(summary["redo"], redo);
    }
}

TEST_F(Fixture, JournalOfADayAndItsCsv) {
    WriteInitLog("0102030405060708", "Нет; ответа \"карты\"");
    WriteInitLog("0102030405060708");
    WriteInitLog("", "=формула");
    const std::string csv = files.Path("day.csv");
    const CliRun run = cli.Run({"journal", "--date", "2026-12-07", "--csv", csv});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Инициализировано: 1    Ошибок: 2    Разных карт: 1    Без номера: 1"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("(инициализировать заново): 0"), std::string::npos) << run.out;
    QFile file(QString::fromStdString(csv));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().toStdString(),
              "\xEF\xBB\xBFВремя;Номер карты;Результат;Сообщение\r\n"
              "14:03:27;#0102030405060708;Ошибка;\"Нет; ответа \"\"карты\"\"\"\r\n"
              "14:03:27;#0102030405060708;Успешно;\r\n"
              "14:03:27;;Ошибка;'=формула\r\n");

    EXPECT_EQ(cli.Run({"journal", "--date", "2026-13-01"}).exitCode, 2);
    EXPECT_EQ(cli.Run({"journal", "--date", "2026-12-08"}).exitCode, 2) << "no log that day";
}

// A log the disk does not give back to its end: no counts of part of the day, no CSV file, the
// reason (on standard error, or as the JSON error event) and code 8.
TEST_F(Fixture, JournalThatCannotBeReadToItsEndGivesNoCounts) {
    std::string text;
    for (int i = 0; i < 100; ++i)
        text += "10:00:00: #00000000000000" + std::to_string(10 + i % 50) + " SUCCESS\r\n";
    const std::string path = files.Write("day.log", text);
    const std::string csv = files.Path("day.csv");
    FailingLogReads disk(text.size() / 2);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"journal", "--file", path},
          std::vector<std::string>{"--json", "journal", "--file", path},
          std::vector<std::string>{"journal", "--file", path, "--csv", csv}}) {
        SCOPED_TRACE(args.front() + " " + args.back());
        const CliRun run = cli.Run(args);
        EXPECT_EQ(run.exitCode, 8);
        const std::string problem =
            "Журнал инициализации прочитан не полностью (" + path +
            "): ошибка ввода-вывода (код 5). Строки после ошибки не учтены.";
        if (args.front() == "--json") {
            ASSERT_EQ(run.JsonLines().size(), 1u) << run.out;
            EXPECT_EQ(run.JsonLines()[0]["event"], "error");
            EXPECT_EQ(run.JsonLines()[0]["message"], problem);
        } else {
            EXPECT_EQ(run.out, "");
            EXPECT_NE(run.err.find(problem), std::string::npos) << run.err;
        }
        EXPECT_FALSE(std::filesystem::exists(csv));
    }
    disk.Heal();
    EXPECT_EQ(cli.Run({"journal", "--file", path, "--csv", csv}).exitCode, 0);
    EXPECT_TRUE(std::filesystem::exists(csv));
}

} // namespace
