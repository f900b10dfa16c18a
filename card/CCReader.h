#pragma once
// The reader session extended with what Orvane knows about its own family of tokens.

#include "StdReader.h"

#include <cstdint>
#include <string>

// Members of CardApps, with their bits in the set byte.
enum TCardApp : std::uint8_t { appRSA = 0x01, appDSTU = 0x02, appData = 0x04 };
using TCardApps = std::uint8_t;

inline bool HasApp(TCardApps apps, TCardApp app) {
    return (apps & app) != 0;
}

// Secret references on the token.
inline constexpr std::uint8_t REF_PIN = 0x05;
inline constexpr std::uint8_t REF_PUK = 0x06;
inline constexpr std::uint8_t REF_GROUP_KEY = 0x09;
inline constexpr std::uint8_t REF_UNBLOCK_KEY = 0x11;

class TCCReader : public TScReader {
public:
    using TScReader::TScReader;

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

    TCardApps CardApps = 0;
    std::string CardId;
};
