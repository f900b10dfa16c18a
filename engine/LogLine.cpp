#include "LogLine.h"

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
