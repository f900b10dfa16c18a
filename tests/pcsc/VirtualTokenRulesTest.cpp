// The virtual token's rules, driven directly (no pcscd): status words, security states, the try
// counters, the challenge-response with an independent Triple-DES (OpenSSL EVP in the test), the
// ATR and the state file.

#include "Token.h"
#include "TokenState.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace vtoken;

namespace {

const std::string MF = "00A40000023F00";
const std::string MF_CODE = "80484D4608"
                            "3331373430323539"; // "31740259"
const std::string SEL_RSA = "00A4040008"
                            "FA564C4D52534144";
const std::string SEL_DSTU = "00A404000A"
                             "FA564C4D534734313435";
const std::string SEL_DATA = "00A404000A"
                             "FA564C4D444154416175";
const std::string PIN_1234 = "31323334FFFFFFFF";
const std::string PIN_FACTORY = "3132333435363738";
const std::string WRONG_PIN = "3030303030303030";
const std::string UNBLOCK_KEY = "00112233445566778899AABBCCDDEEFF";
const std::string GROUP_KEY = std::string(64, 'A');
const std::string NAME = "D0A2D0B5D181D182" + std::string(48, '0'); // "Тест" + zeros

std::string StorePin(const std::string& value, const std::string& attr = "77") {
    return "80F401050A05" + attr + value;
}
std::string StorePuk(const std::string& value, const std::string& attr) {
    return "80F401060A05" + attr + value;
}
std::string StoreUnblockKey(const std::string& attr) {
    return "80F4011112"
           "05" +
           attr + UNBLOCK_KEY;
}
std::string StoreGroupKey() {
    return "80F4010922"
           "0599" +
           GROUP_KEY;
}
std::string Verify(const std::string& value, const std::string& ref = "05") {
    return "002000" + ref + "08" + value;
}
std::string SetGroup(const std::string& g) {
    return "8048000008"
           "01000000" +
           g + "0000";
}
const std::string ACTIVATE_SHORT = "8046000004"
                                   "01000000";
std::string ActivateLong(const std::string& g) {
    return "8046000028"
           "01000000" +
           g + "0000" + NAME;
}
const std::string UPDATE_BINARY = "00D6820006"
                                  "000000000000";
const std::string CLEAR_CACHE = "80E00200";

Bytes Hex(const std::string& text) {
    auto b = FromHex(text);
    EXPECT_TRUE(b) << text;
    return b ? *b : Bytes{};
}

// A step: an APDU (hex) or a reader event ("RESET", "POWER OFF", "POWER ON"), and the expected
// answer: the full response in hex, or "..SWSW" for any data followed by that status word.
struct Step {
    std::string apdu;
    std::string expect;
};

struct Script {
    const char* name;
    std::vector<Step> steps;
    std::string apps = "rsa,dstu,data";
    bool foreign = false;
    std::vector<std::string> refusals = {};
};

Token MakeToken(const std::string& apps, bool foreign) {
    TokenState s = TokenState::Factory();
    auto carried = ParseAppList(apps);
    EXPECT_TRUE(carried);
    for (std::size_t i = 0; i < kAppCount; ++i)
        s.apps[i].carried = (*carried)[i];
    s.foreign = foreign;
    s.cardId = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    Token t(s);
    t.PowerOn();
    return t;
}

void RunSteps(Token& token, const std::vector<Step>& steps, const std::string& name) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(name + ", step " + std::to_string(i + 1) + ": " + step.apdu);
        if (step.apdu == "RESET") {
            token.Reset();
            continue;
        }
        if (step.apdu == "POWER OFF") {
            token.PowerOff();
            continue;
        }
        if (step.apdu == "POWER ON") {
            token.PowerOn();
            continue;
        }
        const std::string answer = ToHex(token.Process(Hex(step.apdu)));
        if (step.expect.rfind("..", 0) == 0) {
            const std::string sw = step.expect.substr(2);
            ASSERT_GE(answer.size(), sw.size());
            EXPECT_EQ(answer.substr(answer.size() - sw.size()), sw);
        } else {
            EXPECT_EQ(answer, step.expect);
        }
    }
}

class StatusWords : public ::testing::TestWithParam<Script> {};

