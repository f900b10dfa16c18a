#include "LogLine.h"

#include <algorithm>

std::string FormatLogLine(std::string_view time, std::string_view cardId,
                          std::string_view failureMessage) {
    std::string line;
    line.reserve(time.size() + cardId.size() + failureMessage.size() + 16);
    line.append(time).append(": #").append(cardId);
    if (failureMessage.empty())
        line.append(" SUCCESS");
    else
        line.append(" ERROR: ").append(failureMessage);
    return line;
}

ParsedLogLine ParseLogLine(std::string_view line) {
    constexpr std::size_t kMaxTimeLength = 32;
    constexpr std::string_view kSuccess = "SUCCESS";
    constexpr std::string_view kError = "ERROR: ";
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);

    // The first ": #" within the longest time allowed; no '#' may come before it. Looked for
    // byte by byte: the journal reads millions of lines, and the message after it may be long.
    ParsedLogLine parsed;
    const std::size_t window = std::min(line.size(), kMaxTimeLength + 3);
    std::size_t separator = 0;
    for (;; ++separator) {
        if (separator + 3 > window || line[separator] == '#')
            return parsed;
        if (line[separator] == ':' && line[separator + 1] == ' ' && line[separator + 2] == '#')
            break;
    }
    if (separator == 0)
        return parsed;
    const std::string_view time = line.substr(0, separator);
    // The card number runs up to the blank before the outcome; it holds no blank itself.
    const std::string_view rest = line.substr(separator + 3);
    const std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos)
        return parsed;
    const std::string_view outcome = rest.substr(blank + 1);
    if (outcome == kSuccess) {
        parsed.outcome = LogOutcome::Success;
    } else if (outcome.substr(0, kError.size()) == kError) {
        parsed.outcome = LogOutcome::Error;
        parsed.message = outcome.substr(kError.size());
    } else {
        return parsed;
    }
    parsed.time = time;
    parsed.cardId = rest.substr(0, blank);
    return parsed;
}
