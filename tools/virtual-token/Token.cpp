#include "Token.h"

#include "Tdes.h"

#include <algorithm>

namespace vtoken {

namespace {

constexpr std::uint8_t CLA_ISO = 0x00;
constexpr std::uint8_t CLA_PROPRIETARY = 0x80;

constexpr std::uint8_t INS_SELECT = 0xA4;
constexpr std::uint8_t INS_VERIFY = 0x20;
constexpr std::uint8_t INS_GET_CHALLENGE = 0x84;
constexpr std::uint8_t INS_EXTERNAL_AUTHENTICATE = 0x82;
constexpr std::uint8_t INS_UPDATE_BINARY = 0xD6;
constexpr std::uint8_t INS_CHECK_GLOBAL_PIN = 0xF2;
constexpr std::uint8_t INS_MF_CODE_OR_GROUP = 0x48;
constexpr std::uint8_t INS_ACTIVATE = 0x46;
constexpr std::uint8_t INS_CLEAR_CACHE = 0xE0;
constexpr std::uint8_t INS_STORE_SECRET = 0xF4;
constexpr std::uint8_t INS_GET_CARD_ID = 0xF6;

constexpr std::uint8_t kStoreSecretTag = 0x05;
constexpr std::size_t kChallengeLength = 8;
constexpr std::size_t kActivateShort = 4;
constexpr std::size_t kActivateLong = kGroupDataLength + kNameLength;

std::optional<std::uint8_t> ExpectedCla(std::uint8_t ins) {
    switch (ins) {
    case INS_SELECT:
    case INS_VERIFY:
    case INS_GET_CHALLENGE:
    case INS_EXTERNAL_AUTHENTICATE:
    case INS_UPDATE_BINARY:
        return CLA_ISO;
    case INS_CHECK_GLOBAL_PIN:
    case INS_MF_CODE_OR_GROUP:
    case INS_ACTIVATE:
    case INS_CLEAR_CACHE:
    case INS_STORE_SECRET:
    case INS_GET_CARD_ID:
        return CLA_PROPRIETARY;
    default:
        return std::nullopt;
    }
}

std::optional<std::uint16_t> ParseHex16(const std::string& text) {
    auto b = FromHex(text);
    if (!b || b->size() != 2)
        return std::nullopt;
    return static_cast<std::uint16_t>((*b)[0] << 8 | (*b)[1]);
}

std::optional<std::uint8_t> ParseHex8(const std::string& text) {
    auto b = FromHex(text);
    if (!b || b->size() != 1)
        return std::nullopt;
    return (*b)[0];
}

} // namespace

// A command APDU split into its parts (short APDUs only).
struct Token::Command {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    bool hasData = false; // Lc and data present
    Bytes data;
    bool hasLe = false;
    std::size_t le = 0; // 1..256 (an Le byte of 00 means 256)
    bool wellFormed = false;

