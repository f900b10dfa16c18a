#include "CardTable.h"

namespace {

constexpr std::size_t kFirstSlots = 16;

bool Full(std::size_t count, std::size_t slots) {
    return (count + 1) * 8 > slots * 7;
}

} // namespace

void CardTable::Settle() {
    for (Part& part : parts_) {
        Apply(part);
        std::vector<Attempt>().swap(part.queue); // the few lines added later need little room
    }
}

// Reads the part's tables front to back first: the processor streams them into its cache far
// sooner than it would fetch the lines one lookup at a time.
void CardTable::Apply(Part& part) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < part.done.size(); i += 8)
        sum += part.done[i];
    for (std::size_t i = 0; i < part.failing.size(); i += 4)
        sum += part.failing[i].key;
    asm volatile("" : : "r"(sum));
    for (const Attempt& attempt : part.queue)
        if (Record(part, attempt.key, attempt.lineAndOutcome & ~kSucceeded,
                   (attempt.lineAndOutcome & kSucceeded) != 0))
            ++size_;
    part.queue.clear();
}

bool CardTable::Record(Part& part, std::uint64_t key, std::uint32_t line, bool success) {
    if (success) {
        if (!InsertDone(part, key))
            return false;
        Failing* failing = FindFailing(part, key);
        if (!failing)
            return true;
        EraseFailing(part, failing);
        return false;
    }
    if (DoneContains(part, key))
        return false;
    if (Failing* failing = FindFailing(part, key)) {
        failing->last = line;
        return false;
    }
    if (Full(part.failingCount, part.failing.size()))
        GrowFailing(part);
    const std::size_t mask = part.failing.size() - 1;
    std::size_t i = Home(key, part.failing.size());
    while (part.failing[i].firstPlusOne != 0)
        i = (i + 1) & mask;
    part.failing[i] = {key, line + 1, line};
    ++part.failingCount;
    return true;
}

bool CardTable::Contains(std::uint64_t key) const {
    const Part& part = parts_[(key * 0x9E3779B97F4A7C15ull) >> 56];
    return DoneContains(part, key) || FindFailing(part, key) != nullptr;
}

void CardTable::Clear() {
    for (Part& part : parts_)
        part = Part();
    size_ = 0;
}

bool CardTable::DoneContains(const Part& part, std::uint64_t key) {
    if (key == 0)
        return part.zeroDone;
    if (part.done.empty())
        return false;
    const std::size_t mask = part.done.size() - 1;
    for (std::size_t i = Home(key, part.done.size());; i = (i + 1) & mask) {
        if (part.done[i] == key)
            return true;
        if (part.done[i] == 0)
            return false;
    }
}

bool CardTable::InsertDone(Part& part, std::uint64_t key) {
    if (key == 0) {
        const bool added = !part.zeroDone;
        part.zeroDone = true;
        return added;
    }
    if (Full(part.doneCount, part.done.size()))
        GrowDone(part);
    const std::size_t mask = part.done.size() - 1;
    for (std::size_t i = Home(key, part.done.size());; i = (i + 1) & mask) {
        if (part.done[i] == key)
            return false;
        if (part.done[i] == 0) {
            part.done[i] = key;
            ++part.doneCount;
            return true;
        }
    }
}

CardTable::Failing* CardTable::FindFailing(const Part& part, std::uint64_t key) {
    if (part.failing.empty())
        return nullptr;
    const std::size_t mask = part.failing.size() - 1;
    for (std::size_t i = Home(key, part.failing.size());; i = (i + 1) & mask) {
        const Failing& slot = part.failing[i];
        if (slot.firstPlusOne == 0)
            return nullptr;
        if (slot.key == key)
            return const_cast<Failing*>(&slot); // Record changes it through its own part
    }
}

// Linear probing without tombstones: the slots after the freed one that would no longer be found
// from their home slot move back into the gap.
void CardTable::EraseFailing(Part& part, Failing* slot) {
    const std::size_t mask = part.failing.size() - 1;
    auto gap = static_cast<std::size_t>(slot - part.failing.data());
    for (std::size_t i = (gap + 1) & mask; part.failing[i].firstPlusOne != 0; i = (i + 1) & mask) {
        const std::size_t home = Home(part.failing[i].key, part.failing.size());
        // Moves when its home is not in (gap, i], counted around the end of the table.
        if (((i - home) & mask) >= ((i - gap) & mask)) {
            part.failing[gap] = part.failing[i];
            gap = i;
        }
    }
    part.failing[gap].firstPlusOne = 0;
    --part.failingCount;
}

void CardTable::GrowDone(Part& part) {
    std::vector<std::uint64_t> old;
    old.swap(part.done);
    part.done.assign(old.empty() ? kFirstSlots : old.size() * 2, 0);
    const std::size_t mask = part.done.size() - 1;
    for (const std::uint64_t key : old) {
        if (key == 0)
            continue;
        std::size_t i = Home(key, part.done.size());
        while (part.done[i] != 0)
            i = (i + 1) & mask;
        part.done[i] = key;
    }
}

void CardTable::GrowFailing(Part& part) {
    std::vector<Failing> old;
    old.swap(part.failing);
    part.failing.assign(old.empty() ? kFirstSlots : old.size() * 2, Failing{0, 0, 0});
    const std::size_t mask = part.failing.size() - 1;
    for (const Failing& slot : old) {
        if (slot.firstPlusOne == 0)
            continue;
        std::size_t i = Home(slot.key, part.failing.size());
        while (part.failing[i].firstPlusOne != 0)
            i = (i + 1) & mask;
        part.failing[i] = slot;
    }
}
