#pragma once
// A connect to a token that does not wait without limit.
//
// pcscd answers a connect only once the reader is free: while another program holds the token in
// a transaction, the call waits in pcscd until that transaction ends, and the client library
// repeats its wait after every signal, so neither a time limit of its own nor Ctrl+C ends it.
// WaitLimitedApi passes every call to the binding underneath; around Connect it arms an alarm and
// takes SIGINT, SIGTERM and SIGHUP over. When the alarm rings the give-up line is written and the
// process ends with kExitReaderBusy; a stop signal writes the interrupted line and ends it with
// kExitInterrupted. Ending the process is the only sound way out of that wait (the library holds
// its context's lock and is in the middle of an exchange with pcscd); nothing has reached the
// token then, and the process's reader lock and its pcscd connection go with it. Both lines are
// made before the wait: the handlers only write(2) them and _exit(2), which a signal handler may.

#include "card/PcscApi.h"

#include <csignal>
#include <string>

class WaitLimitedApi : public pcsc::Api {
public:
    // A line to write when the wait ends one way, and where to: 1 standard output, 2 errors.
    struct Ending {
        std::string line;
        int descriptor = 2;
    };

    // `stopRequested`: the flag of the stop signals (StopSignals.h); a stop asked for just before
    // the connect ends the wait as one during it does.
    WaitLimitedApi(pcsc::Api& inner, unsigned seconds, Ending givenUp, Ending interrupted,
                   const volatile std::sig_atomic_t* stopRequested);

    pcsc::LONG EstablishContext(pcsc::DWORD scope, pcsc::SCARDCONTEXT* context) override;
    pcsc::LONG ReleaseContext(pcsc::SCARDCONTEXT context) override;
    pcsc::LONG ListReaders(pcsc::SCARDCONTEXT context, const char* groups, char* readers,
                           pcsc::DWORD* readersLength) override;
    pcsc::LONG GetStatusChange(pcsc::SCARDCONTEXT context, pcsc::DWORD timeout,
                               pcsc::ReaderState* states, pcsc::DWORD count) override;
    pcsc::LONG Connect(pcsc::SCARDCONTEXT context, const char* reader, pcsc::DWORD shareMode,
                       pcsc::DWORD preferredProtocols, pcsc::SCARDHANDLE* card,
                       pcsc::DWORD* activeProtocol) override;
    pcsc::LONG Status(pcsc::SCARDHANDLE card, char* readerName, pcsc::DWORD* readerLength,
                      pcsc::DWORD* state, pcsc::DWORD* protocol, unsigned char* atr,
                      pcsc::DWORD* atrLength) override;
    pcsc::LONG Transmit(pcsc::SCARDHANDLE card, const pcsc::IoRequest* sendPci,
                        const unsigned char* send, pcsc::DWORD sendLength, pcsc::IoRequest* recvPci,
                        unsigned char* recv, pcsc::DWORD* recvLength) override;
    pcsc::LONG BeginTransaction(pcsc::SCARDHANDLE card) override;
    pcsc::LONG EndTransaction(pcsc::SCARDHANDLE card, pcsc::DWORD disposition) override;
    pcsc::LONG Disconnect(pcsc::SCARDHANDLE card, pcsc::DWORD disposition) override;
    std::string MessageText(std::uint32_t code) override;

private:
    pcsc::Api& inner_;
    unsigned seconds_;
    Ending givenUp_;
    Ending interrupted_;
    const volatile std::sig_atomic_t* stopRequested_;
};
