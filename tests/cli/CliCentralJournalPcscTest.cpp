// Central collection of the audit entries with the stock tools: systemd-journal-remote listens on
// the loopback address of a network namespace of the test's own, systemd-journal-upload in the
// same namespace forwards the private journald's entries to it over plain HTTP, and the attempts
// of an orvane-cli run (one refused, one initialized) arrive there with every field they have in
// the workstation's journal. Root; never skipped: where it cannot run it fails with the reason.

#include "CliTestKit.h"
#include "PrivateJournal.h"
#include "VirtualToken.h"
#include "engine/AuditJournal.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace journalkit;

const char* const kRemote = "/lib/systemd/systemd-journal-remote";
const char* const kUpload = "/lib/systemd/systemd-journal-upload";
// journal-remote's own port; the namespace is new, so nothing else holds it.
const char* const kAddress = "127.0.0.1:19532";
const char* const kListening = "0100007F:4C4C 00000000:0000 0A"; // /proc/net/tcp: 127.0.0.1:19532

// Brings up the loopback interface of the calling process's network namespace.
bool LoopbackUp() {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = probe >= 0 && ioctl(probe, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(probe, SIOCSIFFLAGS, &request) == 0;
    if (probe >= 0)
        close(probe);
    return up;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// journal-remote in a network namespace of its own, and journal-upload sent into it.
class Collector {
public:
    explicit Collector(std::string folder) : folder_(std::move(folder)) {}
    ~Collector() {
        for (const pid_t pid : {upload_, remote_})
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
    }

    std::string Journal() const { return folder_ + "/remote.journal"; }
    std::string Logs() const {
        return "journal-remote said:\n" + ReadFile(folder_ + "/remote.out") +
               "journal-upload said:\n" + ReadFile(folder_ + "/upload.out");
    }

    // Empty when both run; else why not.
    std::string Start() {
        for (const char* tool : {kRemote, kUpload})
            if (access(tool, X_OK) != 0)
                return std::string(tool) + " is missing (Debian package systemd-journal-remote)";
        const std::string output = "--output=" + Journal();
        const std::string listen = std::string("--listen-http=") + kAddress;
        remote_ =
            Spawn("remote.out", 0, {kRemote, listen.c_str(), "--split-mode=none", output.c_str()});
        const std::string table = "/proc/" + std::to_string(remote_) + "/net/tcp";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (ReadFile(table).find(kListening) == std::string::npos) {
            if (waitpid(remote_, nullptr, WNOHANG) == remote_) {
                remote_ = -1;
                return "journal-remote ended before it listened. " + Logs();
            }
            if (std::chrono::steady_clock::now() > deadline)
                return std::string("journal-remote does not listen on ") + kAddress +
                       " after 20 s. " + Logs();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const std::string url = std::string("--url=http://") + kAddress;
        const std::string directory = std::string("--directory=") + kJournalFolder;
        upload_ = Spawn("upload.out", remote_, {kUpload, url.c_str(), directory.c_str()});
        return {};
    }

private:
    // Starts `argv` with its output in `log`: in a new network namespace with its loopback up, or
    // in the one of process `joined`.
    pid_t Spawn(const char* log, pid_t joined, std::vector<const char*> argv) {
        const std::string logPath = folder_ + "/" + log;
        const std::string nsPath = "/proc/" + std::to_string(joined) + "/ns/net";
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid != 0)
            return pid;
        const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        if (joined > 0) {
            const int ns = open(nsPath.c_str(), O_RDONLY);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
                dprintf(2, "joining %s: %s\n", nsPath.c_str(), std::strerror(errno));
                _exit(126);
            }
        } else if (unshare(CLONE_NEWNET) != 0 || !LoopbackUp()) {
            dprintf(2, "a network namespace with loopback: %s\n", std::strerror(errno));
            _exit(126);
        }
        execv(argv[0], const_cast<char* const*>(argv.data()));
        dprintf(2, "exec %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }

    std::string folder_;
    pid_t remote_ = -1;
    pid_t upload_ = -1;
};

// The fields an entry keeps on its way: all but the place it has in each journal file.
Entry Carried(Entry entry) {
    for (auto it = entry.begin(); it != entry.end();)
        it = it->first == "__CURSOR" || it->first.rfind("__SEQNUM", 0) == 0 ? entry.erase(it)
                                                                            : std::next(it);
    return entry;
}

TEST(CliCentralJournal, AttemptsArriveAtTheCollectorWithTheirFields) {
    PrivateJournal journal;
    const std::string problem = journal.Start();
    ASSERT_EQ(problem, "") << "the journal test cannot run: " << problem;
    QTemporaryDir remoteFolder, runtime, dataHome;
    ASSERT_TRUE(remoteFolder.isValid());
    Collector collector(remoteFolder.path().toStdString());
    const std::string collecting = collector.Start();
    ASSERT_EQ(collecting, "") << "central collection cannot run: " << collecting;

    clikit::Files files;
    ::setenv("XDG_RUNTIME_DIR", runtime.path().toStdString().c_str(), 1);
    const Environment environment{{"XDG_DATA_HOME", dataHome.path().toStdString()},
                                  {"ADMIN_PUK", "7ПУК"}};
    const std::string keyFile = files.Write("admin.key", std::string(8, '\x5A') + "01234567");
    VirtualToken tokenA, tokenB;
    const std::string run =
        InitTwoTokens(tokenA, tokenB, files.Write("pin.txt", "Пин1\n"), keyFile, environment);
    ASSERT_EQ(run, "");

    // The workstation's journal: the key loaded, the run's start, its two attempts, its end.
    const std::vector<Entry> local = OrvaneEntries(std::string("-D ") + kJournalFolder, 5);
    ASSERT_EQ(local.size(), 5u);
    const std::vector<Entry> remote =
        OrvaneEntries("--file " + collector.Journal(), local.size(), 30000);
    ASSERT_EQ(remote.size(), local.size()) << collector.Logs();
    for (std::size_t i = 0; i < local.size(); ++i) {
        SCOPED_TRACE(Field(local[i], "ORVANE_EVENT"));
        EXPECT_EQ(Carried(remote[i]), Carried(local[i]));
    }

    std::vector<Entry> attempts;
    for (const Entry& entry : remote)
        if (Field(entry, "ORVANE_EVENT") == "init")
            attempts.push_back(entry);
    ASSERT_EQ(attempts.size(), 2u);
    const Entry& refused = attempts[0];
    EXPECT_EQ(Field(refused, "MESSAGE_ID"), kAuditIdInit);
    EXPECT_EQ(Field(refused, "ORVANE_RESULT"), "error");
    EXPECT_EQ(Field(refused, "PRIORITY"), "3");
    EXPECT_EQ(Field(refused, "ORVANE_CARD"), kLoggedA);
    EXPECT_EQ(Field(refused, "ORVANE_STEP"), "store-pin");
    EXPECT_EQ(Field(refused, "ORVANE_SW"), "6A80");
    EXPECT_EQ(Field(refused, "ORVANE_READER"), VirtualToken::ReaderName(0));
    const Entry& done = attempts[1];
    EXPECT_EQ(Field(done, "ORVANE_RESULT"), "success");
    EXPECT_EQ(Field(done, "ORVANE_CARD"), kLoggedB);
    EXPECT_EQ(Field(done, "MESSAGE"), "Смарт-карта #" + kLoggedB + " инициализирована");
    EXPECT_EQ(Field(done, "ORVANE_GROUP_RSA"), "D1");
    EXPECT_EQ(Field(done, "ORVANE_DEVICE_NAME"), "Бухгалтерия");
    EXPECT_EQ(Field(done, "ORVANE_UNBLOCK_KCV").size(), 6u);
    for (const Entry& entry : attempts) {
        EXPECT_EQ(Field(entry, "ORVANE_USER"), AuditUser());
        // Sent by the program itself: journald adds _COMM only while the process still runs.
        EXPECT_EQ(Field(entry, "SYSLOG_IDENTIFIER"), "orvane-cli");
        for (const auto& [name, value] : entry)
            clikit::ExpectNoSecret(value, {"Пин1", "7ПУК", Hex(std::string(8, '\x5A'))});
    }
    // ORVANE_KEEP_COLLECTED=FILE keeps what the collector wrote, to look at with journalctl --file.
    if (const char* keep = std::getenv("ORVANE_KEEP_COLLECTED"))
        std::filesystem::copy_file(collector.Journal(), keep,
                                   std::filesystem::copy_options::overwrite_existing);
}

} // namespace
