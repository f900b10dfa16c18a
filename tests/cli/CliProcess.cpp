#include "CliProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

CliProcess::~CliProcess() {
    if (pid_ > 0)
        Wait(1000);
    if (out_ >= 0)
        ::close(out_);
}

bool CliProcess::Start(const std::vector<std::string>& arguments,
                       const std::vector<std::pair<std::string, std::string>>& environment,
                       const std::string& input) {
    char inputPath[] = "/tmp/orvane-cli-input-XXXXXX";
    const int inputFd = ::mkstemp(inputPath);
    char errorsPath[] = "/tmp/orvane-cli-errors-XXXXXX";
    const int errorsFd = ::mkstemp(errorsPath);
    int pipeFds[2];
    if (inputFd < 0 || errorsFd < 0 || ::pipe(pipeFds) != 0)
        return false;
    if (::write(inputFd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        return false;
    ::lseek(inputFd, 0, SEEK_SET);
    ::unlink(inputPath);
    errorsPath_ = errorsPath;

    std::vector<std::string> args{ORVANE_CLI_BINARY};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        for (const auto& [name, value] : environment)
            ::setenv(name.c_str(), value.c_str(), 1);
        ::dup2(inputFd, 0);
        if (outputPath_.empty()) {
            ::dup2(pipeFds[1], 1);
        } else {
            const int outputFd = ::open(outputPath_.c_str(), O_WRONLY | O_CLOEXEC);
            if (outputFd < 0 || ::dup2(outputFd, 1) < 0)
                ::_exit(127);
        }
        ::dup2(errorsFd, 2);
        ::close(pipeFds[0]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(inputFd);
    ::close(errorsFd);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
    if (!outputPath_.empty()) {
        ::close(out_);
        out_ = -1;
    }
    return pid_ > 0;
}

bool CliProcess::ReadLine(std::string& line, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (out_ < 0 || left.count() <= 0)
            return false;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            return false;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        all_.append(buffer, static_cast<std::size_t>(n));
    }
}

int CliProcess::Wait(int timeoutMs) {
    std::string line;
    while (ReadLine(line, timeoutMs)) {
    }
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        ::usleep(10000);
    }
    pid_ = -1;
    std::ifstream errors(errorsPath_);
    std::stringstream text;
    text << errors.rdbuf();
    errors_ = text.str();
    ::unlink(errorsPath_.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int CliProcess::Run(const std::vector<std::string>& arguments,
                    const std::vector<std::pair<std::string, std::string>>& environment,
                    const std::string& input, std::string& output, std::string& errors) {
    CliProcess process;
    if (!process.Start(arguments, environment, input))
        return -1;
    const int code = process.Wait();
    output = process.Output();
    errors = process.Errors();
    return code;
}
