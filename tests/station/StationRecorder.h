#pragma once
// The station's events as a test sees them: drained into a list, waited for with a deadline.

#include "engine/Station.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace stationkit {

class Recorder {
public:
    explicit Recorder(Station& station) : station_(station) {}

    // Drains events until `done` holds (true) or `ms` have passed (false).
    bool Until(const std::function<bool()>& done, int ms = 30000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (Drain(); !done(); Drain()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            station_.Events().WaitFor(std::chrono::milliseconds(100));
        }
        return true;
    }
    void Drain() {
        for (StationEvent& event : station_.Events().Drain())
            events.push_back(std::move(event));
    }

    std::vector<StationEvent> Of(StationEventKind kind, const std::string& reader = {}) const {
        std::vector<StationEvent> found;
        std::copy_if(events.begin(), events.end(), std::back_inserter(found), [&](const auto& e) {
            return e.kind == kind && (reader.empty() || e.reader == reader);
        });
        return found;
    }
    int Count(StationEventKind kind, const std::string& reader = {}) const {
        return static_cast<int>(Of(kind, reader).size());
    }
    // How many readers have entered `state` at least once.
    int ReadersIn(RunState state) const {
        std::vector<std::string> readers;
        for (const StationEvent& e : Of(StationEventKind::State))
            if (e.state == state &&
                std::find(readers.begin(), readers.end(), e.reader) == readers.end())
                readers.push_back(e.reader);
        return static_cast<int>(readers.size());
    }
    // The last state a reader entered.
    RunState LastState(const std::string& reader) const {
        const auto states = Of(StationEventKind::State, reader);
        return states.empty() ? RunState::Ready : states.back().state;
    }

    std::vector<StationEvent> events;

private:
    Station& station_;
};

} // namespace stationkit
