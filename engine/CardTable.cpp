#include "CardTable.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <sys/mman.h>

namespace {

constexpr std::size_t kFirstSlots = 16;
constexpr std::size_t kMostCardsReserved = std::size_t{1} << 20;
// Tables from this size on are mapped: the size of a huge page.
constexpr std::size_t kMappedBytes = std::size_t{2} << 20;

bool Full(std::size_t count, std::size_t slots) {
    return (count + 1) * 2 > slots;
}

unsigned ShiftFor(std::size_t slots) {
    return 64 - static_cast<unsigned>(std::countr_zero(slots));
}

} // namespace

KeySlots::KeySlots(std::size_t count) {
    const std::size_t bytes = count * sizeof(std::uint64_t);
    if (bytes >= kMappedBytes) {
        // A huge page must start on a boundary of its size: map one more and keep the slots'
        // part from the first boundary on.
        const std::size_t span = bytes + kMappedBytes;
        void* mapping =
            mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping != MAP_FAILED) {
            const auto from = reinterpret_cast<std::uintptr_t>(mapping);
            const auto start = (from + kMappedBytes - 1) & ~(std::uintptr_t{kMappedBytes} - 1);
            if (start > from)
                munmap(mapping, start - from);
            if (from + span > start + bytes)
                munmap(reinterpret_cast<void*>(start + bytes), from + span - (start + bytes));
            slots_ = reinterpret_cast<std::uint64_t*>(start);
            madvise(slots_, bytes, MADV_HUGEPAGE);
            mapped_ = true;
            count_ = count;
            return;
        }
    }
    slots_ = static_cast<std::uint64_t*>(std::calloc(count, sizeof(std::uint64_t)));
    if (slots_ == nullptr)
        throw std::bad_alloc();
    count_ = count;
}

KeySlots::~KeySlots() {
    if (mapped_)
        munmap(slots_, count_ * sizeof(std::uint64_t));
    else
        std::free(slots_);
}

void KeySlots::Swap(KeySlots& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(count_, other.count_);
    std::swap(mapped_, other.mapped_);
}

void CardTable::Settle() {
    const std::size_t waiting = next_ < kRing ? next_ : kRing;
    for (std::size_t i = next_ - waiting; i < next_; ++i)
        Record(ring_[i % kRing]);
    next_ = 0;
}

void CardTable::Record(const Attempt& attempt) {
    const std::uint64_t key = attempt.key;
    const std::uint32_t line = attempt.lineAndOutcome & ~kSucceeded;
    if ((attempt.lineAndOutcome & kSucceeded) != 0) {
        if (!InsertDone(key))
            return;
        if (Failing* failing = FindFailing(key))
            EraseFailing(failing);
        else
            ++size_;
        return;
    }
    if (DoneContains(key))
        return;
    if (Failing* failing = FindFailing(key)) {
        failing->last = line;
        return;
    }
    if (Full(failingCount_, failing_.size()))
        GrowFailing();
    const std::size_t mask = failing_.size() - 1;
    std::size_t i = Home(key, failingShift_);
    while (failing_[i].firstPlusOne != 0)
        i = (i + 1) & mask;
    failing_[i] = {key, line + 1, line};
    ++failingCount_;
    ++size_;
}

bool CardTable::Contains(std::uint64_t key) const {
    return DoneContains(key) || FindFailing(key) != nullptr;
}

void CardTable::Clear() {
    *this = CardTable();
}

// The lookups below are made part of Record (and Contains), which every attempt of a log passes
// through, instead of being called: the calls were about a sixteenth of the count of a big log.
[[gnu::always_inline]] inline bool CardTable::DoneContains(std::uint64_t key) const {
    if (key == 0)
        return zeroDone_;
    if (done_.empty())
        return false;
    const std::size_t mask = done_.size() - 1;
    for (std::size_t i = Home(key, doneShift_);; i = (i + 1) & mask) {
        if (done_[i] == key)
            return true;
        if (done_[i] == 0)
            return false;
    }
}

