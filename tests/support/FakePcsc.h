#pragma once
// A scripted PC/SC stack for tests: readers, cards, answers and failures are set up by the test,
// and every call is recorded.
//
// Creating a FakePcsc installs it (pcsc::SetCurrentApi), so every ReaderSession / TokenSession
// created while it lives talks to it; its destruction restores the real binding. Create the fake
// first and the reader sessions after it, and destroy the sessions before the fake.
//
//   FakePcsc pcsc;
//   pcsc.AddReader("Reader A", FakePcsc::FamilyAtr(0x07));     // a token with all three apps
//   pcsc.Answer({0x80, 0x48}, {0x6A, 0x82});                   // next 80 48 .. gets SW 6A82
//   pcsc.AnswerChallenge({1, 2, 3, 4, 5, 6, 7, 8});            // every GET CHALLENGE
//   TokenSession reader;  reader.SelectReader("Reader A");  reader.ConnectCard();  ...
//   EXPECT_EQ(pcsc.Commands(), (std::vector<Bytes>{...}));     // the exact APDU stream
//
// Behaviour follows pcsc-lite as measured on Linux:
//  - ListReaders: the multi-string of all readers (each name NUL-terminated, then one more NUL);
//    0x8010002E when there is no reader; with a buffer too short 0x80100008.
//  - GetStatusChange: per record, a card gives CHANGED|PRESENT (plus EXCLUSIVE or INUSE while a
//    connection is open) with the ATR, no card CHANGED|EMPTY, a reader marked unknown
//    CHANGED|UNKNOWN, plus PRESENT (no ATR) while a card is in it; a reader not attached fails
//    the query with 0x80100009. When no record differs from its current state the answer is
//    0x8010000A (the fake never waits).
//  - Connect: 0x80100009 for a reader not attached, 0x8010000C without a card, 0x8010000B when
//    an exclusive connection is open on the reader (or one is asked for while others are open).
//    The active protocol is the reader's (T=1 unless SetProtocol said otherwise).
//  - A card removed (or replaced) after a connect makes that connection's Status, Transmit and
//    Begin/EndTransaction answer 0x80100069; Disconnect still succeeds. Handle or context 0 or
//    unknown: 0x80100003.
//  - Transmit: every command is answered 90 00 unless scripted. An answer longer than the
//    receive capacity gives 0x80100008 and the needed length, as pcsc-lite does.
//  - A service that stops (StopService) and comes back (StartService): see there.
//
// All members may be used from any thread; the fake holds one lock per call. Hooks run without
// the lock, so they may call the fake again.

