#include "KeyCheck.h"

#include "crypto/TripleDes.h"
#include "crypto/Wipe.h"

#include <algorithm>

std::string KeyCheckValue(const UnblockKeyBytes& key) {
    std::uint8_t block[8] = {};
    TripleDes cipher(key.data());
    cipher.EncryptBlock(block);
    static const char digits[] = "0123456789ABCDEF";
    std::string kcv;
    for (int i = 0; i < 3; ++i) {
        kcv += digits[block[i] >> 4];
        kcv += digits[block[i] & 0x0F];
    }
    // The rest of the block is more of the key's fingerprint than the record needs.
    Wipe(block, sizeof block);
    return kcv;
}

KeyWeakness WeaknessOf(const UnblockKeyBytes& key) {
    if (key == kDefaultUnblockKey)
        return KeyWeakness::DefaultKey;
    if (std::equal(key.begin(), key.begin() + 8, key.begin() + 8))
        return KeyWeakness::SingleDes;
    return KeyWeakness::None;
}
