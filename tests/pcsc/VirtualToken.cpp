#include "VirtualToken.h"

#include <winscard.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef ORVANE_VTOKEN_BINARY
#error "ORVANE_VTOKEN_BINARY must name the orvane-vtoken executable"
#endif
#ifndef ORVANE_PCSC_SANDBOX_DIR
#error "ORVANE_PCSC_SANDBOX_DIR must name the private PC/SC stack's folder"
#endif
#ifndef ORVANE_PCSC_SANDBOX_SCRIPT
#error "ORVANE_PCSC_SANDBOX_SCRIPT must name scripts/pcsc-sandbox"
#endif

namespace {

using Clock = std::chrono::steady_clock;

void UseSandboxSocket() {
    // The client library reads the variable once, at the process's first PC/SC call.
    const std::string socket = VirtualToken::SandboxDir() + "/run/pcscd.comm";
    ::setenv("PCSCLITE_CSOCK_NAME", socket.c_str(), 0);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// fork + exec with stdout/stderr to `outFd` (or /dev/null); the child ends with the thread of
// the parent that started it.
pid_t Spawn(const std::vector<std::string>& args, int outFd, bool dieWithParent) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // Child: only async-signal-safe calls from here on.
    if (dieWithParent) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
    }
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0)
        ::dup2(null, 0);
    const int out = outFd >= 0 ? outFd : null;
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

VirtualToken::VirtualToken() {
    UseSandboxSocket();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvane-vtoken-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()))
        folder_ = buf.data();
    else
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
}

VirtualToken::~VirtualToken() {
    Remove();
    if (!folder_.empty() && !std::getenv("ORVANE_KEEP_TOKEN_FILES")) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

bool VirtualToken::Fail(const std::string& what) {
    error_ = what;
    const std::string log = ReadFile(LogPath());
    if (!log.empty())
        error_ += "; orvane-vtoken said: " + log;
    return false;
}

std::string VirtualToken::Binary() {
    return ORVANE_VTOKEN_BINARY;
}

std::string VirtualToken::SandboxDir() {
    const char* dir = std::getenv("ORVANE_PCSC_SANDBOX");
    return dir && *dir ? dir : ORVANE_PCSC_SANDBOX_DIR;
}

int VirtualToken::BasePort() {
    std::ifstream in(SandboxDir() + "/ports");
    int port = -1;
    if (!(in >> port))
        return -1;
    return port;
}

std::string VirtualToken::ReaderName(int slot) {
    std::ifstream in(SandboxDir() + "/readers");
    std::string line;
    for (int i = 0; std::getline(in, line); ++i)
        if (i == slot)
            return line;
    // The sandbox names its first reader entry's slots so.
    return "Orvane Virtual Reader 00 0" + std::to_string(slot);
}

bool VirtualToken::Insert(const VirtualTokenOptions& options) {
    error_.clear();
    if (folder_.empty())
        return Fail("no temporary folder");
    if (Running())
        return Fail("the token is inserted already");
    const int base = BasePort();
    if (base < 0)
        return Fail("the private PC/SC stack does not run: no " + SandboxDir() + "/ports");
    slot_ = options.slot;
    insertedEvents_.reset();
    // vpcd serves one token per slot; a second one would wait unseen behind the first.
    if (!WaitReader(false, 2000))
        return Fail("the reader " + ReaderName() + " holds a card already: " + error_);

    // vpcd's ports exist only in the stack's network namespace: `pcsc-sandbox run-in` enters it
    // and becomes the token (the pid stays the child's, and so does its parent-death signal).
    std::vector<std::string> args{ORVANE_PCSC_SANDBOX_SCRIPT,
                                  "run-in",
                                  SandboxDir(),
                                  "--",
                                  ORVANE_VTOKEN_BINARY,
                                  "--port",
                                  std::to_string(base + options.slot),
                                  "--state",
                                  StatePath(),
                                  "--trace",
                                  TracePath()};
    if (!options.apps.empty())
        args.insert(args.end(), {"--apps", options.apps});
    if (options.foreign)
        args.push_back("--foreign");
    if (!options.cardId.empty())
        args.insert(args.end(), {"--card-id", options.cardId});
    for (const auto& f : options.fails)
        args.insert(args.end(), {"--fail", f});
    if (options.vanishAfter >= 0)
        args.insert(args.end(), {"--vanish-after", std::to_string(options.vanishAfter)});
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());

    const int log = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = Spawn(args, log, true);
    if (log >= 0)
        ::close(log);
    if (pid_ < 0)
        return Fail(std::string("fork: ") + std::strerror(errno));
    unsigned events = 0;
    if (!WaitReaderState(true, 5000, std::nullopt, &events)) {
        const bool ended = !Running();
        const std::string why = error_;
        Remove();
        return Fail(ended ? "orvane-vtoken ended at once"
                          : "the reader " + ReaderName() + " shows no card: " + why);
    }
    insertedEvents_ = events;
    return true;
}

