#pragma once
// The reader session: one PC/SC context, one selected reader, at most one card connection.
//
// The context outlives a restart of the PC/SC service: a call that takes the context
// (ListReaders, GetStatusChange, Connect) and hears that the context is gone establishes a new
// one, once per session call, and repeats itself once on it. A card connection does not survive
// a restart: calls on the card handle fail and the caller connects again.

#include "PcscApi.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A command (a complete APDU) or a response (its data without the status word); at most 255 bytes.
using Bytes = std::vector<std::uint8_t>;

// The session's own result codes, kept in LastResult.
inline constexpr std::uint32_t kErrResponseSize = 0x60000002;
inline constexpr std::uint32_t kErrStatusWord = 0x60000003;

class ReaderSession {
public:
    using Atr = std::array<std::uint8_t, 64>;

    explicit ReaderSession(pcsc::Api& api = pcsc::CurrentApi());
    virtual ~ReaderSession();
    ReaderSession(const ReaderSession&) = delete;
    ReaderSession& operator=(const ReaderSession&) = delete;

    // Position 0 is "<None>"; 1.. are the usable readers in the system's order; "" past the end.
    std::string GetReaderName(int position);
    // The usable readers (listed, and their state known) in the system's order, the first `upTo`
    // of them at most: one listing for all of them.
    std::vector<std::string> UsableReaders(int upTo = 1 << 30);
    void SelectReader(const std::string& name);
    bool IsCardPresent();
    // What the selected reader holds, with a service that does not answer told apart (where
    // IsCardPresent counts it as a card present): a waiting caller must take it for neither a
    // token inserted nor a token removed.
    enum class Presence { Absent, Present, NoService };
    Presence ReadPresence();
    // The reader's count of insertions and removals at the last ReadPresence that answered: a
    // token seen present twice with another count between was taken out and another put in.
    std::uint16_t LastEventCount = 0;
    // The answer to reset of the token seen by the last ReadPresence that found one, or of the
    // last successful Connect: with the card number, what tells one token from another.
    std::vector<std::uint8_t> LastAtr;
    bool Connect(Atr& atr, std::uint32_t& atrLength);
    bool Disconnect();
    bool Transmit(const Bytes& command, Bytes& response);
    std::string LastErrorText() const;
    std::uint32_t BeginTransaction();
    std::uint32_t EndTransaction();

    std::string Reader;
    std::uint32_t ActiveProtocol = 0;
    bool Exclusive = true;
    pcsc::SCARDCONTEXT Context = 0;
    pcsc::SCARDHANDLE CardHandle = 0;
    std::uint32_t LastResult = 0;
    std::uint16_t StatusWord = 0;

protected:
    pcsc::Api& Pcsc;

private:
    // Connects at most this often while the service hands back a token without a protocol.
    static constexpr int kConnectAttempts = 3;
    // One connect and the status query that reads the ATR and the protocol in force.
    bool ConnectOnce(Atr& atr, std::uint32_t& atrLength);
    // Runs `call` with the session's context. When the answer says the context is gone and
    // `renewed` is still false, sets it, establishes a new context and runs `call` once more on
    // it. Answers the result that stands: the repeated call's, or the first one's when no new
    // context could be had.
    template <typename Call> std::uint32_t OnContext(bool& renewed, Call call);
    // A new context in place of the current one, which is released only once the new one exists;
    // false (and the current context kept) while the service is away.
    bool RenewContext();
};
