#include "ReaderWatch.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

bool ContextLost(std::uint32_t result) {
    return result == pcsc::kNoService || result == pcsc::kServiceStopped ||
           result == pcsc::kInvalidHandle;
}

} // namespace

ReaderWatch::ReaderWatch(pcsc::Api& api) : api_(api) {}

ReaderWatch::~ReaderWatch() {
    DropContext();
}

bool ReaderWatch::EnsureContext() {
    if (context_ != 0)
        return true;
    pcsc::SCARDCONTEXT context = 0;
    if (api_.EstablishContext(pcsc::kScopeUser, &context) != 0)
        return false;
    context_ = context;
    return true;
}

void ReaderWatch::DropContext() {
    if (context_ != 0)
        api_.ReleaseContext(context_);
    context_ = 0;
}

std::optional<std::vector<std::string>> ReaderWatch::List() {
    // A context that outlived a restart of the service is renewed once.
    for (int tries = 0; tries < 2; ++tries) {
        if (!EnsureContext())
            return std::nullopt;
        pcsc::DWORD length = 0;
        auto result =
            static_cast<std::uint32_t>(api_.ListReaders(context_, nullptr, nullptr, &length));
        if (result == pcsc::kNoReadersAvailable)
            return std::vector<std::string>{};
        if (ContextLost(result)) {
            DropContext();
            continue;
        }
        if (result != 0)
            return std::nullopt;
        std::vector<char> names(static_cast<std::size_t>(length) + 2, '\0');
        pcsc::DWORD filled = length;
        result =
            static_cast<std::uint32_t>(api_.ListReaders(context_, nullptr, names.data(), &filled));
        if (result == pcsc::kNoReadersAvailable)
            return std::vector<std::string>{};
        if (result == pcsc::kInsufficientBuffer)
            continue; // a reader plugged in between the two calls: ask again
        if (result != 0)
            return std::nullopt;
        std::vector<std::string> readers;
        const std::size_t end = std::min<std::size_t>(filled, length);
        for (std::size_t offset = 0; offset < end && names[offset] != '\0';) {
            const std::size_t size = strnlen(names.data() + offset, end - offset);
            readers.emplace_back(names.data() + offset, size);
            offset += size + 1;
        }
        return readers;
    }
    return std::nullopt;
}

void ReaderWatch::WaitForChange(int timeoutMs) {
    const auto started = std::chrono::steady_clock::now();
    std::uint32_t result = pcsc::kNoService;
    if (EnsureContext()) {
        pcsc::ReaderState state;
        state.reader = kReaderListChange;
        // pcsc-lite keeps the count of readers in the upper half of the notification's state.
        state.currentState = knownCount_ << 16;
        result = static_cast<std::uint32_t>(
            api_.GetStatusChange(context_, static_cast<pcsc::DWORD>(timeoutMs), &state, 1));
        if (result == 0) {
            // The first wait learns the count; a change answers at once, and the caller lists.
            const pcsc::DWORD count = state.eventCounter;
            const bool changed = count != knownCount_;
            knownCount_ = count;
            if (changed)
                return;
        } else if (result == pcsc::kTimeout) {
            return;
        } else if (ContextLost(result)) {
            DropContext();
        }
    }
    // No notification to be had (the service away, or none offered): the caller's next look is
    // still no sooner than the time-out.
    const auto left =
        std::chrono::milliseconds(timeoutMs) - (std::chrono::steady_clock::now() - started);
    if (left > std::chrono::milliseconds(0))
        std::this_thread::sleep_for(left);
}
