// How long a program takes from its start until its first window is mapped on the X display,
// and its resident memory at that moment: orvane against a bare Qt Widgets window built with the
// same flags, started one after the other (interleaved), median of the rounds.
//
//   start_bench ORVANE BARE [ROUNDS]      (DISPLAY must name a display without other clients
//                                          mapping windows; bench/shell/compare-start sets one up)

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double ms = 0;
    long rssKiB = 0;
};

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

// Starts `program`, waits for the first top-level window it maps, then ends it.
bool Measure(xcb_connection_t* x, const char* program, Sample& sample) {
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execl(program, program, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0)
        return false;
    bool mapped = false;
    while (!mapped) {
        xcb_generic_event_t* event = xcb_wait_for_event(x);
        if (!event)
            break;
        mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
        free(event);
    }
    if (mapped) {
        sample.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        sample.rssKiB = ResidentKiB(pid);
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return mapped;
}

template <typename T> T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: start_bench ORVANE BARE [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "start_bench: no X display (DISPLAY)\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    const char* programs[] = {argv[1], argv[2]};
    std::vector<double> ms[2];
    std::vector<long> rss[2];
    for (int round = 0; round < rounds; ++round) {
        for (int p = 0; p < 2; ++p) {
            Sample sample;
            if (!Measure(x, programs[p], sample)) {
                std::fprintf(stderr, "start_bench: %s mapped no window\n", programs[p]);
                return 1;
            }
            ms[p].push_back(sample.ms);
            rss[p].push_back(sample.rssKiB);
        }
    }
    const double t0 = Median(ms[0]), t1 = Median(ms[1]);
    const long r0 = Median(rss[0]), r1 = Median(rss[1]);
    std::printf("%-12s %12s %14s\n", "", "start (ms)", "resident (KiB)");
    std::printf("%-12s %12.1f %14ld\n", "orvane", t0, r0);
    std::printf("%-12s %12.1f %14ld\n", "bare window", t1, r1);
    std::printf("%-12s %12.2f %14.2f\n", "ratio", t0 / t1,
                static_cast<double>(r0) / static_cast<double>(r1));
    std::printf("(median of %d interleaved rounds)\n", rounds);
    xcb_disconnect(x);
    return 0;
}
