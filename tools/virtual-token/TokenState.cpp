#include "TokenState.h"

#include "Tdes.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace vtoken {

std::string ToHex(const std::uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::optional<Bytes> FromHex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c == ' ' && high < 0)
            continue;
        else
            return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return out;
}

namespace {

const char* kFormat = "orvane-vtoken state 1";

// Objects keep their members in insertion order, so the written file reads in a fixed order.
using Json = nlohmann::ordered_json;

Bytes Ascii(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

Bytes WithPrefix(std::uint8_t first, const char* text) {
    Bytes b{first};
    const Bytes rest = Ascii(text);
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
}

const char* DfName(Session::Df df) {
    switch (df) {
    case Session::Df::MF:
        return "MF";
    case Session::Df::RSA:
        return "rsa";
    case Session::Df::DSTU:
        return "dstu";
    case Session::Df::Data:
        return "data";
    }
    return "MF";
}

std::string ByteHex(std::uint8_t b) {
    return ToHex(&b, 1);
}

Json SecretJson(const Secret& s) {
    Json j;
    j["value"] = ToHex(s.value);
    j["attribute"] = ByteHex(s.attribute);
    if (s.maxTries > 0) {
        j["tries_left"] = s.triesLeft;
        j["max_tries"] = s.maxTries;
    }
    return j;
}

// Six upper-case hexadecimal digits, or "" when no 16-byte key is stored.
std::string UnblockKeyCheckValue(const Bytes& key) {
    if (key.size() != 16)
        return {};
    const std::uint8_t zeros[8] = {};
    std::uint8_t block[8] = {};
    if (!TdesEncryptBlock(key.data(), zeros, block))
        return {};
    const std::string kcv = ToHex(block, 3);
    Wipe(block, sizeof block);
    return kcv;
}

// A member of an object; nullptr when it is missing or `obj` is not an object.
const Json* Member(const Json& obj, const char* name) {
    if (!obj.is_object())
        return nullptr;
    const auto it = obj.find(name);
    return it == obj.end() ? nullptr : &*it;
}

// A whole number; nullopt for a fraction, another kind of value or one beyond 64 signed bits.
// Non-negative numbers are held as unsigned, so they are range-checked before the conversion.
std::optional<std::int64_t> WholeNumber(const Json& v) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer())
        return v.get<std::int64_t>();
    return std::nullopt;
}

// The whole text as one JSON value; nullopt (with the reader's description) for malformed text.
// The library reports faults by exception; they end here.
std::optional<Json> ParseDocument(const std::string& text, std::string* error) {
    try {
        return Json::parse(text);
    } catch (const Json::exception& e) {
        // Drop the "[json.exception.parse_error.101] " tag, keep the place and the fault.
        const std::string what = e.what();
        const auto tagEnd = what.find("] ");
        *error = tagEnd == std::string::npos ? what : what.substr(tagEnd + 2);
        return std::nullopt;
    }
}

// Reads members of a state document, remembering the first fault.
class Reader {
public:
    explicit Reader(std::string* error) : error_(error) {}

    bool ok() const { return ok_; }

    bool fail(const std::string& what) {
        if (ok_ && error_)
            *error_ = what;
        ok_ = false;
        return false;
    }

    void boolean(const Json& obj, const char* name, bool& out) {
        const Json* m = Member(obj, name);
        if (!m)
            return;
        if (m->is_boolean())
            out = m->get<bool>();
        else
            fail(std::string(name) + ": not true/false");
    }

    void bytes(const Json& obj, const char* name, Bytes& out, std::size_t exact, bool mayBeEmpty,
               std::size_t maxLength = 0) {
        const Json* m = Member(obj, name);
        if (!m)
            return;
        auto b = m->is_string() ? FromHex(m->get_ref<const std::string&>()) : std::nullopt;
        if (!b) {
            fail(std::string(name) + ": not a hex string");
            return;
        }
        const bool lengthOk = (mayBeEmpty && b->empty()) ||
                              (exact ? b->size() == exact
                                     : !b->empty() && (maxLength == 0 || b->size() <= maxLength));
        if (!lengthOk) {
            fail(std::string(name) + ": wrong length " + std::to_string(b->size()));
            return;
        }
        out = std::move(*b);
    }

    template <std::size_t N>
    void fixed(const Json& obj, const char* name, std::array<std::uint8_t, N>& out) {
        Bytes b(out.begin(), out.end());
        bytes(obj, name, b, N, false);
        if (b.size() == N)
            std::copy(b.begin(), b.end(), out.begin());
    }

    void byte(const Json& obj, const char* name, std::uint8_t& out) {
        Bytes b{out};
        bytes(obj, name, b, 1, false);
        if (b.size() == 1)
            out = b[0];
    }

