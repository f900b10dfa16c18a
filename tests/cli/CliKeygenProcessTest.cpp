// The orvane-cli executable making new keys: a plain file as before, a file protected by a
// passphrase, shares for M of N custodians (plain, under one passphrase or under one each). What
// it writes opens again with kcv and response of the same executable to the KCV it reported; no
// file holds the key in clear; a refused passphrase or split writes nothing.

#include "CliProcess.h"
#include "cli/Console.h"
#include "engine/ChallengeResponse.h"
#include "engine/KeyLoader.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Environment = std::vector<std::pair<std::string, std::string>>;

const Environment kEnvironment = {{"PASS", "парольная фраза парка"},
                                  {"ONE", "первый хранитель"},
                                  {"TWO", "второй хранитель"},
                                  {"SHORT", "коротко"}};

struct Folder {
    fs::path path = fs::temp_directory_path() / ("orvane-keygen-" + std::to_string(::getpid()));
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

struct KeygenCase {
    const char* name;
    std::vector<std::string> options; // after "keygen NAME"
    int exitCode;
    std::vector<std::string> files; // the files written, sorted
    std::size_t fileSize; // 16 plain, 72 a share, 126 a protected key, 182 a protected share
    // kcv of the new key: the files given (the first M) and the passphrase options.
    std::vector<std::string> reopen;
    std::string refusal; // on standard error when refused
};
void PrintTo(const KeygenCase& c, std::ostream* os) {
    *os << c.name;
}

class NewKey : public ::testing::TestWithParam<KeygenCase> {};

TEST_P(NewKey, IsWrittenAsAskedAndOpensAgainToItsKcv) {
    const KeygenCase& c = GetParam();
    Folder folder;
    std::ofstream(folder / "pass.txt") << "парольная фраза парка\n";
    std::vector<std::string> arguments = {"--json", "keygen", folder / "fleet"};
    for (const std::string& option : c.options)
        arguments.push_back(option == "pass.txt" ? folder / option : option);
    std::string out, err;
    ASSERT_EQ(CliProcess::Run(arguments, kEnvironment, "", out, err), c.exitCode) << out << err;
    std::vector<std::string> expected = c.files;
    expected.push_back("pass.txt");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folder.Names(), expected) << "files written or left behind";
    if (c.exitCode != kExitSuccess) {
        EXPECT_NE(out.find(c.refusal), std::string::npos) << out; // --json: an "error" event
        return;
    }
    for (const std::string& file : c.files) {
        EXPECT_EQ(fs::file_size(folder / file), c.fileSize) << file;
        struct stat st {};
        ASSERT_EQ(::stat((folder / file).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
    }
    const nlohmann::json made = nlohmann::json::parse(out);
    EXPECT_EQ(made["event"], "keygen");
    for (const char* word : {"первый", "второй", "парольная"})
        EXPECT_EQ(out.find(word), std::string::npos) << "a passphrase in the output";

    std::vector<std::string> kcv = {"--json", "kcv"};
    for (const std::string& option : c.reopen)
        kcv.push_back(option.find(".key") != std::string::npos ||
                              option.find(".txt") != std::string::npos
                          ? folder / option
                          : option);
    std::string kcvOut, kcvErr;
    ASSERT_EQ(CliProcess::Run(kcv, kEnvironment, "", kcvOut, kcvErr), kExitSuccess) << kcvErr;
    EXPECT_EQ(nlohmann::json::parse(kcvOut)["kcv"], made["kcv"]);

    // The key itself, opened here: in no file of the folder.
    KeyLoader loader;
    for (std::size_t i = 2; i < kcv.size() && kcv[i].rfind("--", 0) != 0; ++i)
        ASSERT_EQ(loader.Add(kcv[i]), KeyProblem::None) << loader.ProblemText();
    // The passphrases the kcv options name, in their order.
    std::vector<std::string> passphrases;
    for (std::size_t i = 3; i < kcv.size(); ++i) {
        if (kcv[i - 1] == "--passphrase-file")
            passphrases.push_back("парольная фраза парка");
        for (const auto& [name, value] : kEnvironment)
            if (kcv[i - 1] == "--passphrase-env" && kcv[i] == name)
                passphrases.push_back(value);
    }
    for (std::size_t k = 0; const std::optional<std::size_t> locked = loader.NextLocked(); ++k)
        ASSERT_EQ(loader.Unlock(*locked, passphrases.at(passphrases.size() == 1 ? 0 : k)),
                  KeyProblem::None);
    UnblockKeyBytes key{};
    ASSERT_EQ(loader.Assemble(key), KeyProblem::None) << loader.ProblemText();
    EXPECT_EQ(KeyCheckValue(key), made["kcv"]);
    for (const std::string& file : c.fileSize == 16 ? std::vector<std::string>{} : folder.Names()) {
        std::ifstream in(folder / file, std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(bytes.find(std::string(key.begin(), key.end())), std::string::npos)
            << file << " holds the key in clear";
    }
    if (c.files.size() > 1 && c.name != std::string("SharesUnderEachCustodianSPassphrase")) {
        // The response of the shares, as the key itself gives it.
        const std::string challenge = "C2 E0 CB EC 48 BF D3 83";
        std::vector<std::string> response = {"response"};
        for (std::size_t i = 2; i < kcv.size(); ++i) {
            // A share file becomes "--key FILE"; the passphrase options stay as they are.
            const bool option = kcv[i].rfind("--", 0) == 0 || kcv[i - 1].rfind("--", 0) == 0;
            if (!option)
                response.push_back("--key");
            response.push_back(kcv[i]);
        }
        response.push_back(challenge);
        std::string responseOut, responseErr;
        ASSERT_EQ(CliProcess::Run(response, kEnvironment, "", responseOut, responseErr),
                  kExitSuccess)
            << responseErr;
        EXPECT_EQ(responseOut, ComputeResponse(key, challenge) + "\n");
    }
}

const std::vector<std::string> kThree = {"fleet-1-of-3.key", "fleet-2-of-3.key",
                                         "fleet-3-of-3.key"};

INSTANTIATE_TEST_SUITE_P(
    Cli, NewKey,
    ::testing::Values(
        KeygenCase{"Plain", {}, kExitSuccess, {"fleet.key"}, 16, {"fleet.key"}, ""},
        KeygenCase{"ProtectedFromVariable",
                   {"--passphrase-env", "PASS"},
                   kExitSuccess,
                   {"fleet.key"},
                   126,
                   {"fleet.key", "--passphrase-file", "pass.txt"},
                   ""},
        KeygenCase{"PlainShares",
                   {"--split", "2/3"},
                   kExitSuccess,
                   kThree,
                   72,
                   {"fleet-3-of-3.key", "fleet-1-of-3.key"},
                   ""},
        KeygenCase{"SharesUnderOnePassphrase",
                   {"--split", "2/3", "--passphrase-file", "pass.txt"},
                   kExitSuccess,
                   kThree,
                   182,
                   {"fleet-2-of-3.key", "fleet-3-of-3.key", "--passphrase-env", "PASS"},
                   ""},
        KeygenCase{"SharesUnderEachCustodianSPassphrase",
                   {"--split", "2/2", "--passphrase-env", "ONE", "--passphrase-env", "TWO"},
                   kExitSuccess,
                   {"fleet-1-of-2.key", "fleet-2-of-2.key"},
                   182,
                   {"fleet-2-of-2.key", "fleet-1-of-2.key", "--passphrase-env", "TWO",
                    "--passphrase-env", "ONE"},
                   ""},
        KeygenCase{"ShortPassphrase",
                   {"--passphrase-env", "SHORT"},
                   kExitUsage,
                   {},
                   0,
                   {},
                   "Парольная фраза не принята: она короче 8 символов"},
        KeygenCase{"OneOfThree", {"--split", "1/3"}, kExitUsage, {}, 0, {}, "--split: укажите M/N"},
        KeygenCase{"MoreThanMade", {"--split", "4/3"}, kExitUsage, {}, 0, {}, "--split"},
        KeygenCase{"TenShares", {"--split", "2/10"}, kExitUsage, {}, 0, {}, "--split"},
        KeygenCase{"TwoPassphrasesForThreeShares",
                   {"--split", "2/3", "--passphrase-env", "ONE", "--passphrase-env", "TWO"},
                   kExitUsage,
                   {},
                   0,
                   {},
                   "по одной на каждый (их 3)"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