bool VirtualToken::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
        pid_ = -1;
        return false;
    }
    return true;
}

bool VirtualToken::WaitExit(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Running()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool VirtualToken::Remove() {
    if (pid_ <= 0)
        return true;
    ::kill(pid_, SIGTERM);
    if (!WaitExit(3000)) {
        ::kill(pid_, SIGKILL);
        WaitExit(3000);
    }
    if (!WaitReaderState(false, 5000, insertedEvents_))
        return Fail("the reader " + ReaderName() + " still shows a card after the removal");
    insertedEvents_.reset();
    return true;
}

bool VirtualToken::WaitReader(bool present, int ms) {
    return WaitReaderState(present, ms, std::nullopt);
}

bool VirtualToken::WaitReaderState(bool present, int ms, std::optional<unsigned> since,
                                   unsigned* seen) {
    SCARDCONTEXT context = 0;
    LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (rc != SCARD_S_SUCCESS) {
        error_ = std::string("no PC/SC service: ") + pcsc_stringify_error(rc);
        return false;
    }
    const std::string reader = ReaderName();
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    bool reached = false;
    for (;;) {
        SCARD_READERSTATE state{};
        state.szReader = reader.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        rc = SCardGetStatusChange(context, 0, &state, 1);
        if (rc == SCARD_S_SUCCESS) {
            const DWORD event = state.dwEventState & 0xFFFF;
            const bool counted = !since || (state.dwEventState >> 16) != *since;
            if (counted &&
                (present ? (event & SCARD_STATE_PRESENT) : (event & SCARD_STATE_EMPTY))) {
                if (seen)
                    *seen = static_cast<unsigned>(state.dwEventState >> 16);
                reached = true;
                break;
            }
        }
        if (Clock::now() >= deadline) {
            error_ = rc == SCARD_S_SUCCESS ? "time-out" : pcsc_stringify_error(rc);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    SCardReleaseContext(context);
    return reached;
}

std::optional<vtoken::TokenState> VirtualToken::State() {
    std::string why;
    auto state = vtoken::LoadStateFile(StatePath(), &why);
    if (!state)
        error_ = why;
    return state;
}

bool VirtualToken::WriteState(const vtoken::TokenState& state) {
    std::string why;
    if (!vtoken::SaveStateFile(StatePath(), state.ToJson(), &why))
        return Fail(why);
    return true;
}

std::vector<std::string> VirtualToken::TraceLines() const {
    std::vector<std::string> lines;
    std::ifstream in(TracePath());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<TracedApdu> VirtualToken::Apdus() const {
    std::vector<TracedApdu> apdus;
    for (const auto& line : TraceLines()) {
        if (line.rfind("APDU ", 0) != 0)
            continue;
        const auto arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue;
        apdus.push_back({line.substr(5, arrow - 5), line.substr(arrow + 4)});
    }
    return apdus;
}

void VirtualToken::ClearTrace() {
    // The token appends; truncating in place keeps its open file valid.
    if (::truncate(TracePath().c_str(), 0) != 0)
        error_ = TracePath() + ": " + std::strerror(errno);
}

namespace {

VirtualToken::ToolResult RunProgram(const std::vector<std::string>& full) {
    VirtualToken::ToolResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return result;
    const pid_t pid = Spawn(full, fds[1], false);
    ::close(fds[1]);
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

bool SandboxCommand(const char* command, std::string* error) {
    const VirtualToken::ToolResult run =
        VirtualToken::RunSandbox({command, VirtualToken::SandboxDir()});
    if (run.exitCode == 0)
        return true;
    if (error)
        *error = std::string("pcsc-sandbox ") + command + " ended with " +
                 std::to_string(run.exitCode) + ": " + run.output;
    return false;
}

} // namespace

VirtualToken::ToolResult VirtualToken::RunTool(const std::vector<std::string>& args) {
    std::vector<std::string> full{ORVANE_VTOKEN_BINARY};
    full.insert(full.end(), args.begin(), args.end());
    return RunProgram(full);
}

VirtualToken::ToolResult VirtualToken::RunSandbox(const std::vector<std::string>& args) {
    std::vector<std::string> full{ORVANE_PCSC_SANDBOX_SCRIPT};
    full.insert(full.end(), args.begin(), args.end());
    return RunProgram(full);
}

bool VirtualToken::StopDaemon(std::string* error) {
    return SandboxCommand("stop-daemon", error);
}

bool VirtualToken::StartDaemon(std::string* error) {
    return SandboxCommand("start-daemon", error);
}
