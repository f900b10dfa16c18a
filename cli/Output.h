#pragma once
// What orvane-cli tells its caller: Russian text lines (the program's own messages) by default, or
// with --json one JSON object per line with the fields event, time, reader, card, step,
// status_word, result, ok and message (null where they do not apply), plus the event's own
// fields. Nothing secret is ever given to it.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

struct OutputEvent {
    std::string event;
    std::string reader;
    std::string card;
    std::string step;
    std::optional<std::uint16_t> statusWord;
    // The reader layer's result code of a failure.
    std::optional<std::uint32_t> result;
    std::optional<bool> ok;
    // The program's message (UTF-8); in text mode the line shown unless `text` is set.
    std::string message;
    std::string text;
    // Fields of this event alone (kcv, response, path, ...).
    nlohmann::json extra = nlohmann::json::object();

    // A failed step with the reader's cause (a code of 0 means none and stays null).
    void Failed(const char* failedStep, std::uint16_t sw, std::uint32_t code) {
        ok = false;
        step = failedStep;
        if (sw != 0)
            statusWord = sw;
        if (code != 0)
            result = code;
    }
};

class Output {
public:
    // `now` gives the local time for the JSON field "time" (ISO 8601 with the UTC offset).
    Output(std::ostream& out, std::ostream& err, bool json,
           std::function<std::string()> now = LocalTimeNow);

    // Text mode: the message on standard output, or on standard error for a failure (ok false).
    // JSON mode: the object on standard output.
    void Report(const OutputEvent& event);
    // The line (with its newline) Report would write for `event`, and whether it would go to
    // standard error; empty when Report would write nothing.
    std::string Line(const OutputEvent& event, bool& toErrors) const;
    // A failure of the command itself (bad input, no service, a key file): event "error".
    void Error(const std::string& message);
    // A remark in text mode (on standard error); JSON mode: event "notice".
    void Notice(const std::string& message);
    // A refusal that must not mix with the command's output: on standard error, as a line of
    // text or (JSON mode) an "error" event.
    void Refuse(const std::string& message);
    // A remark beside the command's output, which goes on: on standard error, as a line of text
    // or (JSON mode) an object of the event `event` ("journal-unavailable").
    void Aside(const std::string& event, const std::string& message);

    // The errno of the first write to standard output that failed, 0 while all of them went.
    int WriteError() const { return writeError_; }

    bool Json() const { return json_; }
    // The JSON object of an event, as one line of --json output holds it.
    nlohmann::json ToJson(const OutputEvent& event) const;

    static std::string LocalTimeNow();
    // "6A82" for a status word, "8010000C" for a result code.
    static std::string HexCode(std::uint32_t value, int digits);

private:
    // The event on standard error: its message as text, or its JSON object.
    void ToErrors(const OutputEvent& event);

    std::ostream& out_;
    std::ostream& err_;
    bool json_;
    std::function<std::string()> now_;
    int writeError_ = 0;
};

// Names or paths in one line, separated by ", ", as the messages list them.
std::string CommaList(const std::vector<std::string>& items);