#include "card/ReaderSession.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class FakePcsc : public pcsc::Api {
public:
    using DWORD = pcsc::DWORD;
    using LONG = pcsc::LONG;

    enum class Times { Once, Always };

    // The entry points, for Fail() and for the call record.
    enum class Entry {
        EstablishContext,
        ReleaseContext,
        ListReaders,
        GetStatusChange,
        Connect,
        Status,
        Transmit,
        BeginTransaction,
        EndTransaction,
        Disconnect
    };
    static const char* EntryName(Entry entry);

    // One recorded call. Fields that do not apply to the entry point are 0 / empty.
    struct Call {
        Entry entry{};
        std::string reader{};  // Connect, GetStatusChange (first record), and calls on a handle
        DWORD shareMode = 0;   // Connect
        DWORD protocols = 0;   // Connect: preferred protocols
        DWORD disposition = 0; // Disconnect, EndTransaction
        DWORD timeout = 0;     // GetStatusChange
        LONG result = 0;       // what the fake answered
    };

    // One Transmit call.
    struct Apdu {
        std::string reader;     // empty when the handle was invalid
        Bytes command;          // the bytes sent
        DWORD protocol = 0;     // sendPci->protocol (0 when no header was passed)
        DWORD pciLength = 0;    // sendPci->pciLength
        DWORD capacity = 0;     // *recvLength on entry
        bool recvPci = false;   // a receive header was passed
        bool delivered = false; // the command reached a card (live connection, card present)
        LONG result = 0;
    };

    FakePcsc();
    ~FakePcsc() override;
    FakePcsc(const FakePcsc&) = delete;
    FakePcsc& operator=(const FakePcsc&) = delete;

    // ---- Readers and cards -------------------------------------------------------------
    // Readers are listed in the order they were added. An empty ATR means no card.
    void AddReader(const std::string& name, const Bytes& atr = {});
    void RemoveReader(const std::string& name);
    void InsertCard(const std::string& reader, const Bytes& atr);
    void RemoveCard(const std::string& reader);
    // A reader still listed whose state query reports SCARD_STATE_UNKNOWN (with
    // SCARD_STATE_PRESENT as well while a card is in it); it cannot be connected to.
    void SetUnknownState(const std::string& reader, bool unknown = true);
    void SetProtocol(const std::string& reader, DWORD protocol);
    // The next `connects` connects to the reader meet pcscd powering the token up again behind
    // them: such a connection's Status reports no protocol (0) and its Transmit answers
    // 0x8010000F, as pcsc-lite does for a token powered again after the connect.
    void RepowerAfterConnect(const std::string& reader, int connects = 1);
    bool HasCard(const std::string& reader) const;

    // An ATR of the token family: 20 bytes with the marker "VLM" and `byte14` at position 14
    // (bit 0 DSTU, bit 1 RSA, bit 2 Data Application).
    static Bytes FamilyAtr(std::uint8_t byte14);
    // An ATR without the family marker.
    static Bytes ForeignAtr();

    // "80 F4 01 05" -> {0x80, 0xF4, 0x01, 0x05}: pairs of hex digits, blanks ignored.
    static Bytes Hex(std::string_view text);
    // {0x80, 0xF4} -> "80 F4", for readable test failures.
    static std::string ToHex(const Bytes& bytes);

    // ---- Answers to commands -----------------------------------------------------------
    // A command whose first bytes equal `prefix` gets `response` (data followed by SW1 SW2;
    // any length, also shorter than 2 bytes). Once-answers are used up in the order they were
    // scripted; when none matches, the latest matching Always-answer serves; otherwise the
    // default answer.
    void Answer(const Bytes& prefix, const Bytes& response, Times times = Times::Once);
    // The same with only a status word, e.g. AnswerSw({0x80, 0x48}, 0x6A82).
    void AnswerSw(const Bytes& prefix, std::uint16_t sw, Times times = Times::Once);
    // Transmit answers the result code `code` (no response) for a matching command.
    void AnswerResult(const Bytes& prefix, std::uint32_t code, Times times = Times::Once);
    // The answer of every command that no script matches (90 00 at the start).
    void SetDefaultAnswer(const Bytes& response);
    // Forgets every scripted answer (not the default).
    void ClearAnswers();

    // Card model conveniences: GET CARD ID (80 F6 00 00 08) answers `id` + 90 00 and
    // GET CHALLENGE (00 84 00 00 08) answers `challenge` + 90 00, always.
    void AnswerCardId(const Bytes& id);
    void AnswerChallenge(const Bytes& challenge);

    // ---- Failures of entry points ------------------------------------------------------
    // The entry point answers `code` without doing anything, once (queued) or until ClearFail.
    // Checked before any other rule; for Transmit before the scripted answers.
    void Fail(Entry entry, std::uint32_t code, Times times = Times::Once);
    void ClearFail(Entry entry);

    // ---- The service -------------------------------------------------------------------
    // The resource manager goes away, as when pcscd ends. Until StartService, EstablishContext
    // answers 0x8010001D. Every context and card handle that exists now answers `staleAnswer` to
    // every call from now on, also once the service is back: pcsc-lite 1.9.9 answers 0x8010001D
    // (0x8010001E and 0x80100003 are what other stacks say). Releasing such a context answers
    // the same and forgets it with its handles (a second release: 0x80100003); disconnecting
    // such a handle answers the same and keeps it. Until then they count as open.
    void StopService(std::uint32_t staleAnswer = pcsc::kNoService);
    // The resource manager is back: new contexts work, the old ones stay as they are.
    void StartService();

    // ---- Hooks and texts ---------------------------------------------------------------
    // Called at the start of every Transmit with the command (before the fake looks at the
    // card), e.g. to remove the card in the middle of a sequence.
    void OnTransmit(std::function<void(const Bytes& command)> hook);
    // Called at the end of every Transmit, once the answer is given (e.g. to take the card out
    // right after a truncated answer).
    void OnTransmitted(std::function<void(const Bytes& command)> hook);
    // MessageText gives the real pcsc-lite text by default; this overrides it for one code
    // ("" = the system has no text).
    void SetMessageText(std::uint32_t code, const std::string& text);

    // ---- Record ------------------------------------------------------------------------
    std::vector<Call> Calls() const;
    std::vector<Entry> CallEntries() const;
    std::size_t Count(Entry entry) const;
    std::vector<Apdu> Apdus() const;
    // The commands that reached a card, in order (what a token would have seen).
    std::vector<Bytes> Commands() const;
    // The disposition of every Disconnect call, in order.
    std::vector<DWORD> Dispositions() const;
    std::size_t TransactionsBegun() const;
    std::size_t TransactionsEnded() const;
    // Connections currently open (handles not yet disconnected, or whose context is not yet
    // released when the service stopped under them).
    std::size_t OpenConnections() const;
    // Contexts established and not yet released (also those of a service that stopped).
    std::size_t OpenContexts() const;
    void ClearRecord();

    // ---- pcsc::Api ---------------------------------------------------------------------
    LONG EstablishContext(DWORD scope, pcsc::SCARDCONTEXT* context) override;
    LONG ReleaseContext(pcsc::SCARDCONTEXT context) override;
    LONG ListReaders(pcsc::SCARDCONTEXT context, const char* groups, char* readers,
                     DWORD* readersLength) override;
    LONG GetStatusChange(pcsc::SCARDCONTEXT context, DWORD timeout, pcsc::ReaderState* states,
                         DWORD count) override;
    LONG Connect(pcsc::SCARDCONTEXT context, const char* reader, DWORD shareMode,
                 DWORD preferredProtocols, pcsc::SCARDHANDLE* card, DWORD* activeProtocol) override;
    LONG Status(pcsc::SCARDHANDLE card, char* readerName, DWORD* readerLength, DWORD* state,
                DWORD* protocol, unsigned char* atr, DWORD* atrLength) override;
    LONG Transmit(pcsc::SCARDHANDLE card, const pcsc::IoRequest* sendPci, const unsigned char* send,
                  DWORD sendLength, pcsc::IoRequest* recvPci, unsigned char* recv,
                  DWORD* recvLength) override;
    LONG BeginTransaction(pcsc::SCARDHANDLE card) override;
    LONG EndTransaction(pcsc::SCARDHANDLE card, DWORD disposition) override;
    LONG Disconnect(pcsc::SCARDHANDLE card, DWORD disposition) override;
    std::string MessageText(std::uint32_t code) override;