TEST_P(StatusWords, AnswersAsItsRulesSay) {
    const Script& s = GetParam();
    Token token = MakeToken(s.apps, s.foreign);
    for (const auto& r : s.refusals) {
        auto refusal = ParseRefusal(r);
        ASSERT_TRUE(refusal) << r;
        token.AddRefusal(*refusal);
    }
    RunSteps(token, s.steps, s.name);
}

const std::vector<Script> kScripts = {
    {"select the master file", {{MF, "9000"}}},
    {"select another file", {{"00A40000022F00", "6A82"}}},
    {"Lc longer than the data", {{"00A40000033F00", "6700"}}},
    {"a header cut short", {{"00A400", "6700"}}},
    {"SELECT without data", {{"00A4000000", "6700"}}},
    {"extended length",
     {{"00A40000000002"
       "3F00",
       "6700"}}},
    {"SELECT with the proprietary class", {{"80A40000023F00", "6E00"}}},
    {"unknown instruction", {{"00CA000000", "6D00"}}},
    {"SELECT with an unknown P1", {{"00A40800023F00", "6A86"}}},
    {"select each carried application",
     {{SEL_RSA, "9000"}, {SEL_DSTU, "9000"}, {SEL_DATA, "9000"}, {MF, "9000"}}},
    {"an absent application keeps the master file selected",
     {{SEL_RSA, "6A82"}, {SEL_DATA, "6A82"}, {SEL_DSTU, "9000"}, {MF, "9000"}, {MF_CODE, "9000"}},
     "dstu"},
    {"no application at all", {{SEL_RSA, "6A82"}, {SEL_DSTU, "6A82"}, {SEL_DATA, "6A82"}}, "none"},
    {"GET CARD ID", {{"80F6000008", "01020304050607089000"}}},
    {"GET CARD ID with a wrong Le", {{"80F6000004", "6700"}}},
    {"GET CARD ID with a wrong P2", {{"80F6000108", "6A86"}}},
    {"CHECK GLOBAL PIN answers the tries left", {{"80F2000501", "039000"}}},
    {"CHECK GLOBAL PIN of another reference", {{"80F2000601", "6A88"}}},
    {"CHECK GLOBAL PIN without Le", {{"80F20005", "6700"}}},
    {"GET CHALLENGE", {{"0084000008", "..9000"}}},
    {"GET CHALLENGE of 4 bytes", {{"0084000004", "6700"}}},
    {"EXTERNAL AUTHENTICATE without a challenge", {{"0082001108" + WRONG_PIN, "6985"}}},
    {"EXTERNAL AUTHENTICATE of another reference", {{"0082000908" + WRONG_PIN, "6A88"}}},
    {"STORE SECRET without the administrator session", {{StorePin(PIN_1234), "6982"}}},
    {"STORE SECRET with a wrong tag", {{MF_CODE, "9000"}, {"80F401050A0677" + PIN_1234, "6A80"}}},
    {"STORE SECRET with a wrong P1", {{MF_CODE, "9000"}, {"80F402050A0577" + PIN_1234, "6A86"}}},
    {"STORE SECRET of an unknown reference", {{"80F401070A0577" + PIN_1234, "6A88"}}},
    {"STORE SECRET of a PIN of 7 bytes",
     {{MF_CODE, "9000"},
      {"80F40105090577"
       "31323334FFFFFF",
       "6700"}}},
    {"a group key is not stored in the master file",
     {{MF_CODE, "9000"}, {StoreGroupKey(), "6A88"}}},
    {"a PIN is not stored in an application",
     {{MF_CODE, "9000"}, {SEL_RSA, "9000"}, {StorePin(PIN_1234), "6A88"}}},
    {"a group key of 16 bytes",
     {{MF_CODE, "9000"},
      {SEL_RSA, "9000"},
      {"80F4010912"
       "0599" +
           UNBLOCK_KEY,
       "6700"}}},
    {"CLEAR CACHE", {{CLEAR_CACHE, "9000"}}},
    {"CLEAR CACHE with Le", {{"80E0020000", "6700"}}},
    {"CLEAR CACHE with a wrong P1", {{"80E00300", "6A86"}}},
    {"MF CODE", {{MF_CODE, "9000"}}},
    {"wrong MF CODE",
     {{"80484D4608"
       "3331373430323530",
       "6300"}}},
    {"MF CODE needs the master file", {{SEL_RSA, "9000"}, {MF_CODE, "6985"}}},
    {"MF CODE of 4 bytes", {{"80484D460431373430", "6700"}}},
    {"instruction 48 with another P1 P2",
     {{"8048010008"
       "0100000000D10000",
       "6A86"}}},
    {"a wrong MF CODE closes the administrator session",
     {{MF_CODE, "9000"},
      {"80484D4608"
       "3030303030303030",
       "6300"},
      {StorePin(PIN_1234), "6982"}}},
    {"SET GROUP and ACTIVATE need an application",
     {{MF_CODE, "9000"}, {SetGroup("00D1"), "6985"}, {ACTIVATE_SHORT, "6985"}}},
    {"SET GROUP and ACTIVATE need the administrator session",
     {{SEL_RSA, "9000"},
      {SetGroup("0000"), "6982"},
      {SEL_DSTU, "9000"},
      {ActivateLong("0000"), "6982"},
      {SEL_DATA, "9000"},
      {ACTIVATE_SHORT, "6982"}}},
    {"ACTIVATE with a length of neither form",
     {{MF_CODE, "9000"},
      {SEL_DATA, "9000"},
      {"8046000005"
       "0100000000",
       "6700"}}},
    {"UPDATE BINARY in the master file", {{UPDATE_BINARY, "6A82"}}},
    {"UPDATE BINARY of another file",
     {{SEL_RSA, "9000"},
      {"00D6830006"
       "000000000000",
       "6A82"}}},
    {"UPDATE BINARY without a short file identifier",
     {{SEL_RSA, "9000"},
      {"00D6020006"
       "000000000000",
       "6A86"}}},
    {"UPDATE BINARY needs the PIN, which CLEAR CACHE drops",
     {{SEL_RSA, "9000"},
      {UPDATE_BINARY, "6982"},
      {Verify(PIN_FACTORY), "9000"},
      {UPDATE_BINARY, "9000"},
      {"00D6820B06"
       "000000000000",
       "6B00"},
      {CLEAR_CACHE, "9000"},
      {UPDATE_BINARY, "6982"}}},
    {"VERIFY of an unknown reference", {{Verify(WRONG_PIN, "09"), "6A88"}}},
    {"VERIFY of 7 bytes",
     {{"0020000507"
       "31323334353637",
       "6700"}}},
    {"VERIFY without data reports the tries",
     {{"00200005", "63C3"},
      {Verify(WRONG_PIN), "63C2"},
      {"00200005", "63C2"},
      {Verify(PIN_FACTORY), "9000"},
      {"00200005", "9000"}}},
    {"a PUK never written is not usable", {{Verify(WRONG_PIN, "06"), "6984"}}},
    {"a PUK with attribute 00 is not usable",
     {{MF_CODE, "9000"}, {StorePuk(PIN_1234, "00"), "9000"}, {Verify(PIN_1234, "06"), "6984"}}},
    {"a PUK with attribute 44 gives the right to store the PIN",
     {{MF_CODE, "9000"},
      {StorePuk(PIN_1234, "44"), "9000"},
      {"RESET", ""},
      {StorePin(PIN_1234), "6982"},
      {Verify(WRONG_PIN, "06"), "63C2"},
      {Verify(PIN_1234, "06"), "9000"},
      {StorePin(PIN_1234), "9000"},
      {StorePuk(PIN_1234, "44"), "6982"}}},
    {"a reset ends the administrator session",
     {{MF_CODE, "9000"}, {"RESET", ""}, {StoreUnblockKey("EE"), "6982"}}},
    {"a power cycle ends the PIN proof",
     {{SEL_RSA, "9000"},
      {Verify(PIN_FACTORY), "9000"},
      {"POWER OFF", ""},
      {"POWER ON", ""},
      {UPDATE_BINARY, "6A82"},
      {SEL_RSA, "9000"},
      {UPDATE_BINARY, "6982"}}},
    {"a reset forgets the challenge",
     {{"0084000008", "..9000"}, {"RESET", ""}, {"0082001108" + WRONG_PIN, "6985"}}},
    {"a foreign token knows only SELECT",
     {{MF, "9000"},
      {SEL_RSA, "6A82"},
      {"80F6000008", "6D00"},
      {"80F2000501", "6D00"},
      {MF_CODE, "6D00"},
      {Verify(PIN_FACTORY), "6D00"},
      {"0084000008", "6D00"}},
     "rsa,dstu,data",
     true},
    {"an injected refusal hits only its command",
     {{MF_CODE, "9000"}, {StoreUnblockKey("EE"), "6A82"}, {StorePin(PIN_1234), "9000"}},
     "rsa,dstu,data",
     false,
     {"F4/11=6A82"}},
    {"a refusal by data prefix tells SELECTs apart",
     {{MF, "9000"}, {SEL_RSA, "6A82"}, {SEL_DSTU, "9000"}},
     "rsa,dstu,data",
     false,
     {"A4:FA564C4D525341=6A82"}},
    {"a refusal wins over the length rules",
     {{"80F6000004", "6F00"}},
     "rsa,dstu,data",
     false,
     {"F6=6F00"}},
};

