// orvane-cli: the token engine of Orvane for scripts and helpdesks (see docs/orvane-cli.1).

#include "CommandLine.h"
#include "StopSignals.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace {

// How long reset-pin waits for a token another program holds in a transaction.
constexpr unsigned kConnectWaitSeconds = 5;

} // namespace

int main(int argc, char** argv) {
    Console console{
        std::cin,
        std::cout,
        std::cerr,
        STDIN_FILENO,
        [](const std::string& name) { return std::getenv(name.c_str()); },
        [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
        InstallStopSignals(),
        kConnectWaitSeconds,
    };
    return RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), console);
}
