// The token command layer: identification from the ATR, the identifier, and the bytes of the
// PIN and key commands.

#include "card/TokenSession.h"
#include "support/FakePcsc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

// ---- Released memory watch --------------------------------------------------------------
// This program's heap goes through the operators below. While a secret is watched, every block
// that a container gives back (sized delete) is searched for it: a PIN or key that a command
// built and then let go of without wiping shows up here. (The operators stay out of line so that
// the compiler does not pair our malloc and free with the standard operators.)

namespace heap_watch {
const Bytes* secret = nullptr;
int released = 0; // blocks searched while watching
int found = 0;    // of them, blocks still holding the secret

void Search(const void* block, std::size_t size) {
    if (secret == nullptr || block == nullptr)
        return;
    ++released;
    const auto* begin = static_cast<const std::uint8_t*>(block);
    if (std::search(begin, begin + size, secret->begin(), secret->end()) != begin + size)
        ++found;
}
} // namespace heap_watch

[[gnu::noinline]] void* operator new(std::size_t size) {
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
    return ::operator new(size);
}
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
[[gnu::noinline]] void operator delete(void* block) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t size) noexcept {
    heap_watch::Search(block, size);
    std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

namespace {

using Entry = FakePcsc::Entry;
using Times = FakePcsc::Times;
const auto H = FakePcsc::Hex;

const std::string kReader = "Token reader";
const Bytes kGetCardId = H("80 F6 00 00 08");

struct CommandLayerTest : ::testing::Test {
    FakePcsc pcsc;
};

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// ---- Identification --------------------------------------------------------------------

struct AtrRow {
    const char* name;
    Bytes atr;
    CardAppSet apps;
    bool asksId;
};

Bytes MarkedAtr(std::size_t length, std::size_t markerAt, std::uint8_t byte14) {
    Bytes atr(length, 0x00);
    atr[0] = 0x3B;
    atr[markerAt] = 'V';
    atr[markerAt + 1] = 'L';
    atr[markerAt + 2] = 'M';
    if (length > 14)
        atr[14] = byte14;
    return atr;
}

TEST_F(CommandLayerTest, ConnectCardReadsTheApplicationsFromTheAtr) {
    const std::vector<AtrRow> rows = {
        {"foreign token", FakePcsc::ForeignAtr(), 0, false},
        {"DSTU and RSA", FakePcsc::FamilyAtr(0x03), appRSA | appDSTU, false},
        {"DSTU", FakePcsc::FamilyAtr(0x01), appDSTU, false},
        {"RSA", FakePcsc::FamilyAtr(0x02), appRSA, false},
        {"Data Application", FakePcsc::FamilyAtr(0x04), appData, false},
        {"all three", FakePcsc::FamilyAtr(0xFF), appRSA | appDSTU | appData, false},
        {"no application bits", FakePcsc::FamilyAtr(0x00), 0, true},
        {"only unknown bits", FakePcsc::FamilyAtr(0xF8), 0, true},
        {"marker at the end", MarkedAtr(20, 17, 0x02), appRSA, false},
        {"14 bytes", MarkedAtr(14, 4, 0), 0, true},
        {"15 bytes", MarkedAtr(15, 4, 0x04), appData, false},
        {"marker cut by the length", Bytes{0x3B, 0x00, 'V', 'L'}, 0, false},
    };
    pcsc.AddReader(kReader);
    pcsc.AnswerCardId(H("A1 B2 C3 D4 E5 F6 07 18"));
    TokenSession reader;
    reader.SelectReader(kReader);
    for (const auto& row : rows) {
        pcsc.InsertCard(kReader, row.atr);
        pcsc.ClearRecord();
        reader.CardId = "stale";
        reader.CardApps = appData;
        EXPECT_TRUE(reader.ConnectCard()) << row.name;
        EXPECT_EQ(reader.CardApps, row.apps) << row.name;
        if (row.asksId) {
            EXPECT_EQ(pcsc.Commands(), std::vector<Bytes>{kGetCardId}) << row.name;
            EXPECT_EQ(reader.CardId, "1807F6E5D4C3B2A1") << row.name;
        } else {
            EXPECT_TRUE(pcsc.Commands().empty()) << row.name;
            EXPECT_EQ(reader.CardId, "") << row.name;
        }
    }
}

TEST_F(CommandLayerTest, TheIdentifierNeedsEightAnswerBytes) {
    const struct {
        const char* name;
        Bytes answer;
        std::string id;
    } rows[] = {
        {"eight bytes", H("01 23 45 67 89 AB CD EF 90 00"), "EFCDAB8967452301"},
        {"more than eight", H("01 23 45 67 89 AB CD EF 11 22 90 00"), "EFCDAB8967452301"},
        {"success with 9001", H("00 00 00 00 00 00 00 0A 90 01"), "0A00000000000000"},
        {"seven bytes", H("01 23 45 67 89 AB CD 90 00"), ""},
        {"no data", H("90 00"), ""},
        {"refused", H("6D 00"), ""},
        {"refused with data", H("01 23 45 67 89 AB CD EF 6A 82"), ""},
    };
    pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x00));
    TokenSession reader;
    reader.SelectReader(kReader);
    for (const auto& row : rows) {
        pcsc.Answer(kGetCardId, row.answer, Times::Always);
        EXPECT_TRUE(reader.ConnectCard()) << row.name;
        EXPECT_EQ(reader.CardId, row.id) << row.name;

        std::string id = "previous";
        pcsc.Answer(kGetCardId, row.answer, Times::Always);
        reader.ReadCardId(id);
        EXPECT_EQ(id, row.id) << row.name;
        EXPECT_EQ(reader.CardId, row.id) << row.name;
    }
}

