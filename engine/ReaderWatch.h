#pragma once
// The readers attached to the machine, and a wait for one plugged in or out: the smart-card
// service's reader-change notification (the reader "\\?PnP?\Notification" of a status-change
// query), through the PC/SC seam on a context of the watch's own. Used by one thread.

#include "card/PcscApi.h"

#include <optional>
#include <string>
#include <vector>

// The reader name that asks the service for changes of its reader list.
inline constexpr const char* kReaderListChange = "\\\\?PnP?\\Notification";

class ReaderWatch {
public:
    explicit ReaderWatch(pcsc::Api& api = pcsc::CurrentApi());
    ~ReaderWatch();
    ReaderWatch(const ReaderWatch&) = delete;
    ReaderWatch& operator=(const ReaderWatch&) = delete;

    // The readers the service lists, in its order (empty: none attached); nothing while the
    // service does not answer.
    std::optional<std::vector<std::string>> List();
    // Returns when the service's reader list has changed since the last wait, or after
    // `timeoutMs` (also at once-failing answers: never sooner than the time-out then).
    void WaitForChange(int timeoutMs);

private:
    // A context to work on; false while the service is away.
    bool EnsureContext();
    void DropContext();

    pcsc::Api& api_;
    pcsc::SCARDCONTEXT context_ = 0;
    // The service's count of readers at the last wait (its notification compares against it).
    pcsc::DWORD knownCount_ = 0;
};
