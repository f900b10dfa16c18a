#pragma once
// The token command layer: the reader session extended with what Orvane knows about its own
// family of tokens (identification from the answer-to-reset, PIN and key commands).

#include "ReaderSession.h"

#include <cstdint>
#include <string>

// Members of CardApps, with their bits in the set byte.
enum CardApp : std::uint8_t { appRSA = 0x01, appDSTU = 0x02, appData = 0x04 };
using CardAppSet = std::uint8_t;

inline bool HasApp(CardAppSet apps, CardApp app) {
    return (apps & app) != 0;
}

// Secret references on the token.
inline constexpr std::uint8_t kRefPin = 0x05;
inline constexpr std::uint8_t kRefPuk = 0x06;
inline constexpr std::uint8_t kRefGroupKey = 0x09;
inline constexpr std::uint8_t kRefUnblockKey = 0x11;

class TokenSession : public ReaderSession {
public:
    using ReaderSession::ReaderSession;

    // Connects (one retry after a disconnect), reads CardApps from the ATR and, for a token of
    // the family without application bits, CardId by GET CARD ID.
    bool ConnectCard();
    void ReadCardId(std::string& id);
    // PIN-type values are the typed characters as bytes (CP1251), at most 8, padded with FF.
    // VerifyPin wipes its working copy of the value after the exchange.
    bool VerifyPin(std::uint8_t reference, Bytes value);
    bool StorePin(std::uint8_t reference, const Bytes& value, std::uint8_t attribute);
    bool StoreKey(std::uint8_t reference, const std::uint8_t* key, std::size_t length,
                  std::uint8_t attribute);

    CardAppSet CardApps = 0;
    std::string CardId;
};
