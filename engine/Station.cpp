#include "Station.h"

#include "engine/InitLog.h"
#include "engine/ReaderWatch.h"
#include "engine/StationTexts.h"

#include <algorithm>
#include <optional>

Station::Station(const IInitSettings& settings, StationOptions options)
    : options_(std::move(options)) {
    ReadInitSettings(settings, shared_.settings);
    shared_.count = options_.count;
    shared_.lookIntervalMs = options_.lookIntervalMs;
    shared_.log = options_.log;
    if (!shared_.log)
        shared_.log = [](const std::string& cardId, const std::string& failure) {
            return WriteInitLog(cardId, failure).problem;
        };
    shared_.countReached = [this] { Esc(); };
}

Station::~Station() {
    Esc();
    if (watch_.joinable())
        watch_.join();
}

void Station::Start() {
    if (!watch_.joinable())
        watch_ = std::thread([this] { Watch(); });
}

void Station::Enter(const std::string& reader) {
    const std::lock_guard lock(readersMutex_);
    const auto found = readers_.find(reader);
    if (found != readers_.end())
        found->second->Enter();
}

void Station::Esc() {
    stopping_ = true;
    const std::lock_guard lock(readersMutex_);
    for (auto& [name, reader] : readers_)
        reader->Stop();
}

void Station::Report(StationEventKind kind, const std::string& reader, const std::string& text) {
    StationEvent event;
    event.kind = kind;
    event.reader = reader;
    event.text = text;
    shared_.events.Push(std::move(event));
}

bool Station::Wanted(const std::string& reader, const std::vector<std::string>& attached) const {
    if (std::find(attached.begin(), attached.end(), reader) == attached.end())
        return false;
    return options_.readers.empty() || std::find(options_.readers.begin(), options_.readers.end(),
                                                 reader) != options_.readers.end();
}

void Station::Watch() {
    std::vector<std::unique_ptr<StationReader>>& retired = retired_;
    ReaderWatch watch;
    const auto reconcile = [&](const std::vector<std::string>& attached) {
        // Unplugged: the run ends (an attempt under way ends first, failing on its own).
        std::vector<std::string> names;
        {
            const std::lock_guard lock(readersMutex_);
            for (const auto& [name, reader] : readers_)
                names.push_back(name);
        }
        for (const std::string& name : names) {
            if (Wanted(name, attached))
                continue;
            std::unique_ptr<StationReader> gone;
            {
                const std::lock_guard lock(readersMutex_);
                gone = std::move(readers_[name]);
                readers_.erase(name);
            }
            gone->Stop();
            retired.push_back(std::move(gone));
            told_[name] = StationEventKind::Unplugged;
            Report(StationEventKind::Unplugged, name, station_text::kUnplugged);
        }
        std::erase_if(retired, [](const auto& reader) { return reader->Done(); });
        // Named readers not attached (now or from the start) are marked once.
        for (const std::string& name : options_.readers) {
            if (Wanted(name, attached) || told_.count(name) != 0)
                continue;
            told_[name] = StationEventKind::Unplugged;
            Report(StationEventKind::Unplugged, name, station_text::kUnplugged);
        }
        Reconcile(attached);
    };
    while (!stopping_) {
        if (const auto attached = watch.List())
            reconcile(*attached);
        if (stopping_)
            break;
        watch.WaitForChange(options_.watchIntervalMs);
    }
    // Every run ends once its attempt under way has finished; the readers are let go.
    std::map<std::string, std::unique_ptr<StationReader>> last;
    {
        const std::lock_guard lock(readersMutex_);
        last.swap(readers_);
    }
    for (auto& [name, reader] : last)
        reader->Stop();
    for (auto& [name, reader] : last)
        reader->Join();
    last.clear();
    retired.clear();
    finished_ = true;
    Report(StationEventKind::Finished, {});
}

void Station::Reconcile(const std::vector<std::string>& attached) {
    if (static_cast<int>(attached.size()) >= kMaxReaders) {
        if (!tooManyTold_)
            Report(StationEventKind::TooManyReaders, {}, station_text::kTooManyReaders);
        tooManyTold_ = true;
    } else {
        tooManyTold_ = false;
    }
    for (const std::string& name : attached) {
        if (!Wanted(name, attached))
            continue;
        {
            const std::lock_guard lock(readersMutex_);
            if (readers_.count(name) != 0)
                continue;
        }
        // Plugged in again while its last run still finishes: taken once that run let it go.
        if (std::any_of(retired_.begin(), retired_.end(),
                        [&name](const auto& reader) { return reader->Reader() == name; }))
            continue;
        const auto told = told_.find(name);
        std::string refusal;
        std::optional<ReaderLock> lock = ReaderLock::Take(name, &refusal);
        if (!lock) {
            if (told == told_.end() || told->second != StationEventKind::Busy)
                Report(StationEventKind::Busy, name,
                       refusal.empty() ? ReaderHeldMessage(name) : refusal);
            told_[name] = StationEventKind::Busy;
            continue;
        }
        auto reader = std::make_unique<StationReader>(name, std::move(*lock), shared_);
        StationReader* started = reader.get();
        {
            const std::lock_guard guard(readersMutex_);
            if (stopping_)
                return;
            readers_[name] = std::move(reader);
        }
        told_.erase(name);
        Report(StationEventKind::Attached, name);
        started->Start();
    }
}
