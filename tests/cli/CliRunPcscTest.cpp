// orvane-cli init as a batch through the real pcscd with virtual tokens: a second run on a held
// reader is refused at once while a run on another reader works, a PIN reset on the held reader
// is refused, a signal before --count tokens ends the run with its own code, and a pcscd restart
// in the removal wait does not initialize the token still in the reader a second time.

#include "CliProcess.h"
#include "CliTestKit.h"
#include "VirtualToken.h"
#include "cli/Console.h"
#include "engine/ReaderLock.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace {

using nlohmann::json;

const std::string kCardA = "0102030405060708";
const std::string kCardB = "1112131415161718";

// Reads JSON lines of a running child until one has `event` (and, when given, that `ok`).
std::optional<json> NextEvent(CliProcess& cli, const std::string& event) {
    for (std::string line; cli.ReadLine(line);) {
        json parsed = json::parse(line, nullptr, false);
        if (!parsed.is_discarded() && parsed["event"] == event)
            return parsed;
    }
    return std::nullopt;
}

class CliRunThroughPcscd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(runtime.dir.isValid()); }

    std::vector<std::string> Init(const std::string& reader, const std::string& count) {
        return {"--json", "init",  "--reader", reader,    "--pin-file",
                pinFile,  "--key", keyFile,    "--count", count};
    }
    std::vector<std::string> LogLines() const {
        QDir folder(dataHome.path() + "/Velmar/Orvane");
        std::vector<std::string> lines;
        for (const QString& name : folder.entryList({"*.log"}, QDir::Files)) {
            QFile file(folder.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                for (const QByteArray& line : file.readAll().split('\n'))
                    if (!line.trimmed().isEmpty())
                        lines.push_back(line.trimmed().toStdString());
        }
        return lines;
    }

    // The reader locks of this test live in a runtime folder of its own.
    clikit::PrivateRuntimeFolder runtime;
    QTemporaryDir dataHome;
    clikit::Files files;
    std::string keyFile = files.Write("admin.key", clikit::KeyBytes());
    std::string pinFile = files.Write("pin.txt", "1234\n");
    std::vector<std::pair<std::string, std::string>> environment{
        {"XDG_DATA_HOME", dataHome.path().toStdString()}};
};

TEST_F(CliRunThroughPcscd, SecondRunOnAHeldReaderIsRefusedAtOnceAndAnotherReaderWorks) {
    VirtualToken other;
    ASSERT_TRUE(other.Insert(VirtualTokenOptions().Apps("none").CardId(kCardB).Slot(1)))
        << other.Error();
    const std::string reader = VirtualToken::ReaderName(0);
    CliProcess first; // no token in its reader: it waits, holding the reader
    ASSERT_TRUE(first.Start(Init(reader, "1"), environment));
    ASSERT_TRUE(NextEvent(first, "waiting")) << first.Output();

    std::string out, err;
    EXPECT_EQ(CliProcess::Run(Init(reader, "1"), environment, "", out, err), kExitReaderBusy)
        << out << err;
    EXPECT_NE(out.find(ReaderHeldMessage(reader)), std::string::npos) << out;
    EXPECT_EQ(CliProcess::Run(
                  {"reset-pin", "--reader", reader, "--key", keyFile, "--new-pin-file", pinFile},
                  environment, "", out, err),
              kExitReaderBusy)
        << out << err;
    // Another reader is not held by the first run.
    EXPECT_EQ(CliProcess::Run(Init(other.ReaderName(), "1"), environment, "", out, err), 0)
        << out << err;
    EXPECT_EQ(LogLines().size(), 1u);

    ::kill(first.Pid(), SIGTERM);
    EXPECT_EQ(first.Wait(), kExitInterrupted);
}

TEST_F(CliRunThroughPcscd, SignalBeforeTheCountEndsWithItsOwnCodeAndSaysSo) {
    CliProcess cli;
    ASSERT_TRUE(cli.Start(Init(VirtualToken::ReaderName(0), "3"), environment));
    ASSERT_TRUE(NextEvent(cli, "waiting")) << cli.Output();
    ::kill(cli.Pid(), SIGTERM);
    const std::optional<json> done = NextEvent(cli, "done");
    EXPECT_EQ(cli.Wait(), kExitInterrupted) << cli.Errors();
    ASSERT_TRUE(done) << cli.Output();
    EXPECT_EQ((*done)["interrupted"], true);
    EXPECT_EQ((*done)["exit_code"], kExitInterrupted);
    EXPECT_EQ((*done)["initialized"], 0);
    EXPECT_EQ((*done)["ok"], false);
}

