#pragma once
// The tokens of a day's log by card number, kept compact and quick for logs of millions of lines.
// A card number of 16 hexadecimal digits (what a token reports) is one 64-bit key. Cards that
// succeeded are a set of 8-byte keys; cards that failed and never succeeded a small table of
// their first and last failed lines. Both are open addressing with linear probing, at most half
// full, so that a lookup rarely reads past the slots the processor fetched for it.
//
// What a day's log says of a card does not depend on the order of its successes among its
// failures: a card to redo is one that failed and never succeeded, at any time of the day. So a
// success only goes into the set, and failures wait in a batch that is recorded at once against
// the set as it is then: a failure of a card that has succeeded is dropped, any other one goes
// into the table of failing cards (in the order of the lines, for its first and last line), and
// Settle takes out of that table the cards that succeeded after their failures were recorded.
// The common success thus costs one lookup, not one per table.
//
// A big log has far more cards than the processor's cache holds, so every lookup would wait for
// memory. A success therefore first only asks the processor to fetch the slot it will need and
// waits in a short ring; it is recorded when the ring is full, by which time its slot has
// arrived. A batch of failures fetches ahead of itself the same way. Plain C++.

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// The slots of a big table of 64-bit keys, handed over zeroed. A big table is mapped from the
// system, which zeroes it as it is first touched (on huge pages where the system has them, which
// spares the processor's address cache one entry per 4 KiB), instead of being cleared once more.
class KeySlots {
public:
    KeySlots() = default;
    explicit KeySlots(std::size_t count);
    ~KeySlots();
    KeySlots(KeySlots&& other) noexcept { Swap(other); }
    KeySlots& operator=(KeySlots&& other) noexcept {
        KeySlots gone(std::move(other));
        Swap(gone);
        return *this;
    }
    KeySlots(const KeySlots&) = delete;
    KeySlots& operator=(const KeySlots&) = delete;

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    std::uint64_t& operator[](std::size_t i) { return slots_[i]; }
    std::uint64_t operator[](std::size_t i) const { return slots_[i]; }

private:
    void Swap(KeySlots& other) noexcept;

    std::uint64_t* slots_ = nullptr;
    std::size_t count_ = 0;
    bool mapped_ = false; // else from the heap
};

class CardTable {
public:
    // Records an attempt on card `key` at `line` (below 2^31), lines in increasing order. What it
    // changes is seen once Settle has run.
    void Add(std::uint64_t key, std::uint32_t line, bool success) {
        if (!success) {
            if (failures_.size() == kFailureBatch)
                RecordFailures();
            failures_.push_back({key, line});
            return;
        }
        if (!done_.empty())
            __builtin_prefetch(&done_[Home(key, doneShift_)], 1);
        std::uint64_t& slot = ring_[next_ % kRing];
        if (next_ >= kRing)
            RecordSuccess(slot);
        slot = key;
        ++next_;
    }
    // Records every attempt still waiting.
    void Settle();
    // Makes room at once for about `cards` cards that succeed (at most a million), so that the
    // table need not grow (and move its keys) on the way; only while it is still empty.
    void Reserve(std::size_t cards);

    // Distinct cards.
    std::size_t Size() const { return doneCount_ + (zeroDone_ ? 1 : 0) + failingCount_; }
    // Whether the card has been seen.
    bool Contains(std::uint64_t key) const;
    void Clear();

    // Calls visit(key, firstLine, lastErrorLine) for every card that failed and never succeeded.
    template <typename Visit> void ForEachFailing(Visit&& visit) const {
        for (const Failing& slot : failing_)
            if (slot.firstPlusOne != 0)
                visit(slot.key, slot.firstPlusOne - 1, slot.last);
    }

private:
    // Successes on their way: enough for the slot of the first to arrive from memory while the
    // lines of the others are read.
    static constexpr std::size_t kRing = 16;
    // Failures waiting to be recorded (64 KiB, which stay in the processor's cache): a failure of a
    // card that succeeds within a batch's lines never reaches the table of failing cards.
    static constexpr std::size_t kFailureBatch = 4096;

    struct Failure {
        std::uint64_t key;
        std::uint32_t line;
    };
    // The first failed line + 1 (0: an empty slot) and the last one.
    struct Failing {
        std::uint64_t key;
        std::uint32_t firstPlusOne;
        std::uint32_t last;
    };

    // The slot where the key's probing starts in a table of 2^(64 - shift) slots: the top bits of
    // a multiplicative hash.
    static std::size_t Home(std::uint64_t key, unsigned shift) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift);
    }
    // Whether a table of `capacity` slots holding `count` keys is full: more than half.
    static bool Full(std::size_t count, std::size_t capacity) { return (count + 1) * 2 > capacity; }
    // Part of Add, which every success of a log passes through, rather than a call.
    void RecordSuccess(std::uint64_t key) {
        if (key == 0) {
            zeroDone_ = true;
            return;
        }
        if (Full(doneCount_, done_.size()))
            GrowDone();
        const std::size_t mask = done_.size() - 1;
        for (std::size_t i = Home(key, doneShift_);; i = (i + 1) & mask) {
            if (done_[i] == key)
                return;
            if (done_[i] == 0) {
                done_[i] = key;
                ++doneCount_;
                return;
            }
        }
    }
    void RecordFailures();
    void RecordFailure(const Failure& failure);
    // Takes the cards that have succeeded out of the failing ones.
    void DropSucceeded();
    bool DoneContains(std::uint64_t key) const;
    const Failing* FindFailing(std::uint64_t key) const;
    Failing* FindFailing(std::uint64_t key);
    void InsertFailing(const Failing& failing);
    void GrowDone();
    void GrowFailing();

    std::array<std::uint64_t, kRing> ring_{};
    std::size_t next_ = 0; // successes added; the last min(next_, kRing) wait in the ring
    std::vector<Failure> failures_;
    // Key 0 marks an empty slot; the card 0000000000000000 is the flag.
    KeySlots done_;
    unsigned doneShift_ = 64;
    std::size_t doneCount_ = 0;
    bool zeroDone_ = false;
    std::vector<Failing> failing_;
    unsigned failingShift_ = 64;
    std::size_t failingCount_ = 0;
};
