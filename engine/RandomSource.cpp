#include "RandomSource.h"

#include "common/Seam.h"
#include "crypto/Wipe.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/random.h>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

// Low byte of the time-stamp counter (a high-resolution clock where there is none).
std::uint8_t CounterByte() {
#if defined(__x86_64__) || defined(__i386__)
    return static_cast<std::uint8_t>(__rdtsc());
#else
    return static_cast<std::uint8_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
#endif
}

class SystemSource final : public IRandomSource {
public:
    bool SystemRandom(std::uint8_t* buffer, std::size_t count) override {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = getrandom(buffer + done, count - done, 0);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            if (n == 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        // Each byte also gets one reading of the time-stamp counter mixed in.
        for (std::size_t i = 0; i < count; ++i)
            buffer[i] ^= CounterByte();
        return true;
    }
};

constexpr auto SourceSeam = SeamOf<IRandomSource, SystemSource>;

} // namespace

IRandomSource& RandomSource() {
    return SourceSeam().Get();
}

void SetRandomSource(IRandomSource* source) {
    SourceSeam().Set(source);
}

bool FillRandom(std::uint8_t* buffer, std::size_t count) {
    return count == 0 || RandomSource().SystemRandom(buffer, count);
}

bool DrawUnblockKey(UnblockKeyBytes& key) {
    // A weak draw is all but impossible from a sound source; one is never handed out.
    do {
        if (!FillRandom(key.data(), key.size())) {
            WipeAll(key);
            return false;
        }
    } while (WeaknessOf(key) != KeyWeakness::None);
    return true;
}