TEST_F(CommandLayerTest, ConnectCardTriesTwiceWithADisconnectBetween) {
    pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x02));
    TokenSession reader;
    reader.SelectReader(kReader);
    pcsc.Fail(Entry::Status, pcsc::kNotReady); // the first connect opens, then fails
    EXPECT_TRUE(reader.ConnectCard());
    EXPECT_EQ(reader.CardApps, appRSA);
    const std::vector<Entry> expected = {Entry::EstablishContext, Entry::Connect, Entry::Status,
                                         Entry::Disconnect,       Entry::Connect, Entry::Status};
    EXPECT_EQ(pcsc.CallEntries(), expected);
    EXPECT_EQ(pcsc.OpenConnections(), 1u);
}

TEST_F(CommandLayerTest, AFailedConnectKeepsItsCause) {
    pcsc.AddReader(kReader); // no token
    pcsc.AnswerCardId(H("A1 B2 C3 D4 E5 F6 07 18"));
    TokenSession reader;
    reader.SelectReader(kReader);
    reader.CardId = "1807F6E5D4C3B2A1";
    reader.CardApps = appRSA;
    EXPECT_FALSE(reader.ConnectCard());
    EXPECT_EQ(pcsc.Count(Entry::Connect), 2u);
    EXPECT_EQ(reader.CardApps, 0);
    EXPECT_EQ(reader.CardId, "");
    EXPECT_TRUE(pcsc.Commands().empty()); // nothing reached a token
    EXPECT_EQ(reader.LastResult, pcsc::kNoSmartcard);
    EXPECT_EQ(reader.LastErrorText(), "No smart card inserted.");
}

// ---- PIN and key commands --------------------------------------------------------------

