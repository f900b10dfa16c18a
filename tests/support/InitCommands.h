#pragma once
// The commands of one initialization attempt, part by part, as the token family takes them: the
// one expected stream that both the engine's attempt (tests/engine) and the window's run
// (tests/init) are checked against. Every command in FakePcsc::ToHex form ("80 F4 01 05 ...").

#include "support/FakePcsc.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace initcommands {

using Stream = std::vector<std::string>;

// The commands that name a step, for scripting a token's answer to it.
inline const std::string kSelectMf = "00 A4 00 00 02 3F 00";
inline const std::string kSelectRsa = "00 A4 04 00 08 FA 56 4C 4D 52 53 41 44";
inline const std::string kSelectDstu = "00 A4 04 00 0A FA 56 4C 4D 53 47 34 31 34 35";
inline const std::string kSelectData = "00 A4 04 00 0A FA 56 4C 4D 44 41 54 41 61 75";
inline const std::string kCheckGlobalPin = "80 F2 00 05 01";
inline const std::string kMfCode = "80 48 4D 46 08 33 31 37 34 30 32 35 39";
inline const std::string kActivateData = "80 46 00 00 04 01 00 00 00";
inline const std::string kUpdateBinary = "00 D6 82 00 06 00 00 00 00 00 00";
inline const std::string kClearCache = "80 E0 02 00";
inline const std::string kCardIdQuery = "80 F6 00 00 08";

// N bytes counting up from `first`: the tests' keys (the unblock key A0.., the RSA group key
// 00.., the DSTU group key 20..).
template <std::size_t N> std::array<std::uint8_t, N> Sequence(std::uint8_t first) {
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

template <std::size_t N> Bytes ToBytes(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

// What the settings put on a token, in the token's bytes.
struct Secrets {
    Bytes pin;                     // 8 bytes, padded with FF
    Bytes puk;                     // 8 bytes, padded with FF
    std::uint8_t pukAttribute = 0; // 44: may unblock the PIN; 00: blocked
    Bytes unblockKey;              // 16 bytes
    std::uint8_t keyAttribute = 0; // EE: usable; 00: blocked
    std::uint8_t groupRsa = 0;
    Bytes groupKeyRsa; // 32 bytes
    std::uint8_t groupDstu = 0;
    Bytes groupKeyDstu; // 32 bytes
    Bytes name;         // 32 bytes, zero-padded
};

inline std::string Command(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return FakePcsc::ToHex(all);
}

inline std::string Command(const std::string& hex) {
    return FakePcsc::ToHex(FakePcsc::Hex(hex));
}

// Every token: the checks, the clean-up of the applications, the MF code and the three secrets.
inline Stream Common(const Secrets& s) {
    const Bytes none(8, 0x00);
    return {
        Command(kSelectMf),
        Command(kCheckGlobalPin),
        Command(kSelectRsa),
        Command({FakePcsc::Hex("80 48 00 00 08 01"), Bytes(7, 0x00)}),
        Command(kSelectDstu),
        Command({FakePcsc::Hex("80 46 00 00 28 01"), Bytes(7, 0x00), s.name}),
        Command(kSelectData),
        Command(kActivateData),
        Command(kSelectMf),
        Command(kMfCode),
        Command({FakePcsc::Hex("80 F4 01 05 0A 05 77"), s.pin}),
        Command({FakePcsc::Hex("80 F4 01 06 0A 05"), {s.pukAttribute}, s.puk}),
        Command({FakePcsc::Hex("80 F4 01 11 12 05"), {s.keyAttribute}, s.unblockKey}),
    };
}

// A token with the RSA application: its group key and group, the PIN verified, the cache cleared.
inline Stream Rsa(const Secrets& s) {
    return {
        Command(kSelectRsa),
        Command({FakePcsc::Hex("80 F4 01 09 22 05 99"), s.groupKeyRsa}),
        Command({FakePcsc::Hex("80 48 00 00 08 01 00 00 00 00"), {s.groupRsa}, Bytes(2, 0x00)}),
        Command({FakePcsc::Hex("00 20 00 05 08"), s.pin}),
        Command(kUpdateBinary),
        Command(kClearCache),
    };
}

// A token with the DSTU application: its group key, group and the device name.
inline Stream Dstu(const Secrets& s) {
    return {
        Command(kSelectDstu),
        Command({FakePcsc::Hex("80 F4 01 09 22 05 99"), s.groupKeyDstu}),
        Command({FakePcsc::Hex("80 46 00 00 28 01 00 00 00 00"),
                 {s.groupDstu},
                 Bytes(2, 0x00),
                 s.name}),
    };
}

inline Stream Data() {
    return {Command(kSelectData), Command(kActivateData)};
}

inline Stream Final() {
    return {Command(kSelectMf), Command(kClearCache)};
}

// The whole attempt on a token whose answer to reset names `apps` (bit 0 DSTU, bit 1 RSA, bit 2
// Data Application); a token naming none is asked for its number first.
inline Stream Attempt(std::uint8_t apps, const Secrets& s) {
    Stream all;
    const auto add = [&all](const Stream& part) {
        all.insert(all.end(), part.begin(), part.end());
    };
    if (apps == 0)
        add({Command(kCardIdQuery)});
    add(Common(s));
    if (apps & 0x02)
        add(Rsa(s));
    if (apps & 0x01)
        add(Dstu(s));
    if (apps & 0x04)
        add(Data());
    add(Final());
    return all;
}

// What the tests' default settings put on a token: PIN "1234", no PUK and the unblock key A0..AF
// both blocked, RSA group D1 with key 00..1F, DSTU group 07 with key 20..3F, no name.
inline Secrets DefaultSecrets() {
    return {FakePcsc::Hex("31 32 33 34 FF FF FF FF"),
            Bytes(8, 0xFF),
            0x00,
            ToBytes(Sequence<16>(0xA0)),
            0x00,
            0xD1,
            ToBytes(Sequence<32>(0x00)),
            0x07,
            ToBytes(Sequence<32>(0x20)),
            Bytes(32, 0x00)};
}

} // namespace initcommands
