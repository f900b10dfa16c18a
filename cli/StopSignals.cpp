#include "StopSignals.h"

#include <initializer_list>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnStopSignal(int signal) {
    stopRequested = 1;
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

} // namespace

const volatile std::sig_atomic_t* InstallStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read of a secret from the terminal ends at Ctrl+C.
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    return &stopRequested;
}