    void number(const Json& obj, const char* name, int& out, int low, int high) {
        const Json* m = Member(obj, name);
        if (!m)
            return;
        const auto v = WholeNumber(*m);
        if (!v || *v < low || *v > high) {
            fail(std::string(name) + ": not a number from " + std::to_string(low) + " to " +
                 std::to_string(high));
            return;
        }
        out = static_cast<int>(*v);
    }

    void secret(const Json& obj, const char* name, Secret& s, std::size_t length) {
        const Json* m = Member(obj, name);
        if (!m)
            return;
        if (!m->is_object()) {
            fail(std::string(name) + ": not an object");
            return;
        }
        bytes(*m, "value", s.value, length, true);
        byte(*m, "attribute", s.attribute);
        if (s.maxTries > 0) {
            number(*m, "max_tries", s.maxTries, 1, 15);
            number(*m, "tries_left", s.triesLeft, 0, s.maxTries);
        }
    }

private:
    std::string* error_;
    bool ok_ = true;
};

} // namespace

const char* AppName(AppId id) {
    switch (id) {
    case AppId::RSA:
        return "rsa";
    case AppId::DSTU:
        return "dstu";
    case AppId::Data:
        return "data";
    }
    return "";
}

std::optional<AppId> AppFromName(const std::string& name) {
    for (std::size_t i = 0; i < kAppCount; ++i)
        if (name == AppName(static_cast<AppId>(i)))
            return static_cast<AppId>(i);
    return std::nullopt;
}

const Bytes& AppAid(AppId id) {
    static const Bytes rsa = WithPrefix(0xFA, "VLMRSAD");
    static const Bytes dstu = WithPrefix(0xFA, "VLMSG4145");
    static const Bytes data = WithPrefix(0xFA, "VLMDATAau");
    switch (id) {
    case AppId::RSA:
        return rsa;
    case AppId::DSTU:
        return dstu;
    case AppId::Data:
        break;
    }
    return data;
}

std::optional<std::array<bool, kAppCount>> ParseAppList(const std::string& text) {
    std::array<bool, kAppCount> carried{};
    if (text == "none")
        return carried;
    std::stringstream in(text);
    std::string item;
    bool any = false;
    while (std::getline(in, item, ',')) {
        auto id = AppFromName(item);
        if (!id)
            return std::nullopt;
        carried[static_cast<std::size_t>(*id)] = true;
        any = true;
    }
    if (!any)
        return std::nullopt;
    return carried;
}

TokenState TokenState::Factory() {
    TokenState t;
    t.mfCode = Ascii("31740259");
    t.pin.value = Ascii("12345678");
    t.pin.attribute = 0x77;
    t.pin.maxTries = t.pin.triesLeft = 3;
    t.puk.maxTries = t.puk.triesLeft = 3;
    return t;
}

std::uint8_t TokenState::appBits() const {
    if (foreign)
        return 0;
    std::uint8_t bits = 0;
    if (app(AppId::DSTU).carried)
        bits |= 0x01;
    if (app(AppId::RSA).carried)
        bits |= 0x02;
    if (app(AppId::Data).carried)
        bits |= 0x04;
    return bits;
}

