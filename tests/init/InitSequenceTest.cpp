// One initialization attempt on the wire: the exact command stream for each kind of token, how
// the settings become bytes, and every failure with its box, log line and the token left as it
// was (transaction ended, disconnected without reset).

#include "InitTestKit.h"
#include "support/InitCommands.h"

#include <gtest/gtest.h>

#include <optional>

using namespace initkit;

namespace {

const Bytes kZeros32(32, 0x00);
using initcommands::kMfCode;
using initcommands::kSelectData;
using initcommands::kSelectDstu;
using initcommands::kSelectMf;
using initcommands::kSelectRsa;

void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

using initcommands::DefaultSecrets;

// The parts of the attempt with the default settings.
std::vector<std::string> CommonPart() {
    return initcommands::Common(DefaultSecrets());
}

std::vector<std::string> RsaPart() {
    return initcommands::Rsa(DefaultSecrets());
}

std::vector<std::string> DstuPart() {
    return initcommands::Dstu(DefaultSecrets());
}

std::vector<std::string> DataPart() {
    return initcommands::Data();
}

std::vector<std::string> FinalPart() {
    return initcommands::Final();
}

// One token, Enter, the token taken out during the removal wait, Esc while waiting for the next.
// Returns the progress bar's position at every 50 ms step.
std::vector<int> RunOneToken(Harness& h) {
    std::vector<int> progress;
    h.TakeOutThenEsc([&](const RecordingPause::Wait& w) {
        if (w.kind == PauseKind::Step && w.ms == 50)
            progress.push_back(Control<QProgressBar>(h.dialog, "ProgressBar1")->value());
    });
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    return progress;
}

// ---- The exact command stream per kind of token ------------------------------------------------

struct StreamCase {
    const char* name;
    std::uint8_t apps; // ATR byte 14: bit 0 DSTU, bit 1 RSA, bit 2 Data Application
    std::vector<int> progress;
};
void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class InitStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(InitStream, SendsExactlyTheDesignedCommands) {
    const StreamCase& c = GetParam();
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(c.apps));
    h.pcsc.AnswerCardId(Hex("01 23 45 67 89 AB CD EF"));

    const std::vector<int> progress = RunOneToken(h);

    std::vector<std::string> expected;
    if (c.apps == 0)
        expected.push_back(
            "80 F6 00 00 08"); // the token's number, read when it names no application
    Append(expected, CommonPart());
    if (c.apps & 0x02)
        Append(expected, RsaPart());
    if (c.apps & 0x01)
        Append(expected, DstuPart());
    if (c.apps & 0x04)
        Append(expected, DataPart());
    Append(expected, FinalPart());
    EXPECT_EQ(ToHex(h.pcsc.Commands()), expected);

    EXPECT_EQ(progress, c.progress);
    EXPECT_TRUE(h.dialogs.messages.empty());
    const QString id = c.apps == 0 ? QStringLiteral("EFCDAB8967452301") : QString();
    EXPECT_EQ(h.log.Lines(), QStringList{QStringLiteral("14:03:27: #") + id + " SUCCESS"});

