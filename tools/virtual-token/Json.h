#pragma once
// A small JSON value with a strict reader and a stable, readable writer: enough for the virtual
// token's state file (objects, strings, integers, Booleans; arrays and null are read as well).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vtoken {

class Json {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Json() = default;
    static Json Bool(bool value);
    static Json Number(std::int64_t value);
    static Json String(std::string value);
    static Json Array();
    static Json Object();

    Kind kind() const { return kind_; }
    bool isObject() const { return kind_ == Kind::Object; }

    // Typed reads; nullopt when the value is of another kind.
    std::optional<bool> asBool() const;
    std::optional<std::int64_t> asNumber() const;
    std::optional<std::string> asString() const;

    // Object access: member() answers nullptr for a missing member or a non-object.
    const Json* member(const std::string& name) const;
    Json& set(const std::string& name, Json value);
    const std::vector<std::pair<std::string, Json>>& members() const { return members_; }
    // Array access.
    void push(Json value) { items_.push_back(std::move(value)); }
    const std::vector<Json>& items() const { return items_; }

    // Members keep the order in which they were set; the output ends with a line feed.
    std::string write() const;
    // Parses a whole document; on failure answers nullopt and describes the fault in `error`.
    static std::optional<Json> parse(const std::string& text, std::string* error = nullptr);

private:
    void writeTo(std::string& out, int indent) const;

    Kind kind_ = Kind::Null;
    bool bool_ = false;
    std::int64_t number_ = 0;
    std::string string_;
    std::vector<Json> items_;
    std::vector<std::pair<std::string, Json>> members_;
};

} // namespace vtoken