std::vector<std::uint8_t> TokenState::Atr() const {
    // TS, T0 (TD1 follows, 15 historical bytes), TD1 (T=0, TD2 follows), TD2 (T=1), the
    // historical bytes, TCK. The family's marker "VLM" sits in the historical bytes and ATR byte
    // 14 carries the application bits.
    const char* marker = foreign ? "PKI" : "VLM";
    std::vector<std::uint8_t> atr = {0x3B, 0x8F, 0x80, 0x01,
                                     // historical bytes
                                     0x80, static_cast<std::uint8_t>(marker[0]),
                                     static_cast<std::uint8_t>(marker[1]),
                                     static_cast<std::uint8_t>(marker[2]), 0x54, 0x4B, 0x31, 0x00,
                                     0x00, 0x00, appBits(), 0x00, 0x00, 0x90, 0x00};
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

std::string TokenState::ToJson() const {
    Json root;
    root["format"] = kFormat;
    root["foreign"] = foreign;
    root["atr"] = ToHex(Atr());
    root["card_id"] = ToHex(cardId.data(), cardId.size());
    root["mf_code"] = ToHex(mfCode);
    root["pin"] = SecretJson(pin);
    root["puk"] = SecretJson(puk);
    root["unblock_key"] = SecretJson(unblockKey);
    // The unblock key's check value (first three bytes of its encryption of a zero block), to
    // compare with what the administrator's program shows; derived, never read back.
    root["unblock_key_kcv"] = UnblockKeyCheckValue(unblockKey.value);
    Json& apps = root["applications"];
    for (std::size_t i = 0; i < kAppCount; ++i) {
        const Application& a = this->apps[i];
        Json& j = apps[AppName(static_cast<AppId>(i))];
        j["carried"] = a.carried;
        j["group_key"] = SecretJson(a.groupKey);
        j["group"] = ToHex(a.group.data(), a.group.size());
        j["name"] = ToHex(a.name.data(), a.name.size());
        j["activated"] = a.activated;
        j["file_02"] = ToHex(a.file02.data(), a.file02.size());
    }
    root["challenge"] = ToHex(challenge);
    root["user_challenge"] = ToHex(userChallenge);
    Json& s = root["session"];
    s["powered"] = session.powered;
    s["selected"] = DfName(session.selected);
    s["admin"] = session.admin;
    s["pin_verified"] = session.pinVerified;
    s["unblock"] = session.unblock;
    // Two blanks a level and a closing line feed. Every text is hex or a fixed name, so the
    // replacing error handler never comes into play; it keeps dump() free of exceptions.
    return root.dump(2, ' ', false, Json::error_handler_t::replace) + '\n';
}

std::optional<TokenState> TokenState::FromJson(const std::string& text, std::string* error) {
    std::string parseError;
    const auto doc = ParseDocument(text, &parseError);
    if (!doc || !doc->is_object()) {
        if (error)
            *error = doc ? "not a JSON object" : parseError;
        return std::nullopt;
    }
    const Json* format = Member(*doc, "format");
    if (!format || !format->is_string() || format->get_ref<const std::string&>() != kFormat) {
        if (error)
            *error =
                std::string("not a virtual token state (\"format\" must be \"") + kFormat + "\")";
        return std::nullopt;
    }
    TokenState t = Factory();
    Reader r(error);
    r.boolean(*doc, "foreign", t.foreign);
    r.fixed(*doc, "card_id", t.cardId);
    r.bytes(*doc, "mf_code", t.mfCode, 0, false, 64);
    r.secret(*doc, "pin", t.pin, kPinLength);
    r.secret(*doc, "puk", t.puk, kPinLength);
    r.secret(*doc, "unblock_key", t.unblockKey, kUnblockKeyLength);
    if (const Json* apps = Member(*doc, "applications")) {
        for (std::size_t i = 0; i < kAppCount; ++i) {
            const Json* a = Member(*apps, AppName(static_cast<AppId>(i)));
            if (!a)
                continue;
            Application& app = t.apps[i];
            r.boolean(*a, "carried", app.carried);
            r.secret(*a, "group_key", app.groupKey, kGroupKeyLength);
            r.fixed(*a, "group", app.group);
            r.fixed(*a, "name", app.name);
            r.boolean(*a, "activated", app.activated);
            r.fixed(*a, "file_02", app.file02);
        }
    }
    r.bytes(*doc, "challenge", t.challenge, 8, true);
    r.bytes(*doc, "user_challenge", t.userChallenge, 8, true);
    if (const Json* s = Member(*doc, "session")) {
        r.boolean(*s, "powered", t.session.powered);
        r.boolean(*s, "admin", t.session.admin);
        r.boolean(*s, "pin_verified", t.session.pinVerified);
        r.boolean(*s, "unblock", t.session.unblock);
        if (const Json* df = Member(*s, "selected")) {
            bool known = false;
            for (auto d : {Session::Df::MF, Session::Df::RSA, Session::Df::DSTU, Session::Df::Data})
                if (df->is_string() && df->get_ref<const std::string&>() == DfName(d)) {
                    t.session.selected = d;
                    known = true;
                }
            if (!known)
                r.fail("session.selected: not MF, rsa, dstu or data");
        }
    }
    if (!r.ok())
        return std::nullopt;
    return t;
}

std::optional<TokenState> LoadStateFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string why;
    auto state = TokenState::FromJson(text.str(), &why);
    if (!state && error)
        *error = path + ": " + why;
    return state;
}

bool SaveStateFile(const std::string& path, const std::string& json, std::string* error) {
    // Readers see either the old or the new file, never a half-written one.
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    std::size_t done = 0;
    while (ok && done < json.size()) {
        ssize_t n = ::write(fd, json.data() + done, json.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    const int savedErrno = errno;
    if (fd >= 0 && ::close(fd) != 0)
        ok = false;
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        if (error)
            *error = path + ": " + std::strerror(errno ? errno : savedErrno);
        ::unlink(temp.c_str());
    }
    return ok;
}

} // namespace vtoken
