#pragma once
// The private PC/SC stack of a benchmark run: a fresh folder, pcscd with vpcd readers started by
// scripts/pcsc-sandbox, and PCSCLITE_CSOCK_NAME pointing at it. Create it before the process's
// first PC/SC call (the client library reads the variable once); it stops the stack and removes
// the folder when it goes.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <stdlib.h>

class PrivateStack {
public:
    // `options` go to `pcsc-sandbox start` ("--readers 8").
    explicit PrivateStack(const char* name, std::string options = {})
        : options_(std::move(options)) {
        std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return;
        }
        dir_ = pattern;
        ::setenv("ORVANE_PCSC_SANDBOX", dir_.c_str(), 1);
        ::setenv("PCSCLITE_CSOCK_NAME", (dir_ + "/run/pcscd.comm").c_str(), 1);
        running_ = Script("start", options_) == 0;
        if (!running_)
            std::fprintf(stderr, "%s: the private PC/SC stack did not start in %s\n", name,
                         dir_.c_str());
    }
    ~PrivateStack() {
        if (dir_.empty())
            return;
        Script("stop");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    PrivateStack(const PrivateStack&) = delete;
    PrivateStack& operator=(const PrivateStack&) = delete;

    bool Running() const { return running_; }

private:
    int Script(const char* command, const std::string& options = {}) const {
        const std::string line = std::string("'") + ORVANE_SOURCE_DIR + "/scripts/pcsc-sandbox' " +
                                 command + " '" + dir_ + "' " + options + " >/dev/null";
        return std::system(line.c_str());
    }

    std::string options_;
    std::string dir_;
    bool running_ = false;
};
