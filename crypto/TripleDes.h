// Two-key Triple-DES (FIPS 46-3 DES in encrypt-decrypt-encrypt form, third key equal to the
// first) for the unblock procedures: challenge-response and the PIN reset.
//
// Byte and bit order follow FIPS 46-3: byte 0 of a block or key holds bits 1 to 8, bit 1 being
// its most significant bit. The least significant bit of every key byte is a parity bit and is
// ignored. Nothing is checked: any 16 bytes are a key, weak keys included.
#pragma once

#include <cstddef>
#include <cstdint>

// Two-key Triple-DES. The 16-byte key is K1 (bytes 0-7) followed by K2 (bytes 8-15); only the
// two subkey schedules are kept, and they are wiped when the object goes away. Each operation
// transforms one 8-byte block in place.
class TripleDes final {
public:
    // key: the address of 16 bytes.
    explicit TripleDes(const uint8_t* key);
    ~TripleDes();
    TripleDes(const TripleDes&) = delete;
    TripleDes& operator=(const TripleDes&) = delete;

    // E_K1(D_K2(E_K1(x)))
    void EncryptBlock(uint8_t* block);
    // D_K1(E_K2(D_K1(x)))
    void DecryptBlock(uint8_t* block);
    // E_K1(x)
    void EncryptBlockFirstStage(uint8_t* block);
    // E_K1(D_K2(x)): applied after EncryptBlockFirstStage it completes EncryptBlock.
    void EncryptBlockLastStages(uint8_t* block);

    // Encrypts every whole 8-byte block of buffer in place, each on its own (no chaining).
    // A trailing partial block is left as it is, so a length below 8 changes nothing.
    void EncryptECB(uint8_t* buffer, size_t length);

private:
    // Subkeys 1..16 of K1 in entries 0-15, subkeys 1..16 of K2 in entries 16-31. Each 48-bit
    // subkey is held as two words laid out for the round function: word 0 carries the 6-bit
    // groups 1, 3, 5, 7 and word 1 the groups 2, 4, 6, 8, one group in the low six bits of each
    // byte, the lower-numbered group in the higher byte.
    uint32_t subKeys_[32][2];
};
