#include "Json.h"

#include <cctype>
#include <cstdio>

namespace vtoken {

Json Json::Bool(bool value) {
    Json j;
    j.kind_ = Kind::Bool;
    j.bool_ = value;
    return j;
}

Json Json::Number(std::int64_t value) {
    Json j;
    j.kind_ = Kind::Number;
    j.number_ = value;
    return j;
}

Json Json::String(std::string value) {
    Json j;
    j.kind_ = Kind::String;
    j.string_ = std::move(value);
    return j;
}

Json Json::Array() {
    Json j;
    j.kind_ = Kind::Array;
    return j;
}

Json Json::Object() {
    Json j;
    j.kind_ = Kind::Object;
    return j;
}

std::optional<bool> Json::asBool() const {
    if (kind_ != Kind::Bool)
        return std::nullopt;
    return bool_;
}

std::optional<std::int64_t> Json::asNumber() const {
    if (kind_ != Kind::Number)
        return std::nullopt;
    return number_;
}

std::optional<std::string> Json::asString() const {
    if (kind_ != Kind::String)
        return std::nullopt;
    return string_;
}

const Json* Json::member(const std::string& name) const {
    if (kind_ != Kind::Object)
        return nullptr;
    for (const auto& [key, value] : members_)
        if (key == name)
            return &value;
    return nullptr;
}

Json& Json::set(const std::string& name, Json value) {
    kind_ = Kind::Object;
    for (auto& [key, existing] : members_)
        if (key == name) {
            existing = std::move(value);
            return existing;
        }
    members_.emplace_back(name, std::move(value));
    return members_.back().second;
}

namespace {

void writeString(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

class Parser {
public:
    Parser(const std::string& text, std::string* error) : text_(text), error_(error) {}

    std::optional<Json> document() {
        auto value = parseValue(0);
        if (!value)
            return std::nullopt;
        skipBlanks();
        if (pos_ != text_.size())
            return fail("text after the end of the document");
        return value;
    }

private:
    static constexpr int kMaxDepth = 32;

    std::nullopt_t fail(const char* what) {
        if (error_ && error_->empty())
            *error_ = std::string(what) + " at offset " + std::to_string(pos_);
        return std::nullopt;
    }

    void skipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool literal(const char* word) {
        std::string w(word);
        if (text_.compare(pos_, w.size(), w) != 0)
            return false;
        pos_ += w.size();
        return true;
    }

    std::optional<Json> parseValue(int depth) {
        if (depth > kMaxDepth)
            return fail("nesting too deep");
        skipBlanks();
        if (pos_ >= text_.size())
            return fail("unexpected end");
        char c = text_[pos_];
        if (c == '{')
            return parseObject(depth);
        if (c == '[')
            return parseArray(depth);
        if (c == '"') {
            auto s = parseString();
            if (!s)
                return std::nullopt;
            return Json::String(*s);
        }
        if (literal("true"))
            return Json::Bool(true);
        if (literal("false"))
            return Json::Bool(false);
        if (literal("null"))
            return Json();
        if (c == '-' || std::isdigit(static_cast<unsigned char>(c)))
            return parseNumber();
        return fail("unexpected character");
    }

    std::optional<Json> parseNumber() {
        bool negative = false;
        if (text_[pos_] == '-') {
            negative = true;
            ++pos_;
        }
        if (pos_ >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[pos_])))
            return fail("bad number");
        std::uint64_t value = 0;
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
            value = value * 10 + static_cast<unsigned>(text_[pos_] - '0');
            if (value > 0x7FFFFFFFFFFFull)
                return fail("number out of range");
            ++pos_;
        }
        if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E'))
            return fail("only whole numbers are used");
        auto v = static_cast<std::int64_t>(value);
        return Json::Number(negative ? -v : v);
    }

    std::optional<std::string> parseString() {
        ++pos_; // opening quote
        std::string out;
        while (pos_ < text_.size()) {
            unsigned char c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"')
                return out;
            if (c < 0x20)
                return fail("control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= text_.size())
                break;
            char e = text_[pos_++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                if (pos_ + 4 > text_.size())
                    return fail("short \\u escape");
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    char h = text_[pos_++];
                    code <<= 4;
                    if (h >= '0' && h <= '9')
                        code |= static_cast<unsigned>(h - '0');
                    else if (h >= 'a' && h <= 'f')
                        code |= static_cast<unsigned>(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F')
                        code |= static_cast<unsigned>(h - 'A' + 10);
                    else
                        return fail("bad \\u escape");
                }
                // The state file holds ASCII; other code points are kept as UTF-8.
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                break;
            }
            default:
                return fail("bad escape");
            }
        }
        return fail("unterminated string");
    }

    std::optional<Json> parseArray(int depth) {
        ++pos_;
        Json array = Json::Array();
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return array;
        }
        for (;;) {
            auto item = parseValue(depth + 1);
            if (!item)
                return std::nullopt;
            array.push(std::move(*item));
            skipBlanks();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                return array;
            }
            return fail("expected , or ]");
        }
    }

    std::optional<Json> parseObject(int depth) {
        ++pos_;
        Json object = Json::Object();
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return object;
        }
        for (;;) {
            skipBlanks();
            if (pos_ >= text_.size() || text_[pos_] != '"')
                return fail("expected a member name");
            auto name = parseString();
            if (!name)
                return std::nullopt;
            skipBlanks();
            if (pos_ >= text_.size() || text_[pos_] != ':')
                return fail("expected :");
            ++pos_;
            auto value = parseValue(depth + 1);
            if (!value)
                return std::nullopt;
            object.set(*name, std::move(*value));
            skipBlanks();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                return object;
            }
            return fail("expected , or }");
        }
    }

    const std::string& text_;
    std::string* error_;
    std::size_t pos_ = 0;
};

} // namespace

void Json::writeTo(std::string& out, int indent) const {
    const std::string pad(static_cast<std::size_t>(indent) * 2, ' ');
    switch (kind_) {
    case Kind::Null:
        out += "null";
        break;
    case Kind::Bool:
        out += bool_ ? "true" : "false";
        break;
    case Kind::Number:
        out += std::to_string(number_);
        break;
    case Kind::String:
        writeString(out, string_);
        break;
    case Kind::Array:
        if (items_.empty()) {
            out += "[]";
            break;
        }
        out += "[\n";
        for (std::size_t i = 0; i < items_.size(); ++i) {
            out += pad + "  ";
            items_[i].writeTo(out, indent + 1);
            out += i + 1 < items_.size() ? ",\n" : "\n";
        }
        out += pad + "]";
        break;
    case Kind::Object:
        if (members_.empty()) {
            out += "{}";
            break;
        }
        out += "{\n";
        for (std::size_t i = 0; i < members_.size(); ++i) {
            out += pad + "  ";
            writeString(out, members_[i].first);
            out += ": ";
            members_[i].second.writeTo(out, indent + 1);
            out += i + 1 < members_.size() ? ",\n" : "\n";
        }
        out += pad + "}";
        break;
    }
}

std::string Json::write() const {
    std::string out;
    writeTo(out, 0);
    out += '\n';
    return out;
}

std::optional<Json> Json::parse(const std::string& text, std::string* error) {
    if (error)
        error->clear();
    return Parser(text, error).document();
}

} // namespace vtoken
