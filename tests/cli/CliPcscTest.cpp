// orvane-cli through the real PC/SC stack: the private pcscd, its vpcd readers and virtual tokens
// (fixture `pcsc_stack`). The executable runs as a child; init goes over two tokens, its command
// stream is compared with the window's run for the same settings, its log lines and JSON lines
// checked; reset-pin and response work on the token, also with a protected key or shares.

#include "CliProcess.h"
#include "CliTestKit.h"
#include "VirtualToken.h"
#include "engine/KeyFile.h"
#include "init/InitTestKit.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace initkit;

namespace {

const std::string kPin = "Пин1";
const std::string kPuk = "4321";
const vtoken::Bytes kPinBytes{0xCF, 0xE8, 0xED, 0x31, 0xFF, 0xFF, 0xFF, 0xFF};
const std::string kCardA = "0102030405060708";
const std::string kCardB = "1112131415161718";

std::array<std::uint8_t, 16> KeyArray() {
    std::array<std::uint8_t, 16> key{};
    const std::string bytes = clikit::KeyBytes();
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

std::vector<std::string> Commands(const VirtualToken& token) {
    std::vector<std::string> commands;
    for (const TracedApdu& apdu : token.Apdus())
        commands.push_back(apdu.command);
    return commands;
}

// The window's run on the first reader: Enter, and Esc once the token is done.
struct WindowRun : RealStackRun {
    WindowRun() : RealStackRun(50) {
        settings.pin = QString::fromStdString(kPin);
        settings.puk = QString::fromStdString(kPuk);
        settings.allowPuk = true;
        settings.useUnblockKey = true;
        settings.unblockKey = KeyArray();
        settings.deviceName = QStringLiteral("Тест");
    }

    void RunOnce() {
        bool escPosted = false;
        pause.onPause = [&](const RecordingPause::Wait& w) {
            if (w.kind == PauseKind::Blink &&
                Control<QLabel>(dialog, "Label1")->text() == kDoneText && !escPosted) {
                escPosted = true;
                PostKey(&dialog, Qt::Key_Escape);
            }
        };
        PostKey(&dialog, Qt::Key_Return);
        dialog.RunInitialization(VirtualToken::ReaderName(0));
        EXPECT_TRUE(dialogs.messages.empty());
    }
};

struct CliThroughPcscd : ::testing::Test {
    clikit::Files files;
    QTemporaryDir dataHome;
    std::string keyFile = files.Write("admin.key", clikit::KeyBytes());
    std::string pinFile = files.Write("pin.txt", kPin + "\n");
    std::vector<std::pair<std::string, std::string>> environment{
        {"XDG_DATA_HOME", dataHome.path().toStdString()}, {"ADMIN_PUK", kPuk}};
    std::string reader = VirtualToken::ReaderName(0);

    std::vector<std::string> InitArguments(const std::string& count) {
        return {"--json",       "init",      "--reader", reader,  "--pin-file",  pinFile,
                "--puk-env",    "ADMIN_PUK", "--key",    keyFile, "--group-rsa", "D1",
                "--group-dstu", "07",        "--name",   "Тест",  "--count",     count};
    }

    // The log lines the child wrote today (its regional settings are this process's).
    QStringList LogLines() const {
        const QDate today = QDate::currentDate();
        QFile file(
            dataHome.path() + "/Velmar/Orvane/" +
            QString::fromStdString(InitLogFileName(today.year(), today.month(), today.day(),
                                                   SystemInitLogEnvironment().TimeLocale())));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
        if (!lines.isEmpty() && lines.back().isEmpty())
            lines.pop_back();
        return lines;
    }
};

TEST_F(CliThroughPcscd, InitializesTwoTokensAsTheWindowDoesAndShowsNoSecret) {
    VirtualToken tokenA, tokenB;
    ASSERT_TRUE(tokenA.Insert(VirtualTokenOptions().Apps("none").CardId(kCardA))) << tokenA.Error();
    CliProcess cli;
    ASSERT_TRUE(cli.Start(InitArguments("2"), environment));
    int results = 0;
    for (std::string line; cli.ReadLine(line);) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(event.is_discarded()) << line;
        if (event["event"] == "result") {
            ASSERT_EQ(event["ok"], true) << line;
            if (++results == 1) {
                EXPECT_TRUE(tokenA.Remove()) << tokenA.Error();
            }
        } else if (event["event"] == "waiting" && results == 1) {
            EXPECT_TRUE(tokenB.Insert(VirtualTokenOptions().Apps("none").CardId(kCardB)))
                << tokenB.Error();
        }
    }
    ASSERT_EQ(cli.Wait(), 0) << cli.Errors();
    ASSERT_TRUE(tokenB.Remove()) << tokenB.Error();
    ASSERT_EQ(results, 2) << cli.Output() << cli.Errors();

    const auto a = tokenA.State(), b = tokenB.State();
    ASSERT_TRUE(a && b);
    const std::array<std::uint8_t, 16> key = KeyArray();
    for (const auto* state : {&*a, &*b}) {
        EXPECT_EQ(state->pin.value, kPinBytes);
        EXPECT_EQ(state->pin.attribute, 0x77);
        EXPECT_EQ(state->puk.attribute, 0x44);
        EXPECT_EQ(state->unblockKey.value, vtoken::Bytes(key.begin(), key.end()));
        EXPECT_EQ(state->unblockKey.attribute, 0xEE);
    }
    // The log: one success line per token, the card numbers as the window logs them.
    const QStringList log = LogLines();
    ASSERT_EQ(log.size(), 2) << cli.Errors();
    // Qt's own long time of the regional settings, without its time-zone name.
    const QString timeFormat = QString::fromStdString(
        WithoutTimeZone(QLocale::system().timeFormat(QLocale::LongFormat).toStdString()));
    const char* ids[] = {"0807060504030201", "1817161514131211"};
    for (int i = 0; i < 2; ++i) {
        const QString suffix = QStringLiteral(": #%1 SUCCESS").arg(ids[i]);
        ASSERT_TRUE(log[i].endsWith(suffix)) << log[i].toStdString();
        EXPECT_TRUE(QLocale::system().toTime(log[i].chopped(suffix.size()), timeFormat).isValid())
            << log[i].toStdString();
    }
    // Neither PIN, PUK nor key, in any spelling, in the JSON lines.
    clikit::ExpectNoSecret(cli.Output() + cli.Errors(),
                           {kPin, kPuk, "\xCF\xE8\xED\x31", clikit::KeyBytes()});

    // The window sends the same commands to a token like the first one (without applications,
    // no group key reaches a token).
    WindowRun window;
    VirtualToken tokenC;
    ASSERT_TRUE(tokenC.Insert(VirtualTokenOptions().Apps("none").CardId(kCardA))) << tokenC.Error();
    window.RunOnce();
    ASSERT_FALSE(Commands(tokenA).empty());
    EXPECT_EQ(Commands(tokenC), Commands(tokenA));
}

TEST_F(CliThroughPcscd, SameCommandStreamAsTheWindowWithGroupKeys) {
    VirtualToken byCli, byWindow;
    ASSERT_TRUE(byCli.Insert(VirtualTokenOptions().Apps("rsa,dstu,data").CardId(kCardA)))
        << byCli.Error();
    std::string out, err;
    ASSERT_EQ(CliProcess::Run(InitArguments("1"), environment, "", out, err), 0) << err;
    const auto state = byCli.State();
    ASSERT_TRUE(state) << byCli.Error();
    ASSERT_TRUE(byCli.Remove());

    WindowRun window;
    const vtoken::Bytes rsa = state->app(vtoken::AppId::RSA).groupKey.value;
    const vtoken::Bytes dstu = state->app(vtoken::AppId::DSTU).groupKey.value;
    ASSERT_EQ(rsa.size(), 32u);
    ASSERT_EQ(dstu.size(), 32u);
    std::copy(rsa.begin(), rsa.end(), window.settings.groupKeyRSA.begin());
    std::copy(dstu.begin(), dstu.end(), window.settings.groupKeyDSTU.begin());
    ASSERT_TRUE(byWindow.Insert(VirtualTokenOptions().Apps("rsa,dstu,data").CardId(kCardA)))
        << byWindow.Error();
    window.RunOnce();
    ASSERT_FALSE(Commands(byCli).empty());
    EXPECT_EQ(Commands(byWindow), Commands(byCli));
    EXPECT_EQ(window.log.Lines(), QStringList{QStringLiteral("14:03:27: # SUCCESS")});
    // The group keys the command line made never show in its output.
    clikit::ExpectNoSecret(
        out + err, {std::string(rsa.begin(), rsa.end()), std::string(dstu.begin(), dstu.end())});
}

// --read-card-number through the real pcscd, on a token that announces its application (Data
// Application only: no group key, so two runs send the same bytes): without the option the token
// is not asked for its number and its log line names no card; with it, GET CARD ID comes right
// after the connect and the line names the card; a token refusing the question is initialized
// all the same, its line without a number.
TEST_F(CliThroughPcscd, CardNumberForTheLogOnlyWhenAskedAndARefusalIsNoFailure) {
    const std::string kQuery = "80F6000008";
    struct Case {
        const char* name;
        bool option;
        std::string refusal; // --fail rule of the token
        QString logEnd;
    };
    const Case cases[] = {
        {"without the option", false, "", QStringLiteral(": # SUCCESS")},
        {"with the option", true, "", QStringLiteral(": #0807060504030201 SUCCESS")},
        {"refused", true, "F6=6D00", QStringLiteral(": # SUCCESS")},
    };
    std::vector<std::vector<std::string>> streams;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualTokenOptions options = VirtualTokenOptions().Apps("data").CardId(kCardA);
        if (!c.refusal.empty())
            options.Fail(c.refusal);
        VirtualToken token;
        ASSERT_TRUE(token.Insert(options)) << token.Error();
        std::vector<std::string> arguments = {"--json",     "init",  "--reader", reader,
                                              "--pin-file", pinFile, "--key",    keyFile};
        if (c.option)
            arguments.push_back("--read-card-number");
        std::string out, err;
        ASSERT_EQ(CliProcess::Run(arguments, environment, "", out, err), 0) << out << err;
        const QStringList log = LogLines();
        ASSERT_FALSE(log.isEmpty());
        EXPECT_TRUE(log.back().endsWith(c.logEnd)) << log.back().toStdString();
        streams.push_back(Commands(token));
        ASSERT_TRUE(token.Remove()) << token.Error();
    }
    const std::vector<std::string>& plain = streams[0];
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(std::count(plain.begin(), plain.end(), kQuery), 0);
    std::vector<std::string> asked{kQuery};
    asked.insert(asked.end(), plain.begin(), plain.end());
    EXPECT_EQ(streams[1], asked);
    EXPECT_EQ(streams[2], asked);
}

