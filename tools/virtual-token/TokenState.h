#pragma once
// The stored content of one virtual token and its JSON form (the --state file).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vtoken {

using Bytes = std::vector<std::uint8_t>;

// Upper-case hex without separators ("31740259" -> "3331373430323539").
std::string ToHex(const std::uint8_t* data, std::size_t length);
inline std::string ToHex(const Bytes& bytes) {
    return ToHex(bytes.data(), bytes.size());
}
// Reads hex digits (either case); blanks between digits are allowed. nullopt on any other character
// or an odd digit count.
std::optional<Bytes> FromHex(const std::string& text);

// Secret references.
inline constexpr std::uint8_t kRefPin = 0x05;
inline constexpr std::uint8_t kRefPuk = 0x06;
inline constexpr std::uint8_t kRefGroupKey = 0x09;
inline constexpr std::uint8_t kRefUnblockKey = 0x11;

// Attribute of the unblock key that makes it usable for unblocking; any other value blocks it.
inline constexpr std::uint8_t kUnblockUsable = 0xEE;

inline constexpr std::size_t kPinLength = 8;
inline constexpr std::size_t kUnblockKeyLength = 16;
inline constexpr std::size_t kGroupKeyLength = 32;
inline constexpr std::size_t kNameLength = 32;
inline constexpr std::size_t kGroupDataLength = 8;
inline constexpr std::size_t kCardIdLength = 8;
inline constexpr std::size_t kFile02Length = 16;

// A secret object: its value (empty = never written), its attribute and, for PIN-type secrets,
// its try counter.
struct Secret {
    Bytes value;
    std::uint8_t attribute = 0;
    int triesLeft = 0;
    int maxTries = 0;

    bool operator==(const Secret&) const = default;
};

enum class AppId { RSA = 0, DSTU = 1, Data = 2 };
inline constexpr std::size_t kAppCount = 3;

struct Application {
    bool carried = true;
    Secret groupKey;                                    // reference 09
    std::array<std::uint8_t, kGroupDataLength> group{}; // last SET GROUP / long ACTIVATE data
    std::array<std::uint8_t, kNameLength> name{};       // device name field
    bool activated = false;
    std::array<std::uint8_t, kFile02Length> file02{}; // elementary file 02 (UPDATE BINARY)

    // The group number as the administrator set it: bytes 4 and 5 of the group data.
    std::uint16_t groupCode() const { return static_cast<std::uint16_t>(group[4] << 8 | group[5]); }
    bool operator==(const Application&) const = default;
};

// What a session has proven since the last power-on or reset. The state file shows it for
// tests; a token inserted from its file starts without a session.
struct Session {
    enum class Df { MF, RSA, DSTU, Data };
    bool powered = false;
    Df selected = Df::MF;
    bool admin = false;       // MF CODE accepted
    bool pinVerified = false; // VERIFY 05 accepted
    bool unblock = false;     // EXTERNAL AUTHENTICATE 11 or VERIFY 06 accepted: may store a PIN
    bool operator==(const Session&) const = default;
};

struct TokenState {
    bool foreign = false; // a token of another family: ATR without the marker
    std::array<std::uint8_t, kCardIdLength> cardId{};
    Bytes mfCode;      // the code MF CODE must present
    Secret pin;        // 05
    Secret puk;        // 06
    Secret unblockKey; // 11
    std::array<Application, kAppCount> apps;
    Bytes challenge;     // pending GET CHALLENGE value; empty = none
    Bytes userChallenge; // challenge shown to the user by user-challenge; empty = none
    Session session;

    Application& app(AppId id) { return apps[static_cast<std::size_t>(id)]; }
    const Application& app(AppId id) const { return apps[static_cast<std::size_t>(id)]; }

    // A token as it leaves the factory: PIN "12345678" with 3 tries, PUK and unblock key not
    // written, the transport code "31740259", all three applications, empty groups and names.
    static TokenState Factory();

    // Application bits of the ATR: bit0 DSTU, bit1 RSA, bit2 Data.
    std::uint8_t appBits() const;
    std::vector<std::uint8_t> Atr() const;

    std::string ToJson() const;
    // Reads a state file's text; missing members keep their factory values. nullopt (with the
    // reason in `error`) for text that is not a state document or holds a malformed value.
    static std::optional<TokenState> FromJson(const std::string& text, std::string* error);

    bool operator==(const TokenState&) const = default;
};

const char* AppName(AppId id); // "rsa", "dstu", "data"
std::optional<AppId> AppFromName(const std::string& name);
const Bytes& AppAid(AppId id); // FA "VLMRSAD", FA "VLMSG4145", FA "VLMDATAau"

// Parses "rsa,dstu,data", any subset in any order, or "none". nullopt on an unknown name.
std::optional<std::array<bool, kAppCount>> ParseAppList(const std::string& text);

// Loads a state file (nullopt + reason when it cannot be read or parsed) and stores one
// atomically (a temporary file in the same folder, renamed over it).
std::optional<TokenState> LoadStateFile(const std::string& path, std::string* error);
bool SaveStateFile(const std::string& path, const std::string& json, std::string* error);

} // namespace vtoken