[[gnu::always_inline]] inline bool CardTable::InsertDone(std::uint64_t key) {
    if (key == 0) {
        const bool added = !zeroDone_;
        zeroDone_ = true;
        return added;
    }
    if (Full(doneCount_, done_.size()))
        GrowDone();
    const std::size_t mask = done_.size() - 1;
    for (std::size_t i = Home(key, doneShift_);; i = (i + 1) & mask) {
        if (done_[i] == key)
            return false;
        if (done_[i] == 0) {
            done_[i] = key;
            ++doneCount_;
            return true;
        }
    }
}

[[gnu::always_inline]] inline const CardTable::Failing*
CardTable::FindFailing(std::uint64_t key) const {
    if (failing_.empty())
        return nullptr;
    const std::size_t mask = failing_.size() - 1;
    for (std::size_t i = Home(key, failingShift_);; i = (i + 1) & mask) {
        const Failing& slot = failing_[i];
        if (slot.firstPlusOne == 0)
            return nullptr;
        if (slot.key == key)
            return &slot;
    }
}

[[gnu::always_inline]] inline CardTable::Failing* CardTable::FindFailing(std::uint64_t key) {
    return const_cast<Failing*>(static_cast<const CardTable*>(this)->FindFailing(key));
}

// Linear probing without tombstones: the slots after the freed one that would no longer be found
// from their home slot move back into the gap.
void CardTable::EraseFailing(Failing* slot) {
    const std::size_t mask = failing_.size() - 1;
    auto gap = static_cast<std::size_t>(slot - failing_.data());
    for (std::size_t i = (gap + 1) & mask; failing_[i].firstPlusOne != 0; i = (i + 1) & mask) {
        const std::size_t home = Home(failing_[i].key, failingShift_);
        // Moves when its home is not in (gap, i], counted around the end of the table.
        if (((i - home) & mask) >= ((i - gap) & mask)) {
            failing_[gap] = failing_[i];
            gap = i;
        }
    }
    failing_[gap].firstPlusOne = 0;
    --failingCount_;
}

void CardTable::Reserve(std::size_t cards) {
    if (doneCount_ != 0 || zeroDone_)
        return;
    // A guess from a file's length never makes more than a table of 16 MB at once: a log of
    // gigabytes with few cards must not take gigabytes; more cards still grow the table.
    cards = std::min(cards, kMostCardsReserved);
    std::size_t slots = kFirstSlots;
    while (Full(cards, slots))
        slots *= 2;
    if (slots > done_.size()) {
        done_ = KeySlots(slots);
        doneShift_ = ShiftFor(slots);
    }
}

void CardTable::GrowDone() {
    KeySlots old(std::move(done_));
    done_ = KeySlots(old.empty() ? kFirstSlots : old.size() * 2);
    doneShift_ = ShiftFor(done_.size());
    const std::size_t mask = done_.size() - 1;
    for (std::size_t k = 0; k < old.size(); ++k) {
        const std::uint64_t key = old[k];
        if (key == 0)
            continue;
        std::size_t i = Home(key, doneShift_);
        while (done_[i] != 0)
            i = (i + 1) & mask;
        done_[i] = key;
    }
}

void CardTable::GrowFailing() {
    std::vector<Failing> old;
    old.swap(failing_);
    failing_.assign(old.empty() ? kFirstSlots : old.size() * 2, Failing{0, 0, 0});
    failingShift_ = ShiftFor(failing_.size());
    const std::size_t mask = failing_.size() - 1;
    for (const Failing& slot : old) {
        if (slot.firstPlusOne == 0)
            continue;
        std::size_t i = Home(slot.key, failingShift_);
        while (failing_[i].firstPlusOne != 0)
            i = (i + 1) & mask;
        failing_[i] = slot;
    }
}
