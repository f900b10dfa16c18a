// reset-pin on a reader that is not free, through the real pcscd with virtual tokens: a reader
// another initialization or PIN reset of the user holds is refused at once and its token gets
// nothing, while another reader is served; a token another program keeps in a PC/SC transaction
// is given up after the connect's time limit, and a stop signal during that wait ends the
// command at once.

#include "CliProcess.h"
#include "CliTestKit.h"
#include "VirtualToken.h"
#include "card/PcscApi.h"
#include "engine/ReaderLock.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

namespace {

const vtoken::Bytes kPinBytes{'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
const vtoken::Bytes kNewPinBytes{'5', '6', '7', '8', 0xFF, 0xFF, 0xFF, 0xFF};

// Another program that holds the token in a transaction until it goes.
class TransactionHolder {
public:
    explicit TransactionHolder(const std::string& reader) {
        pcsc::DWORD protocol = 0;
        began_ = api_.EstablishContext(pcsc::kScopeUser, &context_) == 0 &&
                 api_.Connect(context_, reader.c_str(), pcsc::kShareShared,
                              pcsc::kProtocolT0 | pcsc::kProtocolT1, &card_, &protocol) == 0 &&
                 api_.BeginTransaction(card_) == 0;
    }
    ~TransactionHolder() {
        if (began_)
            api_.EndTransaction(card_, pcsc::kLeaveCard);
        if (card_ != 0)
            api_.Disconnect(card_, pcsc::kLeaveCard);
        if (context_ != 0)
            api_.ReleaseContext(context_);
    }
    bool Began() const { return began_; }

private:
    pcsc::Api& api_ = pcsc::RealApi();
    pcsc::SCARDCONTEXT context_ = 0;
    pcsc::SCARDHANDLE card_ = 0;
    bool began_ = false;
};

class BusyReader : public ::testing::Test {
protected:
    void SetUp() override {
        // The locks of this test live in a runtime folder of its own, which the child inherits.
        ASSERT_TRUE(runtime.dir.isValid());
        for (VirtualToken* token : {&tokenA, &tokenB}) {
            const int slot = token == &tokenA ? 0 : 1;
            ASSERT_TRUE(token->Insert(VirtualTokenOptions().Apps("none").Slot(slot)))
                << token->Error();
            std::string out, err;
            ASSERT_EQ(CliProcess::Run({"init", "--reader", token->ReaderName(), "--pin-file",
                                       pinFile, "--key", keyFile},
                                      environment, "", out, err),
                      0)
                << err;
        }
    }

    std::vector<std::string> ResetPin(const std::string& reader, bool json = true) const {
        std::vector<std::string> arguments{"reset-pin", "--reader",      reader,   "--key",
                                           keyFile,     "--new-pin-env", "NEW_PIN"};
        if (json)
            arguments.insert(arguments.begin(), "--json");
        return arguments;
    }
    vtoken::Bytes PinOf(VirtualToken& token) {
        const auto state = token.State();
        return state ? state->pin.value : vtoken::Bytes{};
    }
    // Waits until a process has taken the reader: the lock file names its holder.
    // Until the reader's lock file names `holder` (an earlier run's number may still stand there).
    bool WaitUntilTaken(const std::string& reader, pid_t holderPid) {
        const std::string path = runtime.Path() + "/orvane/readers/" + ReaderLockFileName(reader);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            std::ifstream file(path);
            std::string holder;
            if (std::getline(file, holder) && holder == std::to_string(holderPid))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    clikit::PrivateRuntimeFolder runtime;
    clikit::Files files;
    QTemporaryDir dataHome;
    std::string keyFile = files.Write("admin.key", clikit::KeyBytes());
    std::string pinFile = files.Write("pin.txt", "1234\n");
    std::vector<std::pair<std::string, std::string>> environment{
        {"XDG_DATA_HOME", dataHome.path().toStdString()}, {"NEW_PIN", "5678"}};
    VirtualToken tokenA, tokenB;
};

TEST_F(BusyReader, HeldReaderIsRefusedAtOnceWhileAnotherReaderIsServed) {
    const std::string readerA = tokenA.ReaderName();
    std::optional<ReaderLock> held = ReaderLock::Take(readerA);
    ASSERT_TRUE(held);
    tokenA.ClearTrace();

    std::string out, err;
    EXPECT_EQ(CliProcess::Run(ResetPin(readerA), environment, "", out, err), 5) << out << err;
    const nlohmann::json refused = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(refused.is_discarded()) << out;
    EXPECT_EQ(refused["event"], "error");
    EXPECT_EQ(refused["ok"], false);
    EXPECT_EQ(refused["message"], ReaderHeldMessage(readerA));
    EXPECT_EQ(CliProcess::Run(ResetPin(readerA, false), environment, "", out, err), 5);
    // Where the machine has no system journal, its one notice comes first.
    const std::string journalAway = "Системный журнал недоступен";
    if (err.rfind(journalAway, 0) == 0)
        err.erase(0, err.find('\n') + 1);
    EXPECT_EQ(err, ReaderHeldMessage(readerA) + "\n");
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_TRUE(tokenA.Apdus().empty()) << "a command reached the held reader's token";
    EXPECT_EQ(PinOf(tokenA), kPinBytes);

    // The other reader is served meanwhile.
    EXPECT_EQ(CliProcess::Run(ResetPin(tokenB.ReaderName()), environment, "", out, err), 0) << err;
    EXPECT_EQ(PinOf(tokenB), kNewPinBytes);

    held.reset();
    EXPECT_EQ(CliProcess::Run(ResetPin(readerA), environment, "", out, err), 0) << out << err;
    EXPECT_EQ(PinOf(tokenA), kNewPinBytes);
}

struct WaitCase {
    const char* name;
    int signal; // sent while the connect waits; 0: none, the time limit ends the wait
    int exitCode;
    std::string message; // empty: the time limit's, which names the reader
};
void PrintTo(const WaitCase& c, std::ostream* os) {
    *os << c.name;
}

class TransactionElsewhere : public BusyReader, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(TransactionElsewhere, ConnectWaitEndsWithoutReachingTheToken) {
    const WaitCase& c = GetParam();
    const std::string reader = tokenA.ReaderName();
    {
        TransactionHolder other(reader);
        ASSERT_TRUE(other.Began());
        tokenA.ClearTrace();
        CliProcess cli;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(cli.Start(ResetPin(reader), environment));
        if (c.signal != 0) {
            ASSERT_TRUE(WaitUntilTaken(reader, cli.Pid())) << "reset-pin never took the reader";
            ::kill(cli.Pid(), c.signal);
        }
        EXPECT_EQ(cli.Wait(20000), c.exitCode) << cli.Output() << cli.Errors();
        const auto waited = std::chrono::steady_clock::now() - start;
        if (c.signal == 0) {
            EXPECT_GE(waited, std::chrono::milliseconds(4900)) << "gave up before its time";
        }
        const nlohmann::json ended = nlohmann::json::parse(cli.Output(), nullptr, false);
        ASSERT_FALSE(ended.is_discarded()) << cli.Output();
        EXPECT_EQ(ended["event"], "reset-pin");
        EXPECT_EQ(ended["step"], "connect");
        EXPECT_EQ(ended["ok"], false);
        EXPECT_EQ(ended["message"], !c.message.empty()
                                        ? c.message
                                        : "Смарт-карта в устройстве «" + reader +
                                              "» занята другой программой: подключиться к ней "
                                              "не удалось за 5 с. ПИН-код не изменён");
    }
    EXPECT_TRUE(tokenA.Apdus().empty()) << "a command reached the token";
    EXPECT_EQ(PinOf(tokenA), kPinBytes);

    // Neither the reader nor pcscd stays taken by the command that gave up. pcscd may still
    // finish the connect the ended command had asked for once the transaction is over, and lets
    // it go when it notices the command is gone: a later reset succeeds within a few seconds.
    std::string out, err;
    int code = -1;
    for (int i = 0; i < 25 && code != 0; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        code = CliProcess::Run(ResetPin(reader), environment, "", out, err);
    }
    EXPECT_EQ(code, 0) << out << err;
    EXPECT_EQ(PinOf(tokenA), kNewPinBytes);
}

const std::string kInterrupted =
    "Смена ПИН-кода прервана до подключения к смарт-карте: ПИН-код не изменён";

INSTANTIATE_TEST_SUITE_P(Endings, TransactionElsewhere,
                         ::testing::Values(WaitCase{"TimeLimit", 0, 5, ""},
                                           WaitCase{"CtrlC", SIGINT, 130, kInterrupted},
                                           WaitCase{"Sigterm", SIGTERM, 130, kInterrupted}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