INSTANTIATE_TEST_SUITE_P(Token, StatusWords, ::testing::ValuesIn(kScripts),
                         [](const ::testing::TestParamInfo<Script>& info) {
                             std::string n;
                             for (const char* p = info.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// The initialization sequence as the program sends it leaves exactly its values on the token.
TEST(TokenInitialization, TheWholeSequenceStoresEveryValue) {
    Token token = MakeToken("rsa,dstu,data", false);
    RunSteps(token,
             {
                 {MF, "9000"},
                 {"80F2000501", "039000"},
                 // clean-up before the administrator session: refused, and ignored by the program
                 {SEL_RSA, "9000"},
                 {SetGroup("0000"), "6982"},
                 {SEL_DSTU, "9000"},
                 {ActivateLong("0000"), "6982"},
                 {SEL_DATA, "9000"},
                 {ACTIVATE_SHORT, "6982"},
                 {MF, "9000"},
                 {MF_CODE, "9000"},
                 {StorePin(PIN_1234), "9000"},
                 {StorePuk(PIN_1234, "44"), "9000"},
                 {StoreUnblockKey("EE"), "9000"},
                 {SEL_RSA, "9000"},
                 {StoreGroupKey(), "9000"},
                 {SetGroup("00D1"), "9000"},
                 {Verify(PIN_1234), "9000"},
                 {UPDATE_BINARY, "9000"},
                 {CLEAR_CACHE, "9000"},
                 {SEL_DSTU, "9000"},
                 {StoreGroupKey(), "9000"},
                 {ActivateLong("0007"), "9000"},
                 {SEL_DATA, "9000"},
                 {ACTIVATE_SHORT, "9000"},
                 {MF, "9000"},
                 {CLEAR_CACHE, "9000"},
             },
             "initialization");
    const TokenState& s = token.state();
    EXPECT_EQ(ToHex(s.pin.value), PIN_1234);
    EXPECT_EQ(s.pin.attribute, 0x77);
    EXPECT_EQ(s.pin.triesLeft, 3);
    EXPECT_EQ(ToHex(s.puk.value), PIN_1234);
    EXPECT_EQ(s.puk.attribute, 0x44);
    EXPECT_EQ(ToHex(s.unblockKey.value), UNBLOCK_KEY);
    EXPECT_EQ(s.unblockKey.attribute, 0xEE);
    const Application& rsa = s.app(AppId::RSA);
    EXPECT_EQ(ToHex(rsa.groupKey.value), GROUP_KEY);
    EXPECT_EQ(rsa.groupKey.attribute, 0x99);
    EXPECT_EQ(rsa.groupCode(), 0x00D1);
    EXPECT_FALSE(rsa.activated);
    const Application& dstu = s.app(AppId::DSTU);
    EXPECT_EQ(ToHex(dstu.groupKey.value), GROUP_KEY);
    EXPECT_EQ(dstu.groupCode(), 0x0007);
    EXPECT_EQ(ToHex(dstu.name.data(), dstu.name.size()), NAME);
    EXPECT_TRUE(dstu.activated);
    const Application& data = s.app(AppId::Data);
    EXPECT_TRUE(data.activated);
    EXPECT_TRUE(data.groupKey.value.empty());
}

// A refused command changes nothing.
TEST(TokenInitialization, ARefusedStoreLeavesTheOldValue) {
    Token token = MakeToken("rsa", false);
    token.AddRefusal(*ParseRefusal("F4/05=6581"));
    RunSteps(token, {{MF_CODE, "9000"}, {StorePin(PIN_1234), "6581"}}, "refused");
    EXPECT_EQ(ToHex(token.state().pin.value), PIN_FACTORY);
}

// The try counter of the PIN, row by row: the VERIFY values sent and the answers.
TEST(TokenPin, TryCounterFallsBlocksAndRecovers) {
    struct Row {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Row> rows = {
        {"three wrong tries block",
         {{Verify(WRONG_PIN), "63C2"},
          {Verify(WRONG_PIN), "63C1"},
          {Verify(WRONG_PIN), "63C0"},
          {Verify(WRONG_PIN), "6983"},
          {Verify(PIN_FACTORY), "6983"},
          {"00200005", "6983"},
          {"80F2000501", "009000"}}},
        {"a right PIN fills the counter again",
         {{Verify(WRONG_PIN), "63C2"},
          {Verify(WRONG_PIN), "63C1"},
          {Verify(PIN_FACTORY), "9000"},
          {Verify(WRONG_PIN), "63C2"}}},
        {"a reset does not give tries back",
         {{Verify(WRONG_PIN), "63C2"}, {"RESET", ""}, {Verify(WRONG_PIN), "63C1"}}},
        {"the administrator's new PIN unblocks",
         {{Verify(WRONG_PIN), "63C2"},
          {Verify(WRONG_PIN), "63C1"},
          {Verify(WRONG_PIN), "63C0"},
          {MF_CODE, "9000"},
          {StorePin(PIN_1234), "9000"},
          {Verify(PIN_FACTORY), "63C2"},
          {Verify(PIN_1234), "9000"}}},
    };
    for (const Row& row : rows) {
        Token token = MakeToken("rsa", false);
        RunSteps(token, row.steps, row.name);
    }
}

// Two-key Triple-DES of one block by OpenSSL, independent of the token's own code.
std::string Cryptogram(const std::string& keyHex, const Bytes& challenge) {
    const Bytes key = Hex(keyHex);
    unsigned char out[16];
    int len = 0;
    int tail = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key.data(), nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out, &len, challenge.data(), 8), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out + len, &tail), 1);
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_EQ(len + tail, 8);
    return ToHex(out, 8);
}

// The PIN reset with the unblock key: GET CHALLENGE, EXTERNAL AUTHENTICATE, STORE SECRET.
TEST(TokenUnblock, ExternalAuthenticateChecksTheCryptogram) {
    struct Row {
        const char* name;
        std::string keyAttribute; // "" = no unblock key written
        std::string keyUsed;      // the administrator's key
        bool flipBit;
        std::string authSw;
        std::string storeSw;
    };
    const std::string otherKey = "FFEEDDCCBBAA99887766554433221100";
    const std::vector<Row> rows = {
        {"right key", "EE", UNBLOCK_KEY, false, "9000", "9000"},
        {"one bit off", "EE", UNBLOCK_KEY, true, "6300", "6982"},
        {"another key", "EE", otherKey, false, "6300", "6982"},
        {"key blocked by its attribute", "00", UNBLOCK_KEY, false, "6983", "6982"},
        {"no key written", "", UNBLOCK_KEY, false, "6A88", "6982"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Token token = MakeToken("rsa", false);
        // A blocked PIN.
        RunSteps(
            token,
            {{Verify(WRONG_PIN), "63C2"}, {Verify(WRONG_PIN), "63C1"}, {Verify(WRONG_PIN), "63C0"}},
            row.name);
        if (!row.keyAttribute.empty())
            RunSteps(
                token,
                {{MF_CODE, "9000"}, {StoreUnblockKey(row.keyAttribute), "9000"}, {"RESET", ""}},
                row.name);

        ASSERT_EQ(ToHex(token.Process(Hex(MF))), "9000");
        const Bytes answer = token.Process(Hex("0084000008"));
        ASSERT_EQ(answer.size(), 10u);
        const Bytes challenge(answer.begin(), answer.begin() + 8);
        EXPECT_EQ(token.state().challenge, challenge);
        Bytes cryptogram = Hex(Cryptogram(row.keyUsed, challenge));
        if (row.flipBit)
            cryptogram[7] ^= 0x01;
        EXPECT_EQ(ToHex(token.Process(Hex("0082001108" + ToHex(cryptogram)))), row.authSw);
        EXPECT_TRUE(token.state().challenge.empty()) << "the challenge is used up";
        EXPECT_EQ(ToHex(token.Process(Hex(StorePin(PIN_1234)))), row.storeSw);
        if (row.storeSw == "9000") {
            EXPECT_EQ(ToHex(token.state().pin.value), PIN_1234);
            EXPECT_EQ(token.state().pin.triesLeft, 3);
            // The unblock right stores the PIN only.
            EXPECT_EQ(ToHex(token.Process(Hex(StorePuk(PIN_1234, "44")))), "6982");
        } else {
            EXPECT_EQ(token.state().pin.triesLeft, 0);
        }
        // A second cryptogram for the same challenge finds none pending.
        EXPECT_EQ(ToHex(token.Process(Hex("0082001108" + ToHex(cryptogram)))), "6985");
    }
}

// Two keys with equal halves make single DES; a known single-DES answer pins the key order.
TEST(TokenUnblock, KeyHalvesAreUsedInOrder) {
    // FIPS 81 example: key 0123456789ABCDEF, plain "Now is t" -> 3FA40E8A984D4815.
    TokenState s = TokenState::Factory();
    s.unblockKey.value = Hex("0123456789ABCDEF0123456789ABCDEF");
    s.unblockKey.attribute = kUnblockUsable;
    s.userChallenge = Hex("4E6F772069732074");
    EXPECT_EQ(CheckUserResponse(s, Hex("3FA40E8A984D4815")), UserResponse::Accepted);
}

TEST(TokenUser, ChallengeAndResponse) {
    struct Row {
        const char* name;
        bool challenge;
        std::string keyAttribute;
        bool right;
        UserResponse expected;
    };
    const std::vector<Row> rows = {
        {"right response", true, "EE", true, UserResponse::Accepted},
        {"wrong response", true, "EE", false, UserResponse::Wrong},
        {"no challenge", false, "EE", true, UserResponse::NoChallenge},
        {"blocked key", true, "00", true, UserResponse::KeyBlocked},
        {"no key", true, "", true, UserResponse::NoKey},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TokenState s = TokenState::Factory();
        s.pin.triesLeft = 0;
        if (!row.keyAttribute.empty()) {
            s.unblockKey.value = Hex(UNBLOCK_KEY);
            s.unblockKey.attribute = Hex(row.keyAttribute)[0];
        }
        Bytes challenge(8, 0x5A);
        if (row.challenge) {
            ASSERT_TRUE(NewUserChallenge(s, challenge));
            EXPECT_EQ(s.userChallenge, challenge);
        }
        Bytes response = Hex(Cryptogram(UNBLOCK_KEY, challenge));
        if (!row.right)
            response[0] ^= 0x80;
        EXPECT_EQ(CheckUserResponse(s, response), row.expected);
        const bool accepted = row.expected == UserResponse::Accepted;
        EXPECT_EQ(s.pin.triesLeft, accepted ? 3 : 0);
        EXPECT_EQ(ToHex(s.pin.value), PIN_FACTORY) << "the PIN keeps its value";
        EXPECT_EQ(s.userChallenge.empty(), accepted || !row.challenge);
    }
    Bytes fresh1, fresh2;
    TokenState s = TokenState::Factory();
    ASSERT_TRUE(NewUserChallenge(s, fresh1));
    ASSERT_TRUE(NewUserChallenge(s, fresh2));
    EXPECT_NE(fresh1, fresh2);
    EXPECT_EQ(GroupedHex(Hex("0123456789ABCDEF")), "01 23 45 67 89 AB CD EF");
}

TEST(TokenAtr, MarkerAndApplicationBits) {
    struct Row {
        const char* apps;
        bool foreign;
        std::uint8_t bits;
    };
    const std::vector<Row> rows = {
        {"none", false, 0x00},         {"dstu", false, 0x01},     {"rsa", false, 0x02},
        {"data", false, 0x04},         {"rsa,dstu", false, 0x03}, {"data,rsa,dstu", false, 0x07},
        {"rsa,dstu,data", true, 0x00},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.apps) + (row.foreign ? " foreign" : ""));
        Token token = MakeToken(row.apps, row.foreign);
        const auto atr = token.Atr();
        ASSERT_GE(atr.size(), 15u);
        ASSERT_LE(atr.size(), 33u);
        EXPECT_EQ(atr[0], 0x3B);
        EXPECT_EQ(atr[14], row.bits);
        const std::string text(atr.begin(), atr.end());
        EXPECT_EQ(text.find("VLM") != std::string::npos, !row.foreign);
        // T=1 is offered, so the check byte makes T0..TCK XOR to zero.
        std::uint8_t x = 0;
        for (std::size_t i = 1; i < atr.size(); ++i)
            x ^= atr[i];
        EXPECT_EQ(x, 0);
    }
}

