#pragma once
// orvane-cli run in the test's own process: its arguments, standard input, environment and
// streams are the test's, its waits call back into the test instead of sleeping, and the day's
// log goes to a folder of the test's own with a fixed clock.

#include "cli/CommandLine.h"
#include "engine/InitLog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace clikit {

// The log folder of the test, a fixed clock and Russian regional settings.
struct TestLog : IInitLogEnvironment {
    QTemporaryDir dir;
    TestLog() { SetInitLogEnvironment(this); }
    ~TestLog() override { SetInitLogEnvironment(nullptr); }
    DateTimeFields Now() const override { return {2026, 12, 7, 14, 3, 27}; }
    std::string DataFolder() const override { return dir.path().toStdString(); }
    std::string TimeLocale() const override { return "ru_RU.UTF-8"; }
    // The lines of the day's file, split at CR LF.
    std::vector<std::string> Lines() const {
        QFile file(dir.path() + "/Velmar/Orvane/Orvane_07.12.2026.log");
        std::vector<std::string> lines;
        if (!file.open(QIODevice::ReadOnly))
            return lines;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty())
                lines.push_back(line.endsWith('\r') ? line.chopped(1).toStdString()
                                                    : line.toStdString() + "<no CR>");
        return lines;
    }
};

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;

    // Every line of standard output parsed as JSON (a line that is none fails the test).
    std::vector<nlohmann::json> JsonLines() const {
        std::vector<nlohmann::json> lines;
        std::istringstream stream(out);
        for (std::string line; std::getline(stream, line);) {
            nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
            EXPECT_FALSE(parsed.is_discarded()) << line;
            lines.push_back(parsed);
        }
        return lines;
    }
};

// Runs orvane-cli in this process.
struct Cli {
    std::map<std::string, std::string> environment;
    // Called at every wait of the command; `waits` counts them. After `waitLimit` waits the
    // command is asked to stop (and the test fails): it has lost its way.
    std::function<void(int waits)> onWait;
    int waits = 0;
    int waitLimit = 2000;
    volatile std::sig_atomic_t stop = 0;
    // The descriptor standing for standard input (a terminal's, to be asked as a person is).
    int inDescriptor = -1;

    CliRun Run(const std::vector<std::string>& arguments, const std::string& input = "") {
        std::istringstream in(input);
        std::ostringstream out, err;
        Console console{
            in,
            out,
            err,
            inDescriptor,
            [this](const std::string& name) -> char* {
                auto found = environment.find(name);
                return found == environment.end() ? nullptr : found->second.data();
            },
            [this](int) {
                ++waits;
                if (waits == waitLimit) {
                    ADD_FAILURE() << "the command kept waiting; stopping it";
                    stop = 1;
                }
                if (onWait)
                    onWait(waits);
            },
            &stop,
        };
        CliRun run;
        run.exitCode = RunCommandLine(arguments, console);
        run.out = out.str();
        run.err = err.str();
        return run;
    }
};

// A runtime folder of the test's own for as long as it lives ($XDG_RUNTIME_DIR, inherited by the
// programs it starts): the reader locks it takes never meet another test's or the user's.
struct PrivateRuntimeFolder {
    QTemporaryDir dir;
    std::optional<std::string> saved;
    PrivateRuntimeFolder() {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            saved = old;
        ::setenv("XDG_RUNTIME_DIR", dir.path().toStdString().c_str(), 1);
    }
    ~PrivateRuntimeFolder() {
        if (saved)
            ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }
    std::string Path() const { return dir.path().toStdString(); }
};

// A folder for key files and secrets.
struct Files {
    QTemporaryDir dir;
    std::string Path(const std::string& name) const {
        return dir.path().toStdString() + "/" + name;
    }
    // Writes `bytes` to `name` with `mode`; answers the path.
    std::string Write(const std::string& name, const std::string& bytes, mode_t mode = 0600) {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << bytes;
        ::chmod(path.c_str(), mode);
        return path;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// The test's own terminal (a pseudo-terminal), standing for the standard input a person types at.
struct Terminal {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    int slave = -1;
    Terminal() {
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    }
    ~Terminal() {
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
    }
};

// The 16 key bytes 0xA0..0xAF, as a key file holds them.
inline std::string KeyBytes(unsigned char first = 0xA0) {
    std::string key;
    for (int i = 0; i < 16; ++i)
        key += static_cast<char>(first + i);
    return key;
}

// Every way `secret` could appear in output: as text, as upper- and lower-case hexadecimal, with
// and without blanks between the pairs.
inline std::vector<std::string> Spellings(const std::string& secret) {
    static const char upper[] = "0123456789ABCDEF", lower[] = "0123456789abcdef";
    std::vector<std::string> forms{secret};
    for (const char* digits : {upper, lower}) {
        std::string joined, spaced;
        for (unsigned char c : secret) {
            joined += {digits[c >> 4], digits[c & 0x0F]};
            spaced += std::string(spaced.empty() ? "" : " ") + digits[c >> 4] + digits[c & 0x0F];
        }
        forms.push_back(joined);
        forms.push_back(spaced);
    }
    return forms;
}

// Fails for every spelling of every secret found in `text`.
inline void ExpectNoSecret(const std::string& text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets)
        for (const std::string& form : Spellings(secret))
            EXPECT_EQ(text.find(form), std::string::npos) << "\"" << form << "\" in:\n" << text;
}

} // namespace clikit
