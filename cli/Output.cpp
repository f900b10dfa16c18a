#include "Output.h"

#include <cerrno>
#include <ctime>
#include <ostream>

namespace {

nlohmann::json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

} // namespace

Output::Output(std::ostream& out, std::ostream& err, bool json, std::function<std::string()> now)
    : out_(out), err_(err), json_(json), now_(std::move(now)) {}

std::string Output::HexCode(std::uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = kDigits[value & 0x0F];
    return text;
}

std::string Output::LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[40] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string stamp = text;
    // ISO 8601 writes the offset as +02:00.
    if (stamp.size() >= 5)
        stamp.insert(stamp.size() - 2, ":");
    return stamp;
}

nlohmann::json Output::ToJson(const OutputEvent& event) const {
    nlohmann::json object = {
        {"event", event.event},
        {"time", now_()},
        {"reader", TextOrNull(event.reader)},
        {"card", TextOrNull(event.card)},
        {"step", TextOrNull(event.step)},
        {"status_word",
         event.statusWord ? nlohmann::json(HexCode(*event.statusWord, 4)) : nlohmann::json()},
        {"result", event.result ? nlohmann::json(HexCode(*event.result, 8)) : nlohmann::json()},
        {"ok", event.ok ? nlohmann::json(*event.ok) : nlohmann::json()},
        {"message", TextOrNull(event.message)},
    };
    for (const auto& [key, value] : event.extra.items())
        object[key] = value;
    return object;
}

std::string Output::Line(const OutputEvent& event, bool& toErrors) const {
    toErrors = false;
    if (json_) {
        // Texts from a token or a reader name need not be valid UTF-8: replace what is not.
        return ToJson(event).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
    }
    const std::string& line = event.text.empty() ? event.message : event.text;
    if (line.empty())
        return {};
    toErrors = event.ok == false;
    return line + '\n';
}

void Output::Report(const OutputEvent& event) {
    bool toErrors = false;
    const std::string line = Line(event, toErrors);
    if (line.empty())
        return;
    if (toErrors) {
        err_ << line << std::flush;
        return;
    }
    errno = 0;
    out_ << line << std::flush;
    if (!out_ && writeError_ == 0)
        writeError_ = errno != 0 ? errno : EIO;
}

void Output::ToErrors(const OutputEvent& event) {
    bool toErrors = false;
    err_ << (json_ ? Line(event, toErrors) : event.message + '\n') << std::flush;
}

void Output::Refuse(const std::string& message) {
    OutputEvent event;
    event.event = "error";
    event.ok = false;
    event.message = message;
    ToErrors(event);
}

void Output::Aside(const std::string& event, const std::string& message) {
    OutputEvent aside;
    aside.event = event;
    aside.message = message;
    ToErrors(aside);
}

void Output::Error(const std::string& message) {
    OutputEvent event;
    event.event = "error";
    event.ok = false;
    event.message = message;
    Report(event);
}

void Output::Notice(const std::string& message) {
    if (json_) {
        OutputEvent event;
        event.event = "notice";
        event.message = message;
        Report(event);
        return;
    }
    err_ << message << '\n' << std::flush;
}

std::string CommaList(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}
