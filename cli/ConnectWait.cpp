#include "ConnectWait.h"

#include "Console.h"

#include <csignal>
#include <iterator>
#include <unistd.h>
#include <utility>

namespace {

// What the handlers write; set before they are installed and left alone while they are.
struct ArmedEnding {
    const char* text = nullptr;
    std::size_t length = 0;
    int descriptor = 2;
};
ArmedEnding givenUpNow;
ArmedEnding interruptedNow;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void WriteAndEnd(const ArmedEnding& ending, int code) {
    std::size_t written = 0;
    while (written < ending.length) {
        const ssize_t n =
            ::write(ending.descriptor, ending.text + written, ending.length - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    ::_exit(code);
}

void OnAlarm(int) {
    WriteAndEnd(givenUpNow, kExitReaderBusy);
}

void OnStop(int) {
    WriteAndEnd(interruptedNow, kExitInterrupted);
}

// The handlers in force during one connect; the ones before are put back afterwards.
class ArmedWait {
public:
    ArmedWait(unsigned seconds, const WaitLimitedApi::Ending& givenUp,
              const WaitLimitedApi::Ending& interrupted) {
        givenUpNow = {givenUp.line.data(), givenUp.line.size(), givenUp.descriptor};
        interruptedNow = {interrupted.line.data(), interrupted.line.size(), interrupted.descriptor};
        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        action.sa_handler = OnStop;
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
            sigaction(kStopSignals[i], &action, &previousStop_[i]);
        action.sa_handler = OnAlarm;
        sigaction(SIGALRM, &action, &previousAlarm_);
        ::alarm(seconds);
    }
    ~ArmedWait() {
        ::alarm(0);
        sigaction(SIGALRM, &previousAlarm_, nullptr);
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
            sigaction(kStopSignals[i], &previousStop_[i], nullptr);
    }
    ArmedWait(const ArmedWait&) = delete;
    ArmedWait& operator=(const ArmedWait&) = delete;

private:
    struct sigaction previousStop_[std::size(kStopSignals)]{};
    struct sigaction previousAlarm_ {};
};

} // namespace

WaitLimitedApi::WaitLimitedApi(pcsc::Api& inner, unsigned seconds, Ending givenUp,
                               Ending interrupted, const volatile std::sig_atomic_t* stopRequested)
    : inner_(inner), seconds_(seconds), givenUp_(std::move(givenUp)),
      interrupted_(std::move(interrupted)), stopRequested_(stopRequested) {}

pcsc::LONG WaitLimitedApi::Connect(pcsc::SCARDCONTEXT context, const char* reader,
                                   pcsc::DWORD shareMode, pcsc::DWORD preferredProtocols,
                                   pcsc::SCARDHANDLE* card, pcsc::DWORD* activeProtocol) {
    ArmedWait armed(seconds_, givenUp_, interrupted_);
    // A stop signal that came before the handlers above only set the flag.
    if (stopRequested_ != nullptr && *stopRequested_ != 0)
        OnStop(SIGINT);
    return inner_.Connect(context, reader, shareMode, preferredProtocols, card, activeProtocol);
}

pcsc::LONG WaitLimitedApi::EstablishContext(pcsc::DWORD scope, pcsc::SCARDCONTEXT* context) {
    return inner_.EstablishContext(scope, context);
}

pcsc::LONG WaitLimitedApi::ReleaseContext(pcsc::SCARDCONTEXT context) {
    return inner_.ReleaseContext(context);
}

pcsc::LONG WaitLimitedApi::ListReaders(pcsc::SCARDCONTEXT context, const char* groups,
                                       char* readers, pcsc::DWORD* readersLength) {
    return inner_.ListReaders(context, groups, readers, readersLength);
}

pcsc::LONG WaitLimitedApi::GetStatusChange(pcsc::SCARDCONTEXT context, pcsc::DWORD timeout,
                                           pcsc::ReaderState* states, pcsc::DWORD count) {
    return inner_.GetStatusChange(context, timeout, states, count);
}

pcsc::LONG WaitLimitedApi::Status(pcsc::SCARDHANDLE card, char* readerName,
                                  pcsc::DWORD* readerLength, pcsc::DWORD* state,
                                  pcsc::DWORD* protocol, unsigned char* atr,
                                  pcsc::DWORD* atrLength) {
    return inner_.Status(card, readerName, readerLength, state, protocol, atr, atrLength);
}

pcsc::LONG WaitLimitedApi::Transmit(pcsc::SCARDHANDLE card, const pcsc::IoRequest* sendPci,
                                    const unsigned char* send, pcsc::DWORD sendLength,
                                    pcsc::IoRequest* recvPci, unsigned char* recv,
                                    pcsc::DWORD* recvLength) {
    return inner_.Transmit(card, sendPci, send, sendLength, recvPci, recv, recvLength);
}

pcsc::LONG WaitLimitedApi::BeginTransaction(pcsc::SCARDHANDLE card) {
    return inner_.BeginTransaction(card);
}

pcsc::LONG WaitLimitedApi::EndTransaction(pcsc::SCARDHANDLE card, pcsc::DWORD disposition) {
    return inner_.EndTransaction(card, disposition);
}

pcsc::LONG WaitLimitedApi::Disconnect(pcsc::SCARDHANDLE card, pcsc::DWORD disposition) {
    return inner_.Disconnect(card, disposition);
}

std::string WaitLimitedApi::MessageText(std::uint32_t code) {
    return inner_.MessageText(code);
}
