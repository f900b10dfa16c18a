#include "LogLines.h"

#include "common/Seam.h"

namespace loglines {

namespace {

class FileReads final : public ILogFileReads {
public:
    ssize_t Read(int fd, char* to, std::size_t bytes, std::uint64_t offset) override {
        return pread(fd, to, bytes, static_cast<off_t>(offset));
    }
    bool InPlace() const override { return true; }
};

constexpr auto ReadsSeam = SeamOf<ILogFileReads, FileReads>;

} // namespace

ILogFileReads& LogFileReads() {
    return ReadsSeam().Get();
}

void SetLogFileReads(ILogFileReads* reads) {
    ReadsSeam().Set(reads);
}

using detail::IsLineEnd;
#ifdef __SSE2__
using detail::LineEndMask;
using detail::Load16;
#endif

const char* FindLastLineEnd(const char* from, const char* to) {
#ifdef __SSE2__
    for (; to - from >= 16; to -= 16)
        if (const unsigned ends = LineEndMask(Load16(to - 16)))
            return to - 16 + (31 - __builtin_clz(ends));
#endif
    while (to > from)
        if (IsLineEnd(*--to))
            return to;
    return nullptr;
}

std::string HexCardId(std::uint64_t key) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, key >>= 4)
        text[static_cast<std::size_t>(i)] = digits[key & 0xF];
    return text;
}

} // namespace loglines
