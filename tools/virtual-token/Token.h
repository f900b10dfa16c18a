#pragma once
// The virtual token's behaviour: answers command APDUs and the reader's power events from its
// TokenState. The rules it follows are listed at the top of main.cpp.

#include "TokenState.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vtoken {

// ISO 7816-4 status words the token answers.
inline constexpr std::uint16_t SW_OK = 0x9000;
inline constexpr std::uint16_t SW_VERIFICATION_FAILED = 0x6300;
inline constexpr std::uint16_t SW_WRONG_LENGTH = 0x6700;
inline constexpr std::uint16_t SW_SECURITY_NOT_SATISFIED = 0x6982;
inline constexpr std::uint16_t SW_AUTH_BLOCKED = 0x6983;
inline constexpr std::uint16_t SW_REF_NOT_USABLE = 0x6984;
inline constexpr std::uint16_t SW_CONDITIONS_NOT_SATISFIED = 0x6985;
inline constexpr std::uint16_t SW_WRONG_DATA = 0x6A80;
inline constexpr std::uint16_t SW_NOT_FOUND = 0x6A82;
inline constexpr std::uint16_t SW_WRONG_P1P2 = 0x6A86;
inline constexpr std::uint16_t SW_REF_NOT_FOUND = 0x6A88;
inline constexpr std::uint16_t SW_WRONG_OFFSET = 0x6B00;
inline constexpr std::uint16_t SW_INS_NOT_SUPPORTED = 0x6D00;
inline constexpr std::uint16_t SW_CLA_NOT_SUPPORTED = 0x6E00;
inline constexpr std::uint16_t SW_TRIES_LEFT = 0x63C0; // | remaining tries

// A refusal injected with --fail: a command with this INS (and P2, and data starting with this
// prefix, where given) is answered with `sw` and has no effect.
struct Refusal {
    std::uint8_t ins = 0;
    std::optional<std::uint8_t> p2;
    Bytes dataPrefix;
    std::uint16_t sw = 0;
};
// Parses "INS[/P2][:DATAHEX]=SW", all hex ("F4/11=6A82", "A4:FA564C4D=6A82").
std::optional<Refusal> ParseRefusal(const std::string& text);

class Token {
public:
    explicit Token(TokenState state) : state_(std::move(state)) {}

    const TokenState& state() const { return state_; }
    TokenState& state() { return state_; }

    void AddRefusal(const Refusal& refusal) { refusals_.push_back(refusal); }

    // The reader's control events. Each ends the session: selection back to the master file,
    // every right gained and the pending challenge are gone.
    void PowerOn();
    void PowerOff();
    void Reset();
    std::vector<std::uint8_t> Atr() const { return state_.Atr(); }

    // One command APDU; the answer is the response data followed by SW1 SW2.
    Bytes Process(const Bytes& apdu);

private:
    struct Command;
    void EndSession(bool powered);
    std::uint16_t Select(const Command& c);
    std::uint16_t CheckGlobalPin(const Command& c, Bytes& out);
    std::uint16_t MfCodeOrGroup(const Command& c);
    std::uint16_t Activate(const Command& c);
    std::uint16_t UpdateBinary(const Command& c);
    std::uint16_t ClearCache(const Command& c);
    std::uint16_t StoreSecret(const Command& c);
    std::uint16_t Verify(const Command& c);
    std::uint16_t GetChallenge(const Command& c, Bytes& out);
    std::uint16_t ExternalAuthenticate(const Command& c);
    std::uint16_t GetCardId(const Command& c, Bytes& out);
    Application* SelectedApp();

    TokenState state_;
    std::vector<Refusal> refusals_;
};

// The user's side of the challenge-response unblocking, working on a stored token.
// NewUserChallenge makes and remembers a fresh challenge (false when no random bytes came).
bool NewUserChallenge(TokenState& state, Bytes& challenge);

enum class UserResponse {
    Accepted,    // PIN unblocked: its try counter is full again
    NoChallenge, // user-challenge was not run (or its challenge was used up)
    NoKey,       // the token holds no unblock key
    KeyBlocked,  // the unblock key's attribute does not allow unblocking
    Wrong,       // the response does not belong to the challenge under the token's key
};
UserResponse CheckUserResponse(TokenState& state, const Bytes& response);

// "01 23 45 67 89 AB CD EF".
std::string GroupedHex(const Bytes& bytes);

} // namespace vtoken
