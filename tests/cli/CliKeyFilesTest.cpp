// orvane-cli with protected key files and shares: kcv and response open them with the passphrase
// from a file, a variable, standard input or a terminal (asked again after a typo, three times at
// most), take M share files, and refuse every file or passphrase that does not fit with exit code
// 4 (2 for the command line itself), never showing a key or a passphrase.

#include "CliTestKit.h"

#include "engine/ChallengeResponse.h"
#include "engine/KeyCheck.h"
#include "engine/KeyFile.h"
#include "engine/KeyLoader.h"
#include "support/RecordingAuditJournal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

using namespace clikit;

namespace {

constexpr passphrase::Cost kCheap{1, 64};
const std::string kPassphrase = "ключ парка 2026";
const std::string kChallenge = "C2 E0 CB EC 48 BF D3 83";

UnblockKeyBytes Key() {
    UnblockKeyBytes key{};
    const std::string bytes = KeyBytes();
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

struct OpenCase {
    const char* name;
    std::vector<std::string> arguments; // file names are relative to the test's folder
    std::string input;
    bool terminal;
    int exitCode;
    std::string message; // in standard output on success, in standard error otherwise
    int wrongPassphraseNotices = 0;
};
void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

class ProtectedAndShared : public ::testing::TestWithParam<OpenCase> {
protected:
    RecordingAuditJournal journal;
    Files files;
    Cli cli;

    void SetUp() override {
        const UnblockKeyBytes key = Key();
        ASSERT_TRUE(WriteProtectedKeyFile(files.Path("fleet.key"), key, kPassphrase, kCheap));
        const std::string one = "хранитель один", two = "хранитель два", three = "хранитель три";
        ASSERT_TRUE(WriteKeyShares(files.Path("s"), key, 2, 3, {&one, &two, &three}, kCheap).ok);
        ASSERT_TRUE(WriteKeyShares(files.Path("t"), key, 2, 3, {}).ok);
        files.Write("pass.txt", kPassphrase + "\n");
        files.Write("wrong.txt", "не та фраза\n");
        cli.environment = {{"PASS", kPassphrase}, {"P1", one}, {"P2", two}, {"P3", three}};
    }

    std::vector<std::string> Arguments(const OpenCase& c) const {
        std::vector<std::string> arguments;
        for (const std::string& argument : c.arguments)
            arguments.push_back(argument.find(".key") != std::string::npos ||
                                        argument.find(".txt") != std::string::npos
                                    ? files.Path(argument)
                                    : argument);
        return arguments;
    }
};

TEST_P(ProtectedAndShared, OpensWithItsPassphrasesAndSharesOrSaysWhy) {
    const OpenCase& c = GetParam();
    Terminal terminal;
    if (c.terminal) {
        ASSERT_GE(terminal.slave, 0);
        cli.inDescriptor = terminal.slave;
    }
    const CliRun run = cli.Run(Arguments(c), c.input);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    const std::string& shown = c.exitCode == kExitSuccess ? run.out : run.err;
    EXPECT_NE(shown.find(c.message), std::string::npos) << run.out << run.err;
    std::size_t notices = 0;
    for (std::size_t at = 0;
         (at = run.err.find("Неверная парольная фраза", at)) != std::string::npos; ++at)
        ++notices;
    EXPECT_EQ(notices, static_cast<std::size_t>(c.wrongPassphraseNotices)) << run.err;
    const std::string key = KeyBytes();
    ExpectNoSecret(run.out + run.err, {key, kPassphrase, "хранитель один", "хранитель три"});
}

const std::string kKcv = "KCV: " + KeyCheckValue(Key());
const std::string kResponse = ComputeResponse(Key(), kChallenge);

INSTANTIATE_TEST_SUITE_P(
    Cli, ProtectedAndShared,
    ::testing::Values(
        OpenCase{"PassphraseFromFile",
                 {"kcv", "fleet.key", "--passphrase-file", "pass.txt"},
                 "",
                 false,
                 kExitSuccess,
                 kKcv},
        OpenCase{"PassphraseFromVariable",
                 {"kcv", "fleet.key", "--passphrase-env", "PASS"},
                 "",
                 false,
                 kExitSuccess,
                 kKcv},
        OpenCase{"PassphraseFromStandardInput",
                 {"kcv", "fleet.key"},
                 kPassphrase + "\n",
                 false,
                 kExitSuccess,
                 kKcv},
        OpenCase{"PassphraseTypedAfterATypo",
                 {"kcv", "fleet.key"},
                 "ключ парка\n" + kPassphrase + "\n",
                 true,
                 kExitSuccess,
                 kKcv,
                 1},
        OpenCase{"ThreeTyposAtTheTerminal",
                 {"kcv", "fleet.key"},
                 "a\nb\nc\n" + kPassphrase + "\n",
                 true,
                 kExitKeyFile,
                 "fleet.key: Неверная парольная фраза. Ключ не загружен",
                 3},
        OpenCase{"WrongPassphraseFromFileIsNotAskedAgain",
                 {"kcv", "fleet.key", "--passphrase-file", "wrong.txt"},
                 kPassphrase + "\n",
                 false,
                 kExitKeyFile,
                 "fleet.key: Неверная парольная фраза",
                 1},
        OpenCase{"MissingVariable",
                 {"kcv", "fleet.key", "--passphrase-env", "NONE"},
                 "",
                 false,
                 kExitUsage,
                 "Парольная фраза не прочитана: переменная окружения NONE не задана"},
        OpenCase{"PassphraseAsArgumentValue",
                 {"kcv", "fleet.key", "--passphrase", kPassphrase},
                 "",
                 false,
                 kExitUsage,
                 "Парольная фраза не принимается в командной строке"},
        OpenCase{
            "PlainShares", {"kcv", "t-3-of-3.key", "t-1-of-3.key"}, "", false, kExitSuccess, kKcv},
        OpenCase{"AllThreeShares",
                 {"kcv", "t-3-of-3.key", "t-1-of-3.key", "t-2-of-3.key"},
                 "",
                 false,
                 kExitSuccess,
                 kKcv},
        OpenCase{"EachCustodianSPassphrase",
                 {"kcv", "s-3-of-3.key", "s-1-of-3.key", "--passphrase-env", "P3",
                  "--passphrase-env", "P1"},
                 "",
                 false,
                 kExitSuccess,
                 kKcv},
        OpenCase{"CustodiansTypeAtTheTerminal",
                 {"kcv", "s-2-of-3.key", "s-1-of-3.key"},
                 "хранитель два\nхранитель один\n",
                 true,
                 kExitSuccess,
                 kKcv},
        OpenCase{"CustodianPassphrasesInTheWrongOrder",
                 {"kcv", "s-3-of-3.key", "s-1-of-3.key", "--passphrase-env", "P1",
                  "--passphrase-env", "P3"},
                 "",
                 false,
                 kExitKeyFile,
                 "s-3-of-3.key: Неверная парольная фраза",
                 1},
        OpenCase{"MorePassphrasesThanFiles",
                 {"kcv", "s-3-of-3.key", "s-1-of-3.key", "--passphrase-env", "P1",
                  "--passphrase-env", "P2", "--passphrase-env", "P3"},
                 "",
                 false,
                 kExitUsage,
                 "по одной на каждый (их 2)"},
        OpenCase{"OneShare",
                 {"kcv", "t-2-of-3.key"},
                 "",
                 false,
                 kExitKeyFile,
                 "Недостаточно долей ключа: указано 1, а для восстановления нужно 2 из 3"},
        OpenCase{"SharesOfTwoSplits",
                 {"kcv", "t-1-of-3.key", "s-2-of-3.key"},
                 "хранитель два\n",
                 false,
                 kExitKeyFile,
                 "s-2-of-3.key: доля другого ключа"},
        OpenCase{"TheSameShareTwice",
                 {"kcv", "t-1-of-3.key", "t-1-of-3.key"},
                 "",
                 false,
                 kExitKeyFile,
                 "t-1-of-3.key: та же доля"},
        OpenCase{"ResponseFromShares",
                 {"response", "--key", "t-1-of-3.key", "--key", "t-2-of-3.key", kChallenge},
                 "",
                 false,
                 kExitSuccess,
                 kResponse},
        OpenCase{"ResponseFromAProtectedFile",
                 {"response", "--key", "fleet.key", "--passphrase-file", "-"},
                 kChallenge + "\n" + kPassphrase + "\n",
                 false,
                 kExitSuccess,
                 kResponse}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A new protected key typed at a terminal ----------------------------------------------

struct TypedNewCase {
    const char* name;
    std::string typed; // the passphrase and its repetition
    int exitCode;
    std::string message;
};
void PrintTo(const TypedNewCase& c, std::ostream* os) {
    *os << c.name;
}

class TypedNewPassphrase : public ::testing::TestWithParam<TypedNewCase> {};

TEST_P(TypedNewPassphrase, IsAskedTwiceAndWrittenOnlyWhenBothAgree) {
    const TypedNewCase& c = GetParam();
    RecordingAuditJournal journal;
    Files files;
    Cli cli;
    Terminal terminal;
    ASSERT_GE(terminal.slave, 0);
    cli.inDescriptor = terminal.slave;
    const CliRun run = cli.Run({"keygen", files.Path("fleet"), "--passphrase-file", "-"}, c.typed);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << run.out << run.err;
    EXPECT_NE(run.err.find("Повторите парольную фразу: "), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("длинная фраза"), std::string::npos);
    EXPECT_EQ(run.err.find("длинная фраза"), std::string::npos);
    if (c.exitCode != kExitSuccess) {
        EXPECT_FALSE(std::filesystem::exists(files.Path("fleet.key")));
        return;
    }
    KeyLoader loader;
    ASSERT_EQ(loader.Add(files.Path("fleet.key")), KeyProblem::None);
    EXPECT_EQ(loader.Unlock(0, "длинная фраза"), KeyProblem::None);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, TypedNewPassphrase,
    ::testing::Values(TypedNewCase{"BothAgree", "длинная фраза\nдлинная фраза\n", kExitSuccess,
                                   "(защищён парольной фразой)"},
                      TypedNewCase{"RepetitionDiffers", "длинная фраза\nдлинная фраз\n", kExitUsage,
                                   "Парольная фраза не принята: парольные фразы не совпадают"},
                      TypedNewCase{"TooShort", "коротко\nкоротко\n", kExitUsage,
                                   "она короче 8 символов"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