    // Shared access, one transaction, the token left powered.
    for (const FakePcsc::Call& call : h.pcsc.Calls()) {
        if (call.entry == FakePcsc::Entry::Connect) {
            EXPECT_EQ(call.shareMode, pcsc::kShareShared);
        }
    }
    EXPECT_EQ(h.pcsc.TransactionsBegun(), 1u);
    EXPECT_EQ(h.pcsc.TransactionsEnded(), 1u);
    for (pcsc::DWORD d : h.pcsc.Dispositions())
        EXPECT_EQ(d, pcsc::kLeaveCard);
    EXPECT_EQ(h.pcsc.OpenContexts(), 0u) << "the run's session is released when the run ends";
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, InitStream,
    ::testing::Values(
        StreamCase{"AllThreeApplications", 0x07, {0, 0, 0, 10, 20, 30, 40, 50, 60, 100, 0}},
        StreamCase{"NoApplication", 0x00, {0, 0, 0, 10, 20, 30, 40, 50, 100, 0}},
        StreamCase{"RsaOnly", 0x02, {0, 0, 0, 10, 20, 30, 40, 50, 60, 100, 0}},
        StreamCase{"DstuAndData", 0x05, {0, 0, 0, 10, 20, 30, 40, 50, 100, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InitStream, RefusalsOfIgnoredCommandsDoNotStopTheAttempt) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    // Every SELECT MF, the whole clean-up and the last CLEAR CACHE are refused.
    h.pcsc.AnswerSw(Hex(kSelectMf), 0x6A82, FakePcsc::Times::Always);
    h.pcsc.AnswerSw(Hex(kSelectRsa), 0x6A82);
    h.pcsc.AnswerSw(Hex("80 48 00 00 08 01 00 00 00 00 00"), 0x6985);
    h.pcsc.AnswerSw(Hex(kSelectDstu), 0x6A82);
    h.pcsc.AnswerSw(Hex("80 46 00 00 28 01 00 00 00 00 00"), 0x6985);
    h.pcsc.AnswerSw(Hex(kSelectData), 0x6A82);
    h.pcsc.AnswerSw(Hex("80 46 00 00 04"), 0x6985);
    h.pcsc.Answer(Hex("80 E0 02 00"), Hex("90 00"));
    h.pcsc.AnswerSw(Hex("80 E0 02 00"), 0x6985);

    RunOneToken(h);

    EXPECT_TRUE(h.dialogs.messages.empty());
    EXPECT_EQ(h.log.Lines(), QStringList{QStringLiteral("14:03:27: # SUCCESS")});
    EXPECT_EQ(h.pcsc.Commands().size(), CommonPart().size() + RsaPart().size() + DstuPart().size() +
                                            DataPart().size() + FinalPart().size());
}

// ---- How the settings become bytes -------------------------------------------------------------

struct ValueCase {
    const char* name;
    std::function<void(TestSettings&)> set;
    const char* filter;          // the commands that start with these bytes...
    std::vector<Bytes> expected; // ...are exactly these, in order
};
void PrintTo(const ValueCase& c, std::ostream* os) {
    *os << c.name;
}

class InitValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(InitValues, ReachTheTokenAsDesigned) {
    const ValueCase& c = GetParam();
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    c.set(h.settings);

    RunOneToken(h);

    const Bytes filter = Hex(c.filter);
    std::vector<std::string> seen;
    for (const Bytes& command : h.pcsc.Commands())
        if (command.size() >= filter.size() &&
            std::equal(filter.begin(), filter.end(), command.begin()))
            seen.push_back(ToHex(command));
    std::vector<std::string> expected;
    for (const Bytes& e : c.expected)
        expected.push_back(ToHex(e));
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(h.log.Lines().size(), 1);
}

Bytes Name(std::string_view hex) {
    Bytes field = Hex(hex);
    field.resize(32, 0x00);
    return field;
}

const Bytes kCleanUpActivate = Hex("80 46 00 00 28 01 00 00 00 00 00 00 00");
const Bytes kDstuActivate07 = Hex("80 46 00 00 28 01 00 00 00 00 07 00 00");
const Bytes kCleanUpGroup = Hex("80 48 00 00 08 01 00 00 00 00 00 00 00");

// 16 Cyrillic letters are exactly 32 UTF-8 bytes; the next ones fall off.
const char* kSixteenLetters = "D0 90 D0 91 D0 92 D0 93 D0 94 D0 95 D0 96 D0 97 D0 98 D0 99 D0 9A "
                              "D0 9B D0 9C D0 9D D0 9E D0 9F";
// One Latin letter and 16 times Ж: the cut at byte 32 falls inside the last letter.
const char* kCutInsideLetter = "61 D0 96 D0 96 D0 96 D0 96 D0 96 D0 96 D0 96 D0 96 D0 96 D0 96 "
                               "D0 96 D0 96 D0 96 D0 96 D0 96 D0";

INSTANTIATE_TEST_SUITE_P(
    Settings, InitValues,
    ::testing::Values(
        // The device name field, in the clean-up and in the DSTU activation alike.
        ValueCase{"NameNone",
                  [](TestSettings& s) { s.deviceName = "<None>"; },
                  "80 46 00 00 28",
                  {kCleanUpActivate + kZeros32, kDstuActivate07 + kZeros32}},
        ValueCase{"NameNoneLowerCase",
                  [](TestSettings& s) { s.deviceName = "<none>"; },
                  "80 46 00 00 28",
                  {kCleanUpActivate + kZeros32, kDstuActivate07 + kZeros32}},
        ValueCase{"NameEmpty",
                  [](TestSettings& s) { s.deviceName = ""; },
                  "80 46 00 00 28",
                  {kCleanUpActivate + kZeros32, kDstuActivate07 + kZeros32}},
        ValueCase{"NameCyrillic",
                  [](TestSettings& s) { s.deviceName = QStringLiteral("Тест"); },
                  "80 46 00 00 28",
                  {kCleanUpActivate + Name("D0 A2 D0 B5 D1 81 D1 82"),
                   kDstuActivate07 + Name("D0 A2 D0 B5 D1 81 D1 82")}},
        ValueCase{
            "NameTwentyLettersCutAt32Bytes",
            [](TestSettings& s) { s.deviceName = QStringLiteral("АБВГДЕЖЗИЙКЛМНОПРСТУ"); },
            "80 46 00 00 28",
            {kCleanUpActivate + Name(kSixteenLetters), kDstuActivate07 + Name(kSixteenLetters)}},
        ValueCase{
            "NameCutInsideALetter",
            [](TestSettings& s) { s.deviceName = QStringLiteral("aЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖ"); },
            "80 46 00 00 28",
            {kCleanUpActivate + Name(kCutInsideLetter), kDstuActivate07 + Name(kCutInsideLetter)}},
        // The RSA group code of SET GROUP (the first one is the clean-up's).
        ValueCase{"GroupD1",
                  [](TestSettings&) {},
                  "80 48 00 00 08",
                  {kCleanUpGroup, Hex("80 48 00 00 08 01 00 00 00 00 D1 00 00")}},
        ValueCase{"GroupUnticked",
                  [](TestSettings& s) { s.dublGroupRSA = false; },
                  "80 48 00 00 08",
                  {kCleanUpGroup, kCleanUpGroup}},
        ValueCase{"GroupOneDigit",
                  [](TestSettings& s) { s.groupRSA = "5"; },
                  "80 48 00 00 08",
                  {kCleanUpGroup, Hex("80 48 00 00 08 01 00 00 00 00 50 00 00")}},
        ValueCase{"GroupLowerCase",
                  [](TestSettings& s) { s.groupRSA = "d1"; },
                  "80 48 00 00 08",
                  {kCleanUpGroup, Hex("80 48 00 00 08 01 00 00 00 00 01 00 00")}},
        ValueCase{"GroupEmptyTicked",
                  [](TestSettings& s) { s.groupRSA = ""; },
                  "80 48 00 00 08",
                  {kCleanUpGroup, kCleanUpGroup}},
        // The DSTU group code of the long activation.
        ValueCase{"DstuGroupOneDigit",
                  [](TestSettings& s) { s.groupDSTU = "5"; },
                  "80 46 00 00 28",
                  {kCleanUpActivate + kZeros32,
                   Hex("80 46 00 00 28 01 00 00 00 00 50 00 00") + kZeros32}},
        ValueCase{"DstuGroupUnticked",
                  [](TestSettings& s) { s.dublGroupDSTU = false; },
                  "80 46 00 00 28",
                  {kCleanUpActivate + kZeros32, kCleanUpActivate + kZeros32}},
        // The PUK is sent whether or not it is allowed; only its attribute says so.
        ValueCase{"PukNotAllowed",
                  [](TestSettings& s) { s.puk = "1234"; },
                  "80 F4 01 06",
                  {Hex("80 F4 01 06 0A 05 00 31 32 33 34 FF FF FF FF")}},
        ValueCase{"PukAllowed",
                  [](TestSettings& s) {
                      s.puk = "1234";
                      s.allowPuk = true;
                  },
                  "80 F4 01 06",
                  {Hex("80 F4 01 06 0A 05 44 31 32 33 34 FF FF FF FF")}},
        ValueCase{"PukAllowedButEmpty",
                  [](TestSettings& s) { s.allowPuk = true; },
                  "80 F4 01 06",
                  {Hex("80 F4 01 06 0A 05 00 FF FF FF FF FF FF FF FF")}},
        ValueCase{"PukEightCharacters",
                  [](TestSettings& s) {
                      s.puk = "12345678";
                      s.allowPuk = true;
                  },
                  "80 F4 01 06",
                  {Hex("80 F4 01 06 0A 05 44 31 32 33 34 35 36 37 38")}},
        // The unblock key is always sent; its attribute says whether it may be used.
        ValueCase{"UnblockKeyUsable",
                  [](TestSettings& s) { s.useUnblockKey = true; },
                  "80 F4 01 11",
                  {Hex("80 F4 01 11 12 05 EE") + ToBytes(Sequence<16>(0xA0))}},
        // The PIN in CP1251, stored and verified alike.
        ValueCase{"PinCyrillicStored",
                  [](TestSettings& s) { s.pin = QStringLiteral("Тест"); },
                  "80 F4 01 05",
                  {Hex("80 F4 01 05 0A 05 77 D2 E5 F1 F2 FF FF FF FF")}},
        ValueCase{"PinCyrillicVerified",
                  [](TestSettings& s) { s.pin = QStringLiteral("Тест"); },
                  "00 20 00 05",
                  {Hex("00 20 00 05 08 D2 E5 F1 F2 FF FF FF FF")}},
        ValueCase{"PinEightCharacters",
                  [](TestSettings& s) { s.pin = "ABCDEFGH"; },
                  "80 F4 01 05",
                  {Hex("80 F4 01 05 0A 05 77 41 42 43 44 45 46 47 48")}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HexToInt, ReadsUpperCaseDigitsOnly) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"D1", 0xD1}, {"07", 0x07}, {"5", 0x50},   {"d1", 0x01}, {"ZZ", 0x00},
                 {"", 0x00},   {"FF", 0xFF}, {"FFF", 0xFF}, {" 1", 0x01}, {"A", 0xA0}};
    for (const auto& c : cases)
        EXPECT_EQ(HexToInt(QString::fromUtf8(c.text).toStdU16String(), 2), c.value) << c.text;
    EXPECT_EQ(HexToInt(u"1F", 1), 0x01);
}

// ---- Failures ----------------------------------------------------------------------------------

struct FailureCase {
    const char* name;
    std::function<void(FakePcsc&, TestSettings&)> arrange;
    QString message;
    MsgType kind;
    std::optional<std::string> lastCommand; // the last command that reached the token
    int progress;                           // where the bar stays
    std::uint8_t apps = 0x07;
    bool transaction = true; // a transaction had been begun (and must be ended)
};
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class InitFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InitFailure, IsReportedLoggedAndLeavesTheTokenAlone) {
    const FailureCase& c = GetParam();
    Harness h;
    h.pcsc.AddReader(kReader, c.apps == 0xFF ? Bytes{} : FakePcsc::FamilyAtr(c.apps));
    h.pcsc.AnswerCardId(Hex("01 23 45 67 89 AB CD EF"));
    c.arrange(h.pcsc, h.settings);

    struct AfterAttempt {
        QString text;
        QColor colour;
        bool bold = true;
        bool shown = false;
        bool hintShown = true;
        int progress = -1;
        InitRun::State state = InitRun::State::Idle;
        bool phaseRunning = true;
        std::size_t openConnections = 99;
    } after;
    // The token as the failure is reported: the box, the log line and the red text all come
    // while the attempt still holds the token in its transaction; it is let go after them.
    struct Reported {
        std::size_t openConnections = 99;
        std::size_t transactionsOpen = 99;
        int logLines = -1;
    };
    std::optional<Reported> atBox, atRedText;
    const auto token = [&h] {
        return Reported{h.pcsc.OpenConnections(),
                        h.pcsc.TransactionsBegun() - h.pcsc.TransactionsEnded(),
                        static_cast<int>(h.log.Lines().size())};
    };
    struct RedTextWatch : QObject {
        std::function<void()> seen;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::PaletteChange)
                seen();
            return false;
        }
    } redTextWatch;
    redTextWatch.seen = [&] {
        if (TextColour(Control<QLabel>(h.dialog, "Label1")) == QColor(255, 0, 0) && !atRedText)
            atRedText = token();
    };
    Control<QLabel>(h.dialog, "Label1")->installEventFilter(&redTextWatch);
    h.dialogs.onMessage = [&](const MessageRequest&) {
        atBox = token();
        // Runs while the box is up; the timer fires once the attempt has ended.
        QTimer::singleShot(0, [&] {
            after.text = Control<QLabel>(h.dialog, "Label1")->text();
            after.colour = TextColour(Control<QLabel>(h.dialog, "Label1"));
            after.bold = Control<QLabel>(h.dialog, "Label1")->font().bold();
            after.shown = !Control<QLabel>(h.dialog, "Label1")->isHidden();
            after.hintShown = !Control<QLabel>(h.dialog, "Label2")->isHidden();
            after.progress = Control<QProgressBar>(h.dialog, "ProgressBar1")->value();
            after.state = h.dialog.Run().CurrentState();
            after.phaseRunning = h.dialog.Run().PhaseRunning();
            after.openConnections = h.pcsc.OpenConnections();
            PostKey(&h.dialog, Qt::Key_Escape);
        });
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    ASSERT_EQ(h.dialogs.messages.size(), 1u);
    const MessageRequest& box = h.dialogs.messages[0];
    EXPECT_EQ(box.text, c.message);
    EXPECT_EQ(box.type, c.kind);
    EXPECT_EQ(box.owner, &h.dialog);
    EXPECT_EQ(box.title, QStringLiteral("Инициализация"));
    EXPECT_EQ(box.buttons, mbOK);
    EXPECT_TRUE(box.systemModal);

    const QString id = c.apps == 0 ? QStringLiteral("EFCDAB8967452301") : QString();
    EXPECT_EQ(h.log.Lines(), QStringList{"14:03:27: #" + id + " ERROR: " + c.message});

    EXPECT_EQ(after.text, kFailedText);
    EXPECT_EQ(after.colour, QColor(255, 0, 0));
    EXPECT_FALSE(after.bold);
    EXPECT_TRUE(after.shown);
    EXPECT_FALSE(after.hintShown);
    EXPECT_EQ(after.progress, c.progress);
    EXPECT_EQ(after.state, InitRun::State::Failed);
    EXPECT_FALSE(after.phaseRunning) << "nothing polls the reader until Enter";
    EXPECT_EQ(after.openConnections, 0u);
    const std::size_t held = c.transaction ? 1u : 0u; // no transaction: no token to hold
    ASSERT_TRUE(atBox.has_value());
    EXPECT_EQ(atBox->openConnections, held) << "box";
    EXPECT_EQ(atBox->transactionsOpen, held) << "box";
    EXPECT_EQ(atBox->logLines, 0) << "the box comes first";
    ASSERT_TRUE(atRedText.has_value());
    EXPECT_EQ(atRedText->openConnections, held) << "red text";
    EXPECT_EQ(atRedText->transactionsOpen, held) << "red text";
    EXPECT_EQ(atRedText->logLines, 1) << "the log line comes before the red text";

    const auto commands = ToHex(h.pcsc.Commands());
    if (c.lastCommand) {
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.back(), *c.lastCommand) << "nothing is sent after the failed step";
    } else {
        EXPECT_TRUE(commands.empty());
    }
    EXPECT_EQ(h.pcsc.TransactionsBegun(), c.transaction ? 1u : 0u);
    EXPECT_EQ(h.pcsc.TransactionsEnded(), h.pcsc.TransactionsBegun());
    for (pcsc::DWORD d : h.pcsc.Dispositions())
        EXPECT_EQ(d, pcsc::kLeaveCard);
}