private:
    struct ReaderInfo {
        std::string name;
        Bytes atr; // empty: no card
        bool unknown = false;
        DWORD protocol = pcsc::kProtocolT1;
        std::uint64_t cardSerial = 0; // changes with every insert and remove
        int repowers = 0;             // connects still to meet a power-up behind them
    };
    struct Connection {
        std::string reader;
        DWORD shareMode = 0;
        DWORD protocol = 0;
        std::uint64_t cardSerial = 0;
        pcsc::SCARDCONTEXT context = 0;
        bool repowered = false; // the token was powered again after this connect
    };
    // A context or handle of a service that has stopped, and what it answers.
    struct Stale {
        std::uint32_t answer = 0;
        std::string reader;             // handles
        pcsc::SCARDCONTEXT context = 0; // handles: the context they were made on
    };
    struct Script {
        Bytes prefix;
        Bytes response;
        std::optional<std::uint32_t> result;
    };
    struct Failure {
        std::deque<std::uint32_t> once;
        std::optional<std::uint32_t> always;
    };

    ReaderInfo* FindReader(const std::string& name);
    const ReaderInfo* FindReader(const std::string& name) const;
    std::optional<std::uint32_t> TakeFailure(Entry entry);
    // The connection of a handle when it is known; sets `code` otherwise.
    Connection* FindConnection(pcsc::SCARDHANDLE card);
    bool CardStillThere(const Connection& connection) const;
    // Transmit's answer, between the two hooks.
    LONG Deliver(pcsc::SCARDHANDLE card, const pcsc::IoRequest* sendPci, const Bytes& command,
                 bool sent, pcsc::IoRequest* recvPci, unsigned char* recv, DWORD* recvLength);
    // A context or handle from before the service stopped: its answer; nothing for any other.
    std::optional<std::uint32_t> StaleContext(pcsc::SCARDCONTEXT context) const;
    const Stale* StaleHandle(pcsc::SCARDHANDLE card) const;
    LONG Record(Call call);
    void AddScript(Script script, Times times);

    mutable std::recursive_mutex mutex_;
    std::vector<ReaderInfo> readers_;
    std::map<pcsc::SCARDCONTEXT, bool> contexts_;
    std::map<pcsc::SCARDHANDLE, Connection> connections_;
    bool serviceRunning_ = true;
    std::map<pcsc::SCARDCONTEXT, Stale> staleContexts_;
    std::map<pcsc::SCARDHANDLE, Stale> staleHandles_;
    std::map<Entry, Failure> failures_;
    std::deque<Script> once_;
    std::vector<Script> always_;
    Bytes defaultAnswer_{0x90, 0x00};
    std::map<std::uint32_t, std::string> texts_;
    std::function<void(const Bytes&)> onTransmit_;
    std::function<void(const Bytes&)> onTransmitted_;
    std::vector<Call> calls_;
    std::vector<Apdu> apdus_;
    pcsc::SCARDCONTEXT nextContext_ = 0x1000;
    pcsc::SCARDHANDLE nextHandle_ = 0x2000;
    std::uint64_t nextSerial_ = 1;
};
