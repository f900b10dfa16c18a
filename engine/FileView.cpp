#include "FileView.h"

#include <array>
#include <atomic>
#include <csignal>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The views the SIGBUS handler knows: their mapped address ranges, and whether a page of each was
// replaced. The handler only reads lock-free atomics and calls mmap and sigaction.
struct Watch {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> lost{false};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the SIGBUS handler may only touch lock-free atomics");
constexpr std::size_t kWatches = 16;
std::array<Watch, kWatches> watches;
std::uintptr_t pageBytes = 4096;
struct sigaction previousAction {};
bool handlerInstalled = false;

void OnBusError(int signal, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (info->si_code > 0) { // raised by a fault, not sent
        for (Watch& watch : watches) {
            const std::uintptr_t begin = watch.begin.load();
            if (begin == 0 || address < begin || address >= watch.end.load())
                continue;
            void* zeros = mmap(reinterpret_cast<void*>(address & ~(pageBytes - 1)), pageBytes,
                               PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (zeros == MAP_FAILED)
                break;
            watch.lost.store(true);
            return; // the read is done again, on the zeros
        }
    }
    // Not a view's page: the program's own action, now and from here on. A fault happens again
    // as the instruction runs again; a sent signal is sent once more.
    sigaction(SIGBUS, &previousAction, nullptr);
    if (info->si_code <= 0)
        raise(signal);
}

bool InstallHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        pageBytes = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        handlerInstalled = sigaction(SIGBUS, &action, &previousAction) == 0;
    });
    return handlerInstalled;
}

int ClaimWatch(std::uintptr_t begin) {
    for (std::size_t i = 0; i < kWatches; ++i) {
        std::uintptr_t free = 0;
        if (watches[i].begin.compare_exchange_strong(free, begin))
            return static_cast<int>(i);
    }
    return -1;
}

void ReleaseWatch(int index) {
    Watch& watch = watches[static_cast<std::size_t>(index)];
    watch.end.store(0);
    watch.lost.store(false);
    watch.begin.store(0);
}

} // namespace

FileView::FileView(int fd, std::uint64_t offset, std::size_t length) {
    if (length == 0 || !InstallHandler())
        return;
    const std::uint64_t start = offset & ~std::uint64_t{pageBytes - 1};
    const auto skip = static_cast<std::size_t>(offset - start);
    mappingBytes_ = skip + length;
    // Pages made ready at once: the file is read from start to end right away.
    void* mapping = mmap(nullptr, mappingBytes_, PROT_READ, MAP_SHARED | MAP_POPULATE, fd,
                         static_cast<off_t>(start));
    if (mapping == MAP_FAILED)
        return;
    const auto begin = reinterpret_cast<std::uintptr_t>(mapping);
    watch_ = ClaimWatch(begin);
    if (watch_ < 0) {
        munmap(mapping, mappingBytes_);
        return;
    }
    watches[static_cast<std::size_t>(watch_)].end.store(begin + mappingBytes_);
    madvise(mapping, mappingBytes_, MADV_SEQUENTIAL);
    mapping_ = mapping;
    data_ = static_cast<const char*>(mapping) + skip;
    length_ = length;
}

FileView::~FileView() {
    if (mapping_ == nullptr)
        return;
    ReleaseWatch(watch_);
    munmap(mapping_, mappingBytes_);
}

bool FileView::Lost() const {
    return watch_ >= 0 && watches[static_cast<std::size_t>(watch_)].lost.load();
}