TEST(TokenOptions, RefusalRules) {
    struct Row {
        const char* text;
        bool valid;
        std::uint8_t ins;
        int p2; // -1: any
        const char* prefix;
        std::uint16_t sw;
    };
    const std::vector<Row> rows = {
        {"F4/11=6A82", true, 0xF4, 0x11, "", 0x6A82},
        {"a4=6a82", true, 0xA4, -1, "", 0x6A82},
        {"A4:FA564C4D=6A82", true, 0xA4, -1, "FA564C4D", 0x6A82},
        {"A4/00:3F00=6A82", true, 0xA4, 0x00, "3F00", 0x6A82},
        {"F4/11", false, 0, 0, "", 0},
        {"F4/11=6A8", false, 0, 0, "", 0},
        {"F4/111=6A82", false, 0, 0, "", 0},
        {"G4=6A82", false, 0, 0, "", 0},
        {"A4:=6A82", false, 0, 0, "", 0},
        {"=9000", false, 0, 0, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        auto r = ParseRefusal(row.text);
        ASSERT_EQ(r.has_value(), row.valid);
        if (!r)
            continue;
        EXPECT_EQ(r->ins, row.ins);
        EXPECT_EQ(r->p2 ? int(*r->p2) : -1, row.p2);
        EXPECT_EQ(ToHex(r->dataPrefix), row.prefix);
        EXPECT_EQ(r->sw, row.sw);
    }
    EXPECT_FALSE(ParseAppList("rsa,pki"));
    EXPECT_FALSE(ParseAppList(""));
    EXPECT_EQ(ParseAppList("none"), (std::array<bool, kAppCount>{false, false, false}));
    EXPECT_EQ(ParseAppList("data,rsa"), (std::array<bool, kAppCount>{true, false, true}));
}

TokenState Modified() {
    TokenState s = TokenState::Factory();
    s.cardId = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
    s.mfCode = Hex("3030303030303030");
    s.pin.value = Hex(PIN_1234);
    s.pin.triesLeft = 1;
    s.puk.value = Hex(WRONG_PIN);
    s.puk.attribute = 0x44;
    s.puk.maxTries = 5;
    s.puk.triesLeft = 4;
    s.unblockKey.value = Hex(UNBLOCK_KEY);
    s.unblockKey.attribute = 0xEE;
    s.app(AppId::DSTU).carried = false;
    Application& rsa = s.app(AppId::RSA);
    rsa.groupKey.value = Hex(GROUP_KEY);
    rsa.groupKey.attribute = 0x99;
    rsa.group = {0x01, 0, 0, 0, 0x00, 0xD1, 0, 0};
    rsa.name[0] = 0xD0;
    rsa.name[31] = 0x82;
    rsa.activated = true;
    rsa.file02[15] = 0x42;
    s.challenge = Hex("0102030405060708");
    s.userChallenge = Hex("1112131415161718");
    s.foreign = true;
    return s;
}

// The administrator program's built-in unblock key, whose check value is 4FFF1F.
const std::uint8_t kDefaultKey[16] = {0x12, 0x24, 0x36, 0x48, 0x5A, 0x6C, 0x7E, 0x90,
                                      0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2};

TEST(TokenStateFile, RoundTripKeepsEverything) {
    TokenState s = Modified();
    s.session.powered = true;
    s.session.admin = true;
    s.session.unblock = true;
    s.session.selected = Session::Df::DSTU;
    std::string error;
    auto back = TokenState::FromJson(s.ToJson(), &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(*back, s);
    EXPECT_EQ(back->ToJson(), s.ToJson());
    EXPECT_NE(s.ToJson().find("\"card_id\": \"A1B2C3D4E5F60718\""), std::string::npos);
    // The unblock key's check value is written for the demo's reader, and never read back.
    s.unblockKey.value.assign(std::begin(kDefaultKey), std::end(kDefaultKey));
    EXPECT_NE(s.ToJson().find("\"unblock_key_kcv\": \"4FFF1F\""), std::string::npos);
}

// The file is read by people and by other tools: two blanks a level, members in a fixed order,
// a closing line feed.
TEST(TokenStateFile, WritesAStableLayout) {
    const std::string app = R"({
      "carried": true,
      "group_key": {
        "value": "",
        "attribute": "00"
      },
      "group": "0000000000000000",
      "name": "0000000000000000000000000000000000000000000000000000000000000000",
      "activated": false,
      "file_02": "00000000000000000000000000000000"
    })";
    const std::string expected = R"({
  "format": "orvane-vtoken state 1",
  "foreign": false,
  "atr": "3B8F800180564C4D544B31000000070000900060",
  "card_id": "0000000000000000",
  "mf_code": "3331373430323539",
  "pin": {
    "value": "3132333435363738",
    "attribute": "77",
    "tries_left": 3,
    "max_tries": 3
  },
  "puk": {
    "value": "",
    "attribute": "00",
    "tries_left": 3,
    "max_tries": 3
  },
  "unblock_key": {
    "value": "",
    "attribute": "00"
  },
  "unblock_key_kcv": "",
  "applications": {
    "rsa": )" + app + R"(,
    "dstu": )" + app + R"(,
    "data": )" + app + R"(
  },
  "challenge": "",
  "user_challenge": "",
  "session": {
    "powered": false,
    "selected": "MF",
    "admin": false,
    "pin_verified": false,
    "unblock": false
  }
}
)";
    EXPECT_EQ(TokenState::Factory().ToJson(), expected);
}