TEST_F(CliThroughPcscd, ResetPinWithTheKeyAndRefusedWithAnother) {
    VirtualToken token;
    ASSERT_TRUE(token.Insert()) << token.Error();
    std::string out, err;
    ASSERT_EQ(CliProcess::Run(InitArguments("1"), environment, "", out, err), 0) << err;

    auto env = environment;
    env.emplace_back("NEW_PIN", "5678");
    ASSERT_EQ(CliProcess::Run({"--json", "reset-pin", "--reader", reader, "--key", keyFile,
                               "--new-pin-env", "NEW_PIN"},
                              env, "", out, err),
              0)
        << err;
    auto state = token.State();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->pin.value, (vtoken::Bytes{'5', '6', '7', '8', 0xFF, 0xFF, 0xFF, 0xFF}));
    const nlohmann::json done = nlohmann::json::parse(out);
    EXPECT_EQ(done["ok"], true);
    EXPECT_EQ(done["message"], "ПИН-код успешно изменен");
    clikit::ExpectNoSecret(out + err, {"5678", clikit::KeyBytes()});

    const std::string otherKey = files.Write("other.key", clikit::KeyBytes(0x10));
    EXPECT_EQ(CliProcess::Run({"reset-pin", "--reader", reader, "--key", otherKey}, env, "9999\n",
                              out, err),
              1);
    EXPECT_FALSE(err.empty());
    state = token.State();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->pin.value, (vtoken::Bytes{'5', '6', '7', '8', 0xFF, 0xFF, 0xFF, 0xFF}));
}

