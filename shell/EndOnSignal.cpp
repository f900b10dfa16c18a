#include "EndOnSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler only writes a byte: the work happens on the user-interface thread, where the
// socket notifier reads it.
int signalPair[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPair[0], &byte, 1);
}

} // namespace

void EndOnSignals(std::function<void()> endRun) {
    if (signalPair[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPair) != 0)
        return;
    ::fcntl(signalPair[0], F_SETFL, O_NONBLOCK);
    auto* notifier =
        new QSocketNotifier(signalPair[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [endRun] {
        char byte = 0;
        while (::read(signalPair[1], &byte, 1) == 1) {
        }
        if (endRun)
            endRun();
        // Leaves every running event loop (a dialog's, a message box's) and the main one; loops
        // started afterwards return at once, so the program unwinds to its end.
        QCoreApplication::exit(0);
    });
    ::fcntl(signalPair[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