TEST(TokenStateFile, MissingMembersKeepFactoryValues) {
    std::string error;
    auto s = TokenState::FromJson(
        R"({"format": "orvane-vtoken state 1", "card_id": "0807060504030201"})", &error);
    ASSERT_TRUE(s) << error;
    TokenState expected = TokenState::Factory();
    expected.cardId = {8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(*s, expected);
}

TEST(TokenStateFile, RejectsMalformedDocuments) {
    const std::string head = R"({"format": "orvane-vtoken state 1", )";
    const std::vector<std::pair<const char*, std::string>> rows = {
        {"not JSON", "{\"format\": "},
        {"an array", "[1, 2]"},
        {"no format", R"({"card_id": "0102030405060708"})"},
        {"another format", R"({"format": "orvane-vtoken state 2"})"},
        {"text after the document", head + R"("foreign": false} x)"},
        {"a card id of 7 bytes", head + R"("card_id": "01020304050607"})"},
        {"odd hex digits", head + R"("mf_code": "313"})"},
        {"a non-hex value", head + R"("pin": {"value": "3132333435363G38"}})"},
        {"a PIN of 6 bytes", head + R"("pin": {"value": "313233343536"}})"},
        {"an empty MF code", head + R"("mf_code": ""})"},
        {"tries above the maximum", head + R"("pin": {"tries_left": 4, "max_tries": 3}})"},
        {"negative tries", head + R"("pin": {"tries_left": -1}})"},
        {"a fraction", head + R"("pin": {"tries_left": 1.5}})"},
        {"a whole number written as a fraction", head + R"("pin": {"tries_left": 2.0}})"},
        {"a count that wraps to 2 in 32 bits", head + R"("pin": {"tries_left": 4294967298}})"},
        {"a count beyond a double", head + R"("pin": {"tries_left": 1e999}})"},
        {"an attribute of two bytes", head + R"("pin": {"attribute": "7777"}})"},
        {"a name of 31 bytes",
         head + R"("applications": {"rsa": {"name": ")" + std::string(62, '0') + "\"}}}"},
        {"carried as a string", head + R"("applications": {"rsa": {"carried": "yes"}}})"},
        {"a challenge of 4 bytes", head + R"("challenge": "01020304"})"},
        {"an unknown selection", head + R"("session": {"selected": "3F00"}})"},
        {"deep nesting", std::string(100, '[') + std::string(100, ']')},
    };
    for (const auto& [name, text] : rows) {
        std::string error;
        EXPECT_FALSE(TokenState::FromJson(text, &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
}

} // namespace