    explicit Command(const Bytes& apdu) {
        if (apdu.size() < 4)
            return;
        cla = apdu[0];
        ins = apdu[1];
        p1 = apdu[2];
        p2 = apdu[3];
        if (apdu.size() == 4) {
            wellFormed = true;
        } else if (apdu.size() == 5) {
            hasLe = true;
            le = apdu[4] == 0 ? 256 : apdu[4];
            wellFormed = true;
        } else {
            const std::size_t lc = apdu[4];
            if (lc == 0) // extended lengths are not served
                return;
            if (apdu.size() != 5 + lc && apdu.size() != 6 + lc)
                return;
            hasData = true;
            data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
            if (apdu.size() == 6 + lc) {
                hasLe = true;
                le = apdu.back() == 0 ? 256 : apdu.back();
            }
            wellFormed = true;
        }
    }
    ~Command() { Wipe(data.data(), data.size()); }
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Case 1: header only. Case 2: Le only. Case 3: data, no Le.
    bool caseOne() const { return !hasData && !hasLe; }
    bool caseTwo() const { return !hasData && hasLe; }
    bool caseThree(std::size_t length) const { return hasData && !hasLe && data.size() == length; }
};

std::optional<Refusal> ParseRefusal(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    std::string what = text.substr(0, eq);
    Refusal r;
    auto sw = ParseHex16(text.substr(eq + 1));
    if (!sw)
        return std::nullopt;
    r.sw = *sw;
    if (const auto colon = what.find(':'); colon != std::string::npos) {
        auto prefix = FromHex(what.substr(colon + 1));
        if (!prefix || prefix->empty())
            return std::nullopt;
        r.dataPrefix = std::move(*prefix);
        what.resize(colon);
    }
    if (const auto slash = what.find('/'); slash != std::string::npos) {
        auto p2 = ParseHex8(what.substr(slash + 1));
        if (!p2)
            return std::nullopt;
        r.p2 = *p2;
        what.resize(slash);
    }
    auto ins = ParseHex8(what);
    if (!ins)
        return std::nullopt;
    r.ins = *ins;
    return r;
}

void Token::EndSession(bool powered) {
    state_.session = Session{};
    state_.session.powered = powered;
    Wipe(state_.challenge.data(), state_.challenge.size());
    state_.challenge.clear();
}

void Token::PowerOn() {
    EndSession(true);
}
void Token::PowerOff() {
    EndSession(false);
}
void Token::Reset() {
    EndSession(true);
}

Application* Token::SelectedApp() {
    switch (state_.session.selected) {
    case Session::Df::MF:
        return nullptr;
    case Session::Df::RSA:
        return &state_.app(AppId::RSA);
    case Session::Df::DSTU:
        return &state_.app(AppId::DSTU);
    case Session::Df::Data:
        return &state_.app(AppId::Data);
    }
    return nullptr;
}

Bytes Token::Process(const Bytes& apdu) {
    Bytes out;
    std::uint16_t sw = SW_WRONG_LENGTH;
    const Command c(apdu);

    const auto refused = std::find_if(refusals_.begin(), refusals_.end(), [&](const Refusal& r) {
        return apdu.size() >= 4 && r.ins == apdu[1] && (!r.p2 || *r.p2 == apdu[3]) &&
               c.data.size() >= r.dataPrefix.size() &&
               std::equal(r.dataPrefix.begin(), r.dataPrefix.end(), c.data.begin());
    });
    if (refused != refusals_.end()) {
        sw = refused->sw;
    } else if (!c.wellFormed) {
        sw = SW_WRONG_LENGTH;
    } else if (state_.foreign && c.ins != INS_SELECT) {
        // A token of another family knows nothing but SELECT.
        sw = SW_INS_NOT_SUPPORTED;
    } else if (auto cla = ExpectedCla(c.ins); !cla) {
        sw = SW_INS_NOT_SUPPORTED;
    } else if (*cla != c.cla) {
        sw = SW_CLA_NOT_SUPPORTED;
    } else {
        switch (c.ins) {
        case INS_SELECT:
            sw = Select(c);
            break;
        case INS_CHECK_GLOBAL_PIN:
            sw = CheckGlobalPin(c, out);
            break;
        case INS_MF_CODE_OR_GROUP:
            sw = MfCodeOrGroup(c);
            break;
        case INS_ACTIVATE:
            sw = Activate(c);
            break;
        case INS_UPDATE_BINARY:
            sw = UpdateBinary(c);
            break;
        case INS_CLEAR_CACHE:
            sw = ClearCache(c);
            break;
        case INS_STORE_SECRET:
            sw = StoreSecret(c);
            break;
        case INS_VERIFY:
            sw = Verify(c);
            break;
        case INS_GET_CHALLENGE:
            sw = GetChallenge(c, out);
            break;
        case INS_EXTERNAL_AUTHENTICATE:
            sw = ExternalAuthenticate(c);
            break;
        case INS_GET_CARD_ID:
            sw = GetCardId(c, out);
            break;
        default:
            sw = SW_INS_NOT_SUPPORTED;
            break;
        }
    }
    if (sw != SW_OK)
        out.clear();
    out.push_back(static_cast<std::uint8_t>(sw >> 8));
    out.push_back(static_cast<std::uint8_t>(sw & 0xFF));
    return out;
}

std::uint16_t Token::Select(const Command& c) {
    if (c.p1 != 0x00 && c.p1 != 0x04)
        return SW_WRONG_P1P2;
    if (c.p2 != 0x00 && c.p2 != 0x0C)
        return SW_WRONG_P1P2;
    if (!c.hasData)
        return SW_WRONG_LENGTH;
    if (c.p1 == 0x00) {
        if (c.data.size() != 2)
            return SW_WRONG_LENGTH;
        if (c.data[0] != 0x3F || c.data[1] != 0x00)
            return SW_NOT_FOUND;
        state_.session.selected = Session::Df::MF;
        return SW_OK;
    }
    if (c.data.size() > 16)
        return SW_WRONG_LENGTH;
    if (state_.foreign)
        return SW_NOT_FOUND;
    static const Session::Df dfs[kAppCount] = {Session::Df::RSA, Session::Df::DSTU,
                                               Session::Df::Data};
    for (std::size_t i = 0; i < kAppCount; ++i) {
        const auto id = static_cast<AppId>(i);
        if (state_.app(id).carried && c.data == AppAid(id)) {
            state_.session.selected = dfs[i];
            return SW_OK;
        }
    }
    return SW_NOT_FOUND;
}

std::uint16_t Token::CheckGlobalPin(const Command& c, Bytes& out) {
    if (!c.caseTwo())
        return SW_WRONG_LENGTH;
    if (c.p1 != 0x00)
        return SW_WRONG_P1P2;
    if (c.p2 != kRefPin)
        return SW_REF_NOT_FOUND;
    // The global PIN's remaining tries.
    out.push_back(static_cast<std::uint8_t>(state_.pin.triesLeft));
    return SW_OK;
}

std::uint16_t Token::MfCodeOrGroup(const Command& c) {
    const bool mfCode = c.p1 == 0x4D && c.p2 == 0x46; // "MF"
    const bool setGroup = c.p1 == 0x00 && c.p2 == 0x00;
    if (!mfCode && !setGroup)
        return SW_WRONG_P1P2;
    if (!c.caseThree(8))
        return SW_WRONG_LENGTH;
    if (mfCode) {
        if (state_.session.selected != Session::Df::MF)
            return SW_CONDITIONS_NOT_SATISFIED;
        const bool match = state_.mfCode.size() == c.data.size() &&
                           SameBytes(state_.mfCode.data(), c.data.data(), c.data.size());
        state_.session.admin = match;
        return match ? SW_OK : SW_VERIFICATION_FAILED;
    }
    Application* app = SelectedApp();
    if (!app)
        return SW_CONDITIONS_NOT_SATISFIED;
    if (!state_.session.admin)
        return SW_SECURITY_NOT_SATISFIED;
    std::copy(c.data.begin(), c.data.end(), app->group.begin());
    return SW_OK;
}

std::uint16_t Token::Activate(const Command& c) {
    if (c.p1 != 0x00 || c.p2 != 0x00)
        return SW_WRONG_P1P2;
    if (!c.caseThree(kActivateShort) && !c.caseThree(kActivateLong))
        return SW_WRONG_LENGTH;
    Application* app = SelectedApp();
    if (!app)
        return SW_CONDITIONS_NOT_SATISFIED;
    if (!state_.session.admin)
        return SW_SECURITY_NOT_SATISFIED;
    if (c.data.size() == kActivateLong) {
        std::copy_n(c.data.begin(), kGroupDataLength, app->group.begin());
        std::copy_n(c.data.begin() + kGroupDataLength, kNameLength, app->name.begin());
    }
    app->activated = true;
    return SW_OK;
}

std::uint16_t Token::UpdateBinary(const Command& c) {
    // Only addressing by short file identifier (P1 = 100xxxxx) is served.
    if ((c.p1 & 0xE0) != 0x80)
        return SW_WRONG_P1P2;
    if (!c.hasData || c.hasLe)
        return SW_WRONG_LENGTH;
    Application* app = SelectedApp();
    if ((c.p1 & 0x1F) != 0x02 || !app)
        return SW_NOT_FOUND;
    if (c.p2 + c.data.size() > app->file02.size())
        return SW_WRONG_OFFSET;
    if (!state_.session.pinVerified)
        return SW_SECURITY_NOT_SATISFIED;
    std::copy(c.data.begin(), c.data.end(), app->file02.begin() + c.p2);
    return SW_OK;
}

std::uint16_t Token::ClearCache(const Command& c) {
    if (c.p1 != 0x02 || c.p2 != 0x00)
        return SW_WRONG_P1P2;
    if (!c.caseOne())
        return SW_WRONG_LENGTH;
    // The cache holds the PIN proof: it must be presented again.
    state_.session.pinVerified = false;
    return SW_OK;
}

std::uint16_t Token::StoreSecret(const Command& c) {
    if (c.p1 != 0x01)
        return SW_WRONG_P1P2;
    if (!c.hasData || c.hasLe || c.data.size() < 2)
        return SW_WRONG_LENGTH;
    if (c.data[0] != kStoreSecretTag)
        return SW_WRONG_DATA;
    const std::uint8_t ref = c.p2;
    Secret* secret = nullptr;
    std::size_t length = 0;
    bool inMf = true;
    switch (ref) {
    case kRefPin:
        secret = &state_.pin;
        length = kPinLength;
        break;
    case kRefPuk:
        secret = &state_.puk;
        length = kPinLength;
        break;
    case kRefUnblockKey:
        secret = &state_.unblockKey;
        length = kUnblockKeyLength;
        break;
    case kRefGroupKey:
        inMf = false;
        length = kGroupKeyLength;
        if (Application* app = SelectedApp())
            secret = &app->groupKey;
        break;
    default:
        return SW_REF_NOT_FOUND;
    }
    // PIN, PUK and unblock key live in the master file, group keys in the applications.
    if (inMf != (state_.session.selected == Session::Df::MF) || !secret)
        return SW_REF_NOT_FOUND;
    if (c.data.size() != length + 2)
        return SW_WRONG_LENGTH;
    const bool allowed = state_.session.admin || (ref == kRefPin && state_.session.unblock);
    if (!allowed)
        return SW_SECURITY_NOT_SATISFIED;
    Wipe(secret->value.data(), secret->value.size());
    secret->value.assign(c.data.begin() + 2, c.data.end());
    secret->attribute = c.data[1];
    secret->triesLeft = secret->maxTries;
    if (ref == kRefPin)
        state_.session.pinVerified = false;
    return SW_OK;
}

std::uint16_t Token::Verify(const Command& c) {
    if (c.p1 != 0x00)
        return SW_WRONG_P1P2;
    if (c.p2 != kRefPin && c.p2 != kRefPuk)
        return SW_REF_NOT_FOUND;
    const bool pin = c.p2 == kRefPin;
    Secret& secret = pin ? state_.pin : state_.puk;
    bool& proven = pin ? state_.session.pinVerified : state_.session.unblock;
    if (c.caseOne()) {
        // The tries left, without using one.
        if (secret.triesLeft == 0)
            return SW_AUTH_BLOCKED;
        return proven ? SW_OK : static_cast<std::uint16_t>(SW_TRIES_LEFT | secret.triesLeft);
    }
    if (!c.caseThree(kPinLength))
        return SW_WRONG_LENGTH;
    // A PUK works only once the administrator allowed it (attribute 44).
    if (secret.value.size() != kPinLength || (!pin && secret.attribute != 0x44))
        return SW_REF_NOT_USABLE;
    if (secret.triesLeft == 0)
        return SW_AUTH_BLOCKED;
    if (SameBytes(secret.value.data(), c.data.data(), kPinLength)) {
        secret.triesLeft = secret.maxTries;
        proven = true;
        return SW_OK;
    }
    --secret.triesLeft;
    proven = false;
    return static_cast<std::uint16_t>(SW_TRIES_LEFT | secret.triesLeft);
}

std::uint16_t Token::GetChallenge(const Command& c, Bytes& out) {
    if (c.p1 != 0x00 || c.p2 != 0x00)
        return SW_WRONG_P1P2;
    if (!c.caseTwo() || c.le != kChallengeLength)
        return SW_WRONG_LENGTH;
    Bytes challenge(kChallengeLength);
    if (!RandomBytes(challenge.data(), challenge.size()))
        return 0x6F00; // no precise diagnosis
    state_.challenge = challenge;
    out = std::move(challenge);
    return SW_OK;
}

std::uint16_t Token::ExternalAuthenticate(const Command& c) {
    if (c.p1 != 0x00)
        return SW_WRONG_P1P2;
    if (c.p2 != kRefUnblockKey)
        return SW_REF_NOT_FOUND;
    if (!c.caseThree(kChallengeLength))
        return SW_WRONG_LENGTH;
    if (state_.challenge.size() != kChallengeLength)
        return SW_CONDITIONS_NOT_SATISFIED;
    // One cryptogram per challenge, whatever the outcome.
    Bytes challenge;
    challenge.swap(state_.challenge);
    state_.session.unblock = false;
    if (state_.unblockKey.value.size() != kUnblockKeyLength) {
        Wipe(challenge.data(), challenge.size());
        return SW_REF_NOT_FOUND;
    }
    if (state_.unblockKey.attribute != kUnblockUsable) {
        Wipe(challenge.data(), challenge.size());
        return SW_AUTH_BLOCKED;
    }
    std::uint8_t expected[kChallengeLength];
    const bool match =
        TdesEncryptBlock(state_.unblockKey.value.data(), challenge.data(), expected) &&
        SameBytes(expected, c.data.data(), kChallengeLength);
    Wipe(expected, sizeof expected);
    Wipe(challenge.data(), challenge.size());
    state_.session.unblock = match;
    return match ? SW_OK : SW_VERIFICATION_FAILED;
}

std::uint16_t Token::GetCardId(const Command& c, Bytes& out) {
    if (c.p1 != 0x00 || c.p2 != 0x00)
        return SW_WRONG_P1P2;
    if (!c.caseTwo() || (c.le != kCardIdLength && c.le != 256))
        return SW_WRONG_LENGTH;
    out.assign(state_.cardId.begin(), state_.cardId.end());
    return SW_OK;
}

bool NewUserChallenge(TokenState& state, Bytes& challenge) {
    challenge.assign(kChallengeLength, 0);
    if (!RandomBytes(challenge.data(), challenge.size()))
        return false;
    state.userChallenge = challenge;
    return true;
}

UserResponse CheckUserResponse(TokenState& state, const Bytes& response) {
    if (state.userChallenge.size() != kChallengeLength)
        return UserResponse::NoChallenge;
    if (state.unblockKey.value.size() != kUnblockKeyLength)
        return UserResponse::NoKey;
    if (state.unblockKey.attribute != kUnblockUsable)
        return UserResponse::KeyBlocked;
    std::uint8_t expected[kChallengeLength];
    const bool match =
        response.size() == kChallengeLength &&
        TdesEncryptBlock(state.unblockKey.value.data(), state.userChallenge.data(), expected) &&
        SameBytes(expected, response.data(), kChallengeLength);
    Wipe(expected, sizeof expected);
    if (!match)
        return UserResponse::Wrong;
    // The challenge is used up; the PIN keeps its value and gets all its tries back.
    state.userChallenge.clear();
    state.pin.triesLeft = state.pin.maxTries;
    return UserResponse::Accepted;
}

std::string GroupedHex(const Bytes& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ' ';
        out += ToHex(&bytes[i], 1);
    }
    return out;
}

} // namespace vtoken
