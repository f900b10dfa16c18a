#pragma once
// A PC/SC binding that passes every call to the real one; a benchmark derives from it and
// overrides the calls it watches (the commands sent, the moment of a call).

#include "card/PcscApi.h"

struct ForwardingApi : pcsc::Api {
    using DWORD = pcsc::DWORD;
    using LONG = pcsc::LONG;
    pcsc::Api& real = pcsc::RealApi();

    LONG EstablishContext(DWORD s, pcsc::SCARDCONTEXT* c) override {
        return real.EstablishContext(s, c);
    }
    LONG ReleaseContext(pcsc::SCARDCONTEXT c) override { return real.ReleaseContext(c); }
    LONG ListReaders(pcsc::SCARDCONTEXT c, const char* g, char* r, DWORD* l) override {
        return real.ListReaders(c, g, r, l);
    }
    LONG GetStatusChange(pcsc::SCARDCONTEXT c, DWORD t, pcsc::ReaderState* s, DWORD n) override {
        return real.GetStatusChange(c, t, s, n);
    }
    LONG Connect(pcsc::SCARDCONTEXT c, const char* r, DWORD m, DWORD p, pcsc::SCARDHANDLE* h,
                 DWORD* a) override {
        return real.Connect(c, r, m, p, h, a);
    }
    LONG Status(pcsc::SCARDHANDLE h, char* n, DWORD* nl, DWORD* s, DWORD* p, unsigned char* atr,
                DWORD* al) override {
        return real.Status(h, n, nl, s, p, atr, al);
    }
    LONG Transmit(pcsc::SCARDHANDLE h, const pcsc::IoRequest* sp, const unsigned char* send,
                  DWORD sl, pcsc::IoRequest* rp, unsigned char* recv, DWORD* rl) override {
        return real.Transmit(h, sp, send, sl, rp, recv, rl);
    }
    LONG BeginTransaction(pcsc::SCARDHANDLE h) override { return real.BeginTransaction(h); }
    LONG EndTransaction(pcsc::SCARDHANDLE h, DWORD d) override { return real.EndTransaction(h, d); }
    LONG Disconnect(pcsc::SCARDHANDLE h, DWORD d) override { return real.Disconnect(h, d); }
    std::string MessageText(std::uint32_t code) override { return real.MessageText(code); }
};
