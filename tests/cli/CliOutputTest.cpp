// The orvane-cli executable with a standard output that cannot be written (/dev/full: every write
// fails as on a full disk): whatever the command, it says so on standard error in Russian and
// ends with the output's own exit code instead of success.

#include "CliProcess.h"
#include "cli/Console.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Standard error without the one line that says the system journal is not there (a machine
// without journald, as a test machine may be): what the command itself said.
std::string WithoutJournalNotice(const std::string& errors) {
    std::string kept;
    std::size_t start = 0;
    while (start < errors.size()) {
        std::size_t end = errors.find('\n', start);
        end = end == std::string::npos ? errors.size() : end + 1;
        const std::string line = errors.substr(start, end - start);
        if (line.find("Системный журнал недоступен") == std::string::npos)
            kept += line;
        start = end;
    }
    return kept;
}

namespace fs = std::filesystem;

const std::string kNotWritten = "Вывод команды не записан в стандартный вывод: нет места на "
                                "устройстве";

struct Folder {
    fs::path path = fs::temp_directory_path() / ("orvane-cli-output-" + std::to_string(::getpid()));
    Folder() { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
    std::string Key() const {
        const std::string file = (path / "admin.key").string();
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < 16; ++i)
            out << static_cast<char>(0xA0 + i);
        out.close();
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
        return file;
    }
};

struct FullCase {
    const char* name;
    std::vector<std::string> arguments; // "KEY": a key file, "NEW": a new key's name
    bool json = false;
};
void PrintTo(const FullCase& c, std::ostream* os) {
    *os << c.name;
}

class CliOutputFull : public ::testing::TestWithParam<FullCase> {};

TEST_P(CliOutputFull, FailsWithItsCodeAndSaysWhy) {
    const FullCase& c = GetParam();
    Folder folder;
    const std::string key = folder.Key();
    std::vector<std::string> arguments;
    if (c.json)
        arguments.push_back("--json");
    for (const std::string& a : c.arguments)
        arguments.push_back(a == "KEY" ? key : a == "NEW" ? (folder.path / "new").string() : a);
    CliProcess cli;
    cli.SendOutputTo("/dev/full");
    ASSERT_TRUE(cli.Start(arguments));
    EXPECT_EQ(cli.Wait(), kExitOutput) << cli.Errors();
    const std::string errors = WithoutJournalNotice(cli.Errors());
    if (c.json) {
        const nlohmann::json refusal = nlohmann::json::parse(errors, nullptr, false);
        ASSERT_FALSE(refusal.is_discarded()) << errors;
        EXPECT_EQ(refusal["event"], "error");
        EXPECT_EQ(refusal["message"], kNotWritten);
    } else {
        EXPECT_EQ(errors, kNotWritten + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliOutputFull,
    ::testing::Values(FullCase{"Response", {"response", "--key", "KEY", "0123456789ABCDEF"}},
                      FullCase{
                          "ResponseJson", {"response", "--key", "KEY", "0123456789ABCDEF"}, true},
                      FullCase{"Kcv", {"kcv", "KEY"}}, FullCase{"KcvJson", {"kcv", "KEY"}, true},
                      FullCase{"Keygen", {"keygen", "NEW"}}, FullCase{"Help", {"--help"}},
                      FullCase{"Version", {"--version"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The same commands with a writable output still succeed: the check is on the writes, not on
// the kind of file.
TEST(CliOutput, WritableOutputSucceeds) {
    Folder folder;
    std::string out, err;
    EXPECT_EQ(CliProcess::Run({"kcv", folder.Key()}, {}, "", out, err), kExitSuccess) << err;
    EXPECT_NE(out.find("KCV: "), std::string::npos) << out;
    EXPECT_TRUE(WithoutJournalNotice(err).empty()) << err;
}

} // namespace
