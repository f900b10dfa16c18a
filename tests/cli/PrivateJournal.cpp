#include "PrivateJournal.h"

#include "CliProcess.h"
#include "VirtualToken.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace journalkit {

namespace {

const char* const kJournald = "/lib/systemd/systemd-journald";

} // namespace

std::string PrivateJournal::Start() {
    if (geteuid() != 0)
        return "needs root (a mount namespace and tmpfs mounts)";
    if (access(kJournald, X_OK) != 0)
        return std::string(kJournald) + " is missing (Debian package systemd)";
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making / private: ") + std::strerror(errno);
    for (const char* folder : {"/run/systemd/journal", kJournalFolder, "/var/log/journal"}) {
        const std::string path = folder;
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        mkdir(folder, 0755);
        if (mount("tmpfs", folder, "tmpfs", 0, "mode=0755") != 0)
            return std::string("tmpfs over ") + folder + ": " + std::strerror(errno);
    }
    pid_ = fork();
    if (pid_ == 0) {
        const int log = open("/run/log/journald.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log, 1);
        dup2(log, 2);
        execl(kJournald, kJournald, static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat info {};
        if (stat("/run/systemd/journal/socket", &info) == 0)
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "journald did not open its socket within 10 s";
}

PrivateJournal::~PrivateJournal() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::vector<Entry> OrvaneEntries(const std::string& source, std::size_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<Entry> entries;
    for (;;) {
        entries.clear();
        const std::string command = "journalctl " + source + " -o json --no-pager 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        std::string text;
        char buffer[4096];
        for (std::size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        if (pipe)
            pclose(pipe);
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
            if (parsed.is_discarded() || !parsed.contains("ORVANE_EVENT"))
                continue;
            Entry entry;
            for (const auto& [name, value] : parsed.items())
                if (value.is_string())
                    entry[name] = value.get<std::string>();
            entries.push_back(entry);
        }
        if (entries.size() >= count || std::chrono::steady_clock::now() >= deadline)
            return entries;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string Field(const Entry& entry, const std::string& name) {
    const auto found = entry.find(name);
    return found == entry.end() ? std::string() : found->second;
}

std::string Hex(const std::string& bytes) {
    std::string text;
    char pair[3];
    for (const unsigned char byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

std::string InitTwoTokens(VirtualToken& tokenA, VirtualToken& tokenB, const std::string& pinFile,
                          const std::string& keyFile, const Environment& environment) {
    if (!tokenA.Insert(VirtualTokenOptions().Apps("none").CardId(kCardA).Fail("F4/05=6A80")))
        return "the first token: " + tokenA.Error();
    CliProcess cli;
    if (!cli.Start({"--json", "init", "--reader", VirtualToken::ReaderName(0), "--pin-file",
                    pinFile, "--puk-env", "ADMIN_PUK", "--key", keyFile, "--group-rsa", "D1",
                    "--name", "Бухгалтерия", "--count", "1"},
                   environment))
        return "orvane-cli did not start";
    bool refusedTold = false;
    for (std::string line; !refusedTold && cli.ReadLine(line);) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        refusedTold = !event.is_discarded() && event["event"] == "result";
    }
    if (!refusedTold)
        return "the refusal of the first token was not told: " + cli.Output();
    if (!tokenA.Remove())
        return "the first token: " + tokenA.Error();
    if (!tokenB.Insert(VirtualTokenOptions().Apps("none").CardId(kCardB)))
        return "the second token: " + tokenB.Error();
    const int code = cli.Wait();
    if (code != 1)
        return "init ended with " + std::to_string(code) + " instead of 1: " + cli.Errors();
    return {};
}

} // namespace journalkit
