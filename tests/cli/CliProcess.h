#pragma once
// The real orvane-cli executable as a child of the test: its arguments, extra environment and
// standard input are the test's; its standard output is read line by line while it runs, its
// standard error kept apart.

#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

class CliProcess {
public:
    CliProcess() = default;
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // Starts the executable (ORVANE_CLI_BINARY) with `arguments`, `environment` added to the
    // test's, and `input` on its standard input (then closed).
    bool Start(const std::vector<std::string>& arguments,
               const std::vector<std::pair<std::string, std::string>>& environment = {},
               const std::string& input = "");
    // Before Start: the child's standard output goes to the file at `path` (such as /dev/full)
    // instead of the test; ReadLine then has nothing to read.
    void SendOutputTo(std::string path) { outputPath_ = std::move(path); }
    // The next line of standard output, or false at its end or after `timeoutMs`.
    bool ReadLine(std::string& line, int timeoutMs = 20000);
    // Waits for the end (SIGKILL after `timeoutMs`); the exit code, -1 when killed.
    int Wait(int timeoutMs = 20000);
    // The child's process id while it runs.
    pid_t Pid() const { return pid_; }
    // Everything read from standard output so far, and standard error once ended.
    const std::string& Output() const { return all_; }
    const std::string& Errors() const { return errors_; }

    // Runs to the end: the exit code.
    static int Run(const std::vector<std::string>& arguments,
                   const std::vector<std::pair<std::string, std::string>>& environment,
                   const std::string& input, std::string& output, std::string& errors);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string errorsPath_;
    std::string outputPath_;
    std::string pending_;
    std::string all_;
    std::string errors_;
};