TEST_F(CommandLayerTest, PinAndKeyCommandBytes) {
    Bytes key32(32);
    for (std::size_t i = 0; i < key32.size(); ++i)
        key32[i] = static_cast<std::uint8_t>(0xA0 + i);
    const Bytes key16(key32.begin(), key32.begin() + 16);
    const Bytes key248(248, 0x3C);

    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    TokenSession reader;
    reader.SelectReader(kReader);
    ASSERT_TRUE(reader.ConnectCard());

    const struct {
        const char* name;
        std::function<bool()> send;
        Bytes expected;
    } rows[] = {
        {"verify four characters", [&] { return reader.VerifyPin(kRefPin, Text("1234")); },
         H("00 20 00 05 08 31 32 33 34 FF FF FF FF")},
        {"verify empty", [&] { return reader.VerifyPin(kRefPin, {}); },
         H("00 20 00 05 08 FF FF FF FF FF FF FF FF")},
        {"verify ten characters", [&] { return reader.VerifyPin(kRefPuk, Text("0123456789")); },
         H("00 20 00 06 08 30 31 32 33 34 35 36 37")},
        {"store PIN of eight", [&] { return reader.StorePin(kRefPin, Text("12345678"), 0x77); },
         H("80 F4 01 05 0A 05 77 31 32 33 34 35 36 37 38")},
        {"store empty PUK", [&] { return reader.StorePin(kRefPuk, {}, 0x00); },
         H("80 F4 01 06 0A 05 00 FF FF FF FF FF FF FF FF")},
        {"store CP1251 PIN", [&] { return reader.StorePin(kRefPin, H("D2 E5 F1 F2"), 0x77); },
         H("80 F4 01 05 0A 05 77 D2 E5 F1 F2 FF FF FF FF")},
        {"store nine characters", [&] { return reader.StorePin(kRefPuk, Text("ABCDEFGHI"), 0x44); },
         H("80 F4 01 06 0A 05 44 41 42 43 44 45 46 47 48")},
        {"group key",
         [&] { return reader.StoreKey(kRefGroupKey, key32.data(), key32.size(), 0x99); },
         [&] {
             Bytes bytes = H("80 F4 01 09 22 05 99");
             bytes.insert(bytes.end(), key32.begin(), key32.end());
             return bytes;
         }()},
        {"unblock key",
         [&] { return reader.StoreKey(kRefUnblockKey, key16.data(), key16.size(), 0xEE); },
         [&] {
             Bytes bytes = H("80 F4 01 11 12 05 EE");
             bytes.insert(bytes.end(), key16.begin(), key16.end());
             return bytes;
         }()},
        {"longest key",
         [&] { return reader.StoreKey(kRefGroupKey, key248.data(), key248.size(), 0x99); },
         [&] {
             Bytes bytes = H("80 F4 01 09 FA 05 99");
             bytes.insert(bytes.end(), key248.begin(), key248.end());
             return bytes;
         }()},
    };
    for (const auto& row : rows) {
        pcsc.ClearRecord();
        EXPECT_TRUE(row.send()) << row.name;
        EXPECT_EQ(pcsc.Commands(), std::vector<Bytes>{row.expected})
            << row.name << ": "
            << FakePcsc::ToHex(pcsc.Commands().empty() ? Bytes{} : pcsc.Commands().front());
    }
    EXPECT_EQ(rows[7].expected.size(), 39u);
    EXPECT_EQ(rows[9].expected.size(), 255u);
}

TEST_F(CommandLayerTest, CommandsAnswerAsTheExchange) {
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    TokenSession reader;
    reader.SelectReader(kReader);
    ASSERT_TRUE(reader.ConnectCard());
    const Bytes key(16, 0x11);

    pcsc.AnswerSw(H("00 20"), 0x63C2);
    EXPECT_FALSE(reader.VerifyPin(kRefPin, Text("0000")));
    EXPECT_EQ(reader.LastErrorText(), "Invalid password. Attempts left - 2");

    pcsc.AnswerSw(H("80 F4 01 05"), 0x6983);
    EXPECT_FALSE(reader.StorePin(kRefPin, Text("1234"), 0x77));
    EXPECT_EQ(reader.LastErrorText(), "Card blocked");

    pcsc.AnswerSw(H("80 F4 01 11"), 0x6A80);
    EXPECT_FALSE(reader.StoreKey(kRefUnblockKey, key.data(), key.size(), 0x00));
    EXPECT_EQ(reader.LastErrorText(), "Card Error 6A80");
}

