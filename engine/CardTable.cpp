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
        RecordSuccess(ring_[i % kRing]);
    next_ = 0;
    RecordFailures();
    DropSucceeded();
}

// Each failure's slots are fetched a few failures ahead of recording it.
void CardTable::RecordFailures() {
    constexpr std::size_t kAhead = 8;
    const std::size_t count = failures_.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) {
            const std::uint64_t ahead = failures_[i + kAhead].key;
            if (!done_.empty())
                __builtin_prefetch(&done_[Home(ahead, doneShift_)]);
            if (!failing_.empty())
                __builtin_prefetch(&failing_[Home(ahead, failingShift_)], 1);
        }
        RecordFailure(failures_[i]);
    }
    failures_.clear();
}

void CardTable::RecordFailure(const Failure& failure) {
    if (DoneContains(failure.key))
        return;
    if (Failing* failing = FindFailing(failure.key)) {
        failing->last = failure.line;
        return;
    }
    InsertFailing({failure.key, failure.line + 1, failure.line});
}

void CardTable::DropSucceeded() {
    std::vector<Failing> left;
    left.reserve(failingCount_);
    for (const Failing& slot : failing_)
        if (slot.firstPlusOne != 0 && !DoneContains(slot.key))
            left.push_back(slot);
    if (left.size() == failingCount_)
        return;
    failing_.assign(failing_.size(), Failing{0, 0, 0});
    failingCount_ = 0;
    for (const Failing& slot : left)
        InsertFailing(slot);
}

bool CardTable::Contains(std::uint64_t key) const {
    return DoneContains(key) || FindFailing(key) != nullptr;
}

void CardTable::Clear() {
    *this = CardTable();
}

// The lookups below are part of recording a failure (and of Contains) rather than calls.
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

void CardTable::InsertFailing(const Failing& failing) {
    if (Full(failingCount_, failing_.size()))
        GrowFailing();
    const std::size_t mask = failing_.size() - 1;
    std::size_t i = Home(failing.key, failingShift_);
    while (failing_[i].firstPlusOne != 0)
        i = (i + 1) & mask;
    failing_[i] = failing;
    ++failingCount_;
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
