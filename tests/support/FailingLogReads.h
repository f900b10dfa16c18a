#pragma once
// Reads of a day's log that fail as a disk with a bad spot does: the bytes before `failAt` come
// back (a read across it stops short there), every read from `failAt` on fails with EIO.
// Installed for the object's life; Heal() makes the disk whole again.

#include "engine/LogLines.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <unistd.h>

class FailingLogReads final : public loglines::ILogFileReads {
public:
    explicit FailingLogReads(std::uint64_t failAt) : failAt_(failAt) {
        loglines::SetLogFileReads(this);
    }
    ~FailingLogReads() override { loglines::SetLogFileReads(nullptr); }
    FailingLogReads(const FailingLogReads&) = delete;
    FailingLogReads& operator=(const FailingLogReads&) = delete;

    void Heal() { failAt_ = std::numeric_limits<std::uint64_t>::max(); }
    int Failures() const { return failures_; }

    ssize_t Read(int fd, char* to, std::size_t bytes, std::uint64_t offset) override {
        if (offset >= failAt_) {
            ++failures_;
            errno = EIO;
            return -1;
        }
        bytes = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, failAt_ - offset));
        return pread(fd, to, bytes, static_cast<off_t>(offset));
    }

private:
    std::uint64_t failAt_;
    int failures_ = 0;
};