// Watches the heap for `secret` while it lives.
struct Watch {
    explicit Watch(const Bytes& secret) {
        heap_watch::secret = &secret;
        heap_watch::released = heap_watch::found = 0;
    }
    ~Watch() { heap_watch::secret = nullptr; }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
};

// The token's side keeps what it received: its copies are not the command layer's.
class TokenSide : public FakePcsc {
public:
    LONG Transmit(pcsc::SCARDHANDLE card, const pcsc::IoRequest* sendPci, const unsigned char* send,
                  DWORD sendLength, pcsc::IoRequest* recvPci, unsigned char* recv,
                  DWORD* recvLength) override {
        const Bytes* watched = heap_watch::secret;
        heap_watch::secret = nullptr;
        const LONG result =
            FakePcsc::Transmit(card, sendPci, send, sendLength, recvPci, recv, recvLength);
        heap_watch::secret = watched;
        return result;
    }
};

TEST(CommandLayerSecrets, NoCopyOfAPinOrKeyIsLeftInReleasedMemory) {
    TokenSide pcsc;
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    TokenSession reader;
    reader.SelectReader(kReader);
    ASSERT_TRUE(reader.ConnectCard());

    // The watch itself: a copy let go of unwiped is found.
    const Bytes probe = H("D7 3A 91 5C");
    {
        const Watch watch(probe);
        Bytes copy = probe;
    }
    ASSERT_EQ(heap_watch::found, 1) << "the heap watch does not see released blocks";

    Bytes key32(32);
    for (std::size_t i = 0; i < key32.size(); ++i)
        key32[i] = static_cast<std::uint8_t>(0x3D * i + 0x17);
    const struct {
        const char* name;
        Bytes secret;
        std::function<bool(const Bytes&)> send;
    } rows[] = {
        // PINs of 4 to 8 characters, as initialization and the PIN reset send them.
        {"verify 4", H("D7 3A 91 5C"),
         [&](const Bytes& s) { return reader.VerifyPin(kRefPin, s); }},
        {"verify 7", H("D7 3A 91 5C 42 E8 0B"),
         [&](const Bytes& s) { return reader.VerifyPin(kRefPin, s); }},
        {"verify 8", H("D7 3A 91 5C 42 E8 0B 66"),
         [&](const Bytes& s) { return reader.VerifyPin(kRefPin, s); }},
        {"store PIN 4", H("D7 3A 91 5C"),
         [&](const Bytes& s) { return reader.StorePin(kRefPin, s, 0x77); }},
        {"store PUK 7", H("D7 3A 91 5C 42 E8 0B"),
         [&](const Bytes& s) { return reader.StorePin(kRefPuk, s, 0x44); }},
        {"store PIN 8", H("D7 3A 91 5C 42 E8 0B 66"),
         [&](const Bytes& s) { return reader.StorePin(kRefPin, s, 0x77); }},
        {"unblock key", Bytes(key32.begin(), key32.begin() + 16),
         [&](const Bytes& s) { return reader.StoreKey(kRefUnblockKey, s.data(), s.size(), 0xEE); }},
        {"group key", key32,
         [&](const Bytes& s) { return reader.StoreKey(kRefGroupKey, s.data(), s.size(), 0x99); }},
    };
    for (const auto& row : rows) {
        // VerifyPin's working copy of the value is released inside the call as well.
        const Watch watch(row.secret);
        EXPECT_TRUE(row.send(row.secret)) << row.name;
        EXPECT_GT(heap_watch::released, 0) << row.name;
        EXPECT_EQ(heap_watch::found, 0) << row.name;
    }
}

TEST_F(CommandLayerTest, AKeyTooLongForOneCommandIsNotSent) {
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    TokenSession reader;
    reader.SelectReader(kReader);
    ASSERT_TRUE(reader.ConnectCard());
    const Bytes key(249, 0x42);
    EXPECT_FALSE(reader.StoreKey(kRefGroupKey, key.data(), key.size(), 0x99));
    EXPECT_EQ(reader.LastResult, pcsc::kInvalidParameter);
    EXPECT_EQ(pcsc.Count(Entry::Transmit), 0u);
}

} // namespace
