// 8-byte block ciphers: the common base and two-key Triple-DES (FIPS 46-3 DES in
// encrypt-decrypt-encrypt form, third key equal to the first).
//
// Byte and bit order follow FIPS 46-3: byte 0 of a block or key holds bits 1 to 8, bit 1 being
// its most significant bit. The least significant bit of every key byte is a parity bit and is
// ignored. Nothing is checked: any 16 bytes are a key, weak keys included.
#pragma once

#include <cstddef>
#include <cstdint>

// Base of the ciphers with 8-byte blocks. A concrete cipher supplies the four block operations;
// each transforms one 8-byte block in place.
class TBlockChipherB8 {
public:
    TBlockChipherB8() = default;
    TBlockChipherB8(const TBlockChipherB8&) = delete;
    TBlockChipherB8& operator=(const TBlockChipherB8&) = delete;

    // Declared first so that they keep their places at the head of the virtual table.
    virtual void EncryptBlock(uint8_t* block) = 0;
    virtual void DecryptBlock(uint8_t* block) = 0;
    virtual void EncryptBlockFirstStage(uint8_t* block) = 0;
    virtual void EncryptBlockLastStages(uint8_t* block) = 0;

    virtual ~TBlockChipherB8();

    // Clears the block register and the counter.
    void Reset();

    // Encrypts every whole 8-byte block of buffer in place, each on its own (no chaining).
    // A trailing partial block is left as it is, so a length below 8 changes nothing.
    void EncryptECB(uint8_t* buffer, size_t length);

protected:
    uint8_t FBlock[8] = {};
    uint32_t FCounter = 0;
};

// Two-key Triple-DES. The 16-byte key is K1 (bytes 0-7) followed by K2 (bytes 8-15); only the
// two subkey schedules are kept, and they are wiped when the object goes away.
class TTripleDes final : public TBlockChipherB8 {
public:
    // key: the address of 16 bytes.
    explicit TTripleDes(const uint8_t* key);
    ~TTripleDes() override;

    // E_K1(D_K2(E_K1(x)))
    void EncryptBlock(uint8_t* block) override;
    // D_K1(E_K2(D_K1(x)))
    void DecryptBlock(uint8_t* block) override;
    // E_K1(x)
    void EncryptBlockFirstStage(uint8_t* block) override;
    // E_K1(D_K2(x)): applied after EncryptBlockFirstStage it completes EncryptBlock.
    void EncryptBlockLastStages(uint8_t* block) override;

private:
    // Subkeys 1..16 of K1 in entries 0-15, subkeys 1..16 of K2 in entries 16-31. Each 48-bit
    // subkey is held as two words laid out for the round function: word 0 carries the 6-bit
    // groups 1, 3, 5, 7 and word 1 the groups 2, 4, 6, 8, one group in the low six bits of each
    // byte, the lower-numbered group in the higher byte.
    uint32_t FSubKeys[32][2];
};