// The unblock key kept under protection serves init and reset-pin as a plain file does: a file
// protected by a passphrase, or two of three shares each with its custodian's passphrase. The
// token gets the key itself, and the PIN reset with the same options is accepted; no key and no
// passphrase is shown.
TEST_F(CliThroughPcscd, ProtectedKeyAndSharesServeInitAndResetPin) {
    const std::string passphrase = "ключ парка 2026", custodian1 = "хранитель один",
                      custodian3 = "хранитель три", custodian2 = "хранитель два";
    const passphrase::Cost cheap{1, 64};
    const std::array<std::uint8_t, 16> key = KeyArray();
    ASSERT_TRUE(WriteProtectedKeyFile(files.Path("fleet.key"), key, passphrase, cheap));
    ASSERT_TRUE(
        WriteKeyShares(files.Path("s"), key, 2, 3, {&custodian1, &custodian2, &custodian3}, cheap)
            .ok);
    const struct {
        const char* name;
        std::vector<std::string> keyOptions;
    } rows[] = {
        {"protected file", {"--key", files.Path("fleet.key"), "--passphrase-env", "PASS"}},
        {"two shares",
         {"--key", files.Path("s-3-of-3.key"), "--key", files.Path("s-1-of-3.key"),
          "--passphrase-env", "P3", "--passphrase-env", "P1"}},
    };
    auto env = environment;
    env.insert(env.end(),
               {{"PASS", passphrase}, {"P1", custodian1}, {"P3", custodian3}, {"NEW_PIN", "5678"}});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        VirtualToken token;
        ASSERT_TRUE(token.Insert()) << token.Error();
        std::vector<std::string> init = {"init",  "--reader", reader, "--pin-file",
                                         pinFile, "--count",  "1"};
        init.insert(init.end(), row.keyOptions.begin(), row.keyOptions.end());
        std::string out, err;
        ASSERT_EQ(CliProcess::Run(init, env, "", out, err), 0) << out << err;
        auto state = token.State();
        ASSERT_TRUE(state);
        EXPECT_EQ(state->unblockKey.value, vtoken::Bytes(key.begin(), key.end()));
        std::string shown = out + err;

        std::vector<std::string> reset = {"reset-pin", "--reader", reader, "--new-pin-env",
                                          "NEW_PIN"};
        reset.insert(reset.end(), row.keyOptions.begin(), row.keyOptions.end());
        ASSERT_EQ(CliProcess::Run(reset, env, "", out, err), 0) << out << err;
        state = token.State();
        ASSERT_TRUE(state);
        EXPECT_EQ(state->pin.value, (vtoken::Bytes{'5', '6', '7', '8', 0xFF, 0xFF, 0xFF, 0xFF}));
        shown += out + err;
        clikit::ExpectNoSecret(shown,
                               {clikit::KeyBytes(), passphrase, custodian1, custodian3, "5678"});
        ASSERT_TRUE(token.Remove()) << token.Error();
    }
}

TEST_F(CliThroughPcscd, ResponseToTheTokensChallengeIsAccepted) {
    VirtualToken token;
    ASSERT_TRUE(token.Insert()) << token.Error();
    std::string out, err;
    ASSERT_EQ(CliProcess::Run(InitArguments("1"), environment, "", out, err), 0) << err;
    ASSERT_TRUE(token.Remove());

    const VirtualToken::ToolResult shown = token.UserChallenge();
    ASSERT_EQ(shown.exitCode, 0) << shown.output;
    const QString challenge = QString::fromStdString(shown.output).trimmed().toLower();
    ASSERT_EQ(CliProcess::Run({"response", "--key", keyFile}, environment,
                              challenge.toStdString() + "\n", out, err),
              0)
        << err;
    ASSERT_EQ(out.size(), 24u) << out;
    const VirtualToken::ToolResult accepted = token.UserResponse(out.substr(0, 23));
    EXPECT_EQ(accepted.exitCode, 0) << accepted.output;
}

} // namespace
