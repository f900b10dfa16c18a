#include "TokenSession.h"

#include "crypto/Wipe.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace {

// Tokens of the family carry these three bytes somewhere in their ATR.
constexpr std::array<std::uint8_t, 3> kFamilyMarker{'V', 'L', 'M'};
// Position of the application bits in a family ATR.
constexpr std::size_t kAppByte = 14;
// PIN-type values are sent as exactly this many bytes.
constexpr std::size_t kPinLength = 8;
// Longest key that still fits a STORE SECRET command of 255 bytes.
constexpr std::size_t kMaxKeyLength = 248;

// The header followed by the value cut to 8 bytes and padded with FF. The command is made in
// its final size at once: a buffer outgrown while the value is added would be released with the
// value still in it.
Bytes PinCommand(std::initializer_list<std::uint8_t> header, const Bytes& value) {
    Bytes command;
    command.reserve(header.size() + kPinLength);
    command.assign(header);
    const std::size_t used = std::min(value.size(), kPinLength);
    command.insert(command.end(), value.begin(), value.begin() + used);
    command.insert(command.end(), kPinLength - used, 0xFF);
    return command;
}

} // namespace

bool TokenSession::ConnectCard() {
    Atr atr{};
    std::uint32_t atrLength = 0;
    bool connected = Connect(atr, atrLength);
    if (!connected) {
        Disconnect();
        connected = Connect(atr, atrLength);
    }

    CardApps = 0;
    CardId.clear();

    if (connected) {
        const auto end = atr.begin() + std::min<std::size_t>(atrLength, atr.size());
        if (std::search(atr.begin(), end, kFamilyMarker.begin(), kFamilyMarker.end()) == end)
            return true; // not a token of the family: nothing more to learn
        if (atrLength > kAppByte) {
            const std::uint8_t bits = atr[kAppByte];
            if (bits & 0x01)
                CardApps |= appDSTU;
            if (bits & 0x02)
                CardApps |= appRSA;
            if (bits & 0x04)
                CardApps |= appData;
        }
    }

    if (CardApps == 0) {
        if (connected) {
            ReadCardId(CardId);
        } else {
            // Without a connection the identifier query can only be refused; keep the cause of
            // the failed connect for the caller's message.
            const std::uint32_t result = LastResult;
            const std::uint16_t statusWord = StatusWord;
            ReadCardId(CardId);
            LastResult = result;
            StatusWord = statusWord;
        }
    }
    return connected;
}

void TokenSession::ReadCardId(std::string& id) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string identifier;
    Bytes response;
    // Only a full 8-byte answer makes an identifier; a shorter one leaves it empty.
    if (Transmit({0x80, 0xF6, 0x00, 0x00, 0x08}, response) && response.size() >= 8) {
        for (std::size_t i = 8; i-- > 0;) {
            identifier.push_back(kDigits[response[i] >> 4]);
            identifier.push_back(kDigits[response[i] & 0x0F]);
        }
    }
    id = identifier;
    CardId = identifier;
}

bool TokenSession::VerifyPin(std::uint8_t reference, Bytes value) {
    Bytes command = PinCommand({0x00, 0x20, 0x00, reference, 0x08}, value);
    Bytes response;
    const bool ok = Transmit(command, response);
    // The working copy of the PIN and the command that carried it are wiped, whole storage.
    SecretBytes::WipeVector(value);
    SecretBytes::WipeVector(command);
    return ok;
}

bool TokenSession::StorePin(std::uint8_t reference, const Bytes& value, std::uint8_t attribute) {
    Bytes command = PinCommand({0x80, 0xF4, 0x01, reference, 0x0A, 0x05, attribute}, value);
    Bytes response;
    const bool ok = Transmit(command, response);
    SecretBytes::WipeVector(command);
    return ok;
}

bool TokenSession::StoreKey(std::uint8_t reference, const std::uint8_t* key, std::size_t length,
                            std::uint8_t attribute) {
    if (length > kMaxKeyLength || (key == nullptr && length != 0)) {
        // Its length byte could not count it: refused before anything is sent.
        StatusWord = 0x1111;
        LastResult = pcsc::kInvalidParameter;
        return false;
    }
    Bytes command(7 + length);
    command[0] = 0x80;
    command[1] = 0xF4;
    command[2] = 0x01;
    command[3] = reference;
    command[4] = static_cast<std::uint8_t>(length + 2);
    command[5] = 0x05;
    command[6] = attribute;
    if (length != 0)
        std::copy_n(key, length, command.begin() + 7);
    Bytes response;
    const bool ok = Transmit(command, response);
    SecretBytes::WipeVector(command);
    return ok;
}