// pcscd stops and starts again while the first token waits to be taken out; the token comes back
// with the service (as a token left in the reader does). It is not initialized again; once it is
// out, the next token is.
TEST_F(CliRunThroughPcscd, ServiceRestartInTheRemovalWaitDoesNotInitializeTheSameTokenAgain) {
    struct ServiceBack {
        ~ServiceBack() { VirtualToken::RunSandbox({"start-daemon", VirtualToken::SandboxDir()}); }
    } back;
    VirtualToken tokenA, tokenB;
    const auto optionsA = VirtualTokenOptions().Apps("none").CardId(kCardA);
    ASSERT_TRUE(tokenA.Insert(optionsA)) << tokenA.Error();
    CliProcess cli;
    ASSERT_TRUE(cli.Start(Init(VirtualToken::ReaderName(0), "2"), environment));
    const std::optional<json> first = NextEvent(cli, "result");
    ASSERT_TRUE(first && (*first)["ok"] == true) << cli.Output();

    std::string error;
    ASSERT_TRUE(VirtualToken::StopDaemon(&error)) << error;
    ASSERT_TRUE(NextEvent(cli, "notice")) << "the service away was not told: " << cli.Output();
    ASSERT_TRUE(tokenA.WaitExit(3000)) << "token A outlived pcscd";
    tokenA.ClearTrace();
    ASSERT_TRUE(VirtualToken::StartDaemon(&error)) << error;
    ASSERT_TRUE(tokenA.Insert(optionsA)) << tokenA.Error();
    // The run compares the token it finds with the last one (it asks for the card number).
    for (int i = 0; i < 200 && tokenA.Apdus().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(tokenA.Apdus().empty()) << "the run never looked at the token again";
    ASSERT_TRUE(tokenA.Remove()) << tokenA.Error();
    ASSERT_TRUE(NextEvent(cli, "waiting")) << cli.Output();
    ASSERT_TRUE(tokenB.Insert(VirtualTokenOptions().Apps("none").CardId(kCardB))) << tokenB.Error();
    const std::optional<json> second = NextEvent(cli, "result");
    EXPECT_EQ(cli.Wait(), 0) << cli.Errors();
    ASSERT_TRUE(tokenB.Remove()) << tokenB.Error();

    ASSERT_TRUE(second) << cli.Output();
    EXPECT_EQ((*second)["card"], "1817161514131211") << "the second result is token B's";
    for (const TracedApdu& apdu : tokenA.Apdus())
        EXPECT_EQ(apdu.command, "80F6000008") << "token A was attempted again";
    const std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("#0807060504030201 SUCCESS"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("#1817161514131211 SUCCESS"), std::string::npos) << log[1];
}

// A token that leaves the reader early in the attempt (it ends as the command after its last
// answered one arrives): the result and the log line say it is gone, never that it lacks
// something, and the run waits for the next token.
TEST_F(CliRunThroughPcscd, TokenGoneEarlyInTheAttemptIsToldAsGone) {
    // Commands answered before it goes: the card number at connect, SELECT MF, the global PIN
    // check, and the clean-up up to the MF code.
    for (const int answered : {0, 1, 2, 10}) {
        SCOPED_TRACE("gone after " + std::to_string(answered) + " commands");
        const std::size_t logged = LogLines().size();
        VirtualToken token;
        ASSERT_TRUE(
            token.Insert(VirtualTokenOptions().Apps("none").CardId(kCardA).VanishAfter(answered)))
            << token.Error();
        CliProcess cli;
        ASSERT_TRUE(cli.Start(Init(VirtualToken::ReaderName(0), "1"), environment));
        const std::optional<json> result = NextEvent(cli, "result");
        ASSERT_TRUE(result) << cli.Output();
        const std::string message = (*result)["message"];
        EXPECT_EQ((*result)["ok"], false) << result->dump();
        EXPECT_NE(message.find("извлечена"), std::string::npos) << result->dump();
        EXPECT_NE(message.find("Вставьте её"), std::string::npos) << message;
        EXPECT_EQ(message.find("не поддерживает"), std::string::npos) << message;
        EXPECT_TRUE(NextEvent(cli, "waiting")) << "the run waits for the next token";
        ::kill(cli.Pid(), SIGTERM);
        EXPECT_EQ(cli.Wait(), kExitInterrupted) << cli.Errors();

        const std::vector<std::string> log = LogLines();
        ASSERT_EQ(log.size(), logged + 1);
        EXPECT_NE(log.back().find("ERROR: " + message), std::string::npos) << log.back();
        EXPECT_TRUE(token.WaitExit(3000));
    }
}

} // namespace