const QString kInit = QStringLiteral("Ошибка инициализации смарт-карты.");
void Sw(FakePcsc& p, const char* prefix, std::uint16_t sw) {
    p.AnswerSw(Hex(prefix), sw);
}
// The clean-up sends the same command first: let that one pass.
void SecondSw(FakePcsc& p, const char* prefix, std::uint16_t sw) {
    p.Answer(Hex(prefix), Hex("90 00"));
    p.AnswerSw(Hex(prefix), sw);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InitFailure,
    ::testing::Values(
        FailureCase{"NoToken", [](FakePcsc&, TestSettings&) {},
                    QStringLiteral("Смарт-карта не отвечает. No smart card inserted."),
                    MsgType::Warning, std::nullopt, 0, 0xFF, false},
        FailureCase{"GlobalPinNotSupported", [](FakePcsc& p, TestSettings&) { Sw(p, "80 F2", 0x6D00); },
                    QStringLiteral("Инициализация текущей смарт-карты невозможна. НКИ не "
                                   "поддерживает глобальный ПИН-код"),
                    MsgType::Error, "80 F2 00 05 01", 0},
        FailureCase{"MfCode", [](FakePcsc& p, TestSettings&) { Sw(p, "80 48 4D 46", 0x6982); },
                    kInit, MsgType::Error, kMfCode, 10},
        FailureCase{"StorePin", [](FakePcsc& p, TestSettings&) { Sw(p, "80 F4 01 05", 0x6982); },
                    kInit + " Установка ПИН-кода. Card Error 6982", MsgType::Error,
                    "80 F4 01 05 0A 05 77 31 32 33 34 FF FF FF FF", 20, 0x00},
        FailureCase{"StorePuk", [](FakePcsc& p, TestSettings&) { Sw(p, "80 F4 01 06", 0x6A80); },
                    kInit + " Установка ПИН-кода. Card Error 6A80", MsgType::Error,
                    "80 F4 01 06 0A 05 00 FF FF FF FF FF FF FF FF", 30},
        FailureCase{"StoreUnblockKey", [](FakePcsc& p, TestSettings&) { Sw(p, "80 F4 01 11", 0x6700); },
                    kInit + " Установка ключа разблокировки. Card Error 6700", MsgType::Error,
                    ToHex(Hex("80 F4 01 11 12 05 00") + ToBytes(Sequence<16>(0xA0))), 40},
        FailureCase{"RsaNotSelectable",
                    [](FakePcsc& p, TestSettings&) { SecondSw(p, kSelectRsa.c_str(), 0x6A82); },
                    kInit + " Карта не поддерживает RSA.", MsgType::Warning, kSelectRsa, 50},
        FailureCase{"RsaGroupKey", [](FakePcsc& p, TestSettings&) { Sw(p, "80 F4 01 09", 0x6982); },
                    kInit + " Установка ключа дублирования. Card Error 6982", MsgType::Error,
                    ToHex(Hex("80 F4 01 09 22 05 99") + ToBytes(Sequence<32>(0x00))), 50},
        FailureCase{"RsaSetGroup",
                    [](FakePcsc& p, TestSettings&) { Sw(p, "80 48 00 00 08 01 00 00 00 00 D1", 0x6A82); },
                    kInit + " Установка группы дублирования. Card Error 6A82", MsgType::Error,
                    "80 48 00 00 08 01 00 00 00 00 D1 00 00", 60},
        FailureCase{"VerifyPin", [](FakePcsc& p, TestSettings&) { Sw(p, "00 20 00 05", 0x63C2); },
                    kInit + " Проверка ПИН-кода. Invalid password. Attempts left - 2",
                    MsgType::Error, "00 20 00 05 08 31 32 33 34 FF FF FF FF", 60},
        FailureCase{"UpdateBinary", [](FakePcsc& p, TestSettings&) { Sw(p, "00 D6", 0x6A82); },
                    kInit + " Очистка КЭШ. Card Error 6A82", MsgType::Error,
                    "00 D6 82 00 06 00 00 00 00 00 00", 60},
        FailureCase{"ClearCache", [](FakePcsc& p, TestSettings&) { Sw(p, "80 E0 02 00", 0x6985); },
                    kInit + " Очистка КЭШ. Card Error 6985", MsgType::Error, "80 E0 02 00", 60},
        FailureCase{"DstuNotSelectable",
                    [](FakePcsc& p, TestSettings&) { SecondSw(p, kSelectDstu.c_str(), 0x6A82); },
                    kInit + " Карта не поддерживает ДСТУ", MsgType::Warning, kSelectDstu, 60},
        FailureCase{"DstuGroupKey",
                    [](FakePcsc& p, TestSettings&) { SecondSw(p, "80 F4 01 09", 0x6982); },
                    kInit + " Установка ключа дублирования для ДСТУ. Card Error 6982",
                    MsgType::Error, ToHex(Hex("80 F4 01 09 22 05 99") + ToBytes(Sequence<32>(0x20))),
                    60},
        FailureCase{"DstuActivate",
                    [](FakePcsc& p, TestSettings&) { Sw(p, "80 46 00 00 28 01 00 00 00 00 07", 0x6A80); },
                    kInit + " Установка группы дублирования для ДСТУ. Card Error 6A80",
                    MsgType::Error, ToHex(Hex("80 46 00 00 28 01 00 00 00 00 07 00 00") + kZeros32),
                    60},
        FailureCase{"DataNotSelectable",
                    [](FakePcsc& p, TestSettings&) { SecondSw(p, kSelectData.c_str(), 0x6A82); },
                    kInit + " Карта не поддерживает Data Application", MsgType::Warning, kSelectData,
                    60},
        FailureCase{"DataActivate",
                    [](FakePcsc& p, TestSettings&) { SecondSw(p, "80 46 00 00 04", 0x6985); },
                    kInit + " Активация Data Application. Card Error 6985", MsgType::Error,
                    "80 46 00 00 04 01 00 00 00", 60},
        // Pulled out just as the PIN goes to it: the command never arrives.
        FailureCase{"TokenVanishes",
                    [](FakePcsc& p, TestSettings&) {
                        p.OnTransmit([&p](const Bytes& command) {
                            if (command.size() > 3 && command[0] == 0x80 && command[1] == 0xF4 &&
                                command[3] == 0x05)
                                p.RemoveCard(kReader);
                        });
                    },
                    QStringLiteral("Смарт-карта извлечена во время инициализации. Вставьте её "
                                   "снова и повторите."),
                    MsgType::Warning, kMfCode, 20},
        // A character without a CP1251 byte is never sent as a substitute.
        FailureCase{"PinNotCp1251",
                    [](FakePcsc&, TestSettings& s) { s.pin = QStringLiteral("ab\u2713d"); },
                    kInit + " Установка ПИН-кода. ", MsgType::Error, kMfCode, 20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InitFailure, NoTokenTriesTwiceHalfASecondApart) {
    Harness h;
    h.pcsc.AddReader(kReader);
    std::size_t connectsBeforePause = 0;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.ms == 500 && w.kind == PauseKind::Step)
            connectsBeforePause = h.pcsc.Count(FakePcsc::Entry::Connect);
    };
    h.dialogs.onMessage = [&](const MessageRequest&) { PostKey(&h.dialog, Qt::Key_Escape); };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    EXPECT_EQ(h.pause.Count(500, PauseKind::Step), 1u);
    EXPECT_EQ(connectsBeforePause, 2u) << "the first round is itself a connect and one retry";
    EXPECT_EQ(h.pcsc.Count(FakePcsc::Entry::Connect), 4u);
    EXPECT_EQ(h.dialogs.messages.size(), 1u);
}

} // namespace
