#include "StationEvents.h"

void StationEvents::Push(StationEvent event) {
    std::function<void()> wake;
    {
        const std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        wake = wake_;
    }
    arrived_.notify_all();
    if (wake)
        wake();
}

std::vector<StationEvent> StationEvents::Drain() {
    const std::lock_guard lock(mutex_);
    std::vector<StationEvent> drained(std::make_move_iterator(events_.begin()),
                                      std::make_move_iterator(events_.end()));
    events_.clear();
    return drained;
}

bool StationEvents::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [this] { return !events_.empty(); });
}

void StationEvents::SetWake(std::function<void()> wake) {
    const std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}
