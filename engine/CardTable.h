#pragma once
// The tokens of a day's log by card number, kept compact and quick for logs of millions of lines.
// A card number of 16 hexadecimal digits (what a token reports) is one 64-bit key. Cards that
// succeeded are a set of 8-byte keys; cards that failed and have not succeeded (yet) a small
// table of their first and last failed lines, left by a card once it succeeds. Both are open
// addressing with linear probing, at most half full, so that a lookup rarely reads past the
// slots the processor fetched for it.
//
// A big log has far more cards than the processor's cache holds, so every lookup would wait for
// memory. An attempt therefore first only asks the processor to fetch the slots it will need and
// waits in a short ring; it is recorded when the ring is full, by which time its slots have
// arrived. Attempts are recorded in the order they came: the result is the one of recording them
// one by one. Plain C++.

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
    // Records an attempt on card `key` at `line` (below 2^31). What it changes is seen once
    // Settle has run.
    void Add(std::uint64_t key, std::uint32_t line, bool success) {
        if (!done_.empty())
            __builtin_prefetch(&done_[Home(key, doneShift_)], 1);
        if (!failing_.empty())
            __builtin_prefetch(&failing_[Home(key, failingShift_)], 1);
        Attempt& slot = ring_[next_ % kRing];
        if (next_ >= kRing)
            Record(slot);
        slot = {key, line | (success ? kSucceeded : 0)};
        ++next_;
    }
    // Records every attempt still waiting.
    void Settle();
    // Makes room at once for about `cards` cards that succeed (at most a million), so that the
    // table need not grow (and move its keys) on the way; only while it is still empty.
    void Reserve(std::size_t cards);

    // Distinct cards.
    std::size_t Size() const { return size_; }
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
    static constexpr std::uint32_t kSucceeded = 0x80000000u;
    // Attempts on their way: enough for the slots of the first to arrive from memory while the
    // lines of the others are read.
    static constexpr std::size_t kRing = 16;

    struct Attempt {
        std::uint64_t key;
        std::uint32_t lineAndOutcome;
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
    void Record(const Attempt& attempt);
    bool DoneContains(std::uint64_t key) const;
    // Adds the key to the cards that succeeded; false when it was there.
    bool InsertDone(std::uint64_t key);
    Failing* FindFailing(std::uint64_t key);
    const Failing* FindFailing(std::uint64_t key) const;
    void EraseFailing(Failing* slot);
    void GrowDone();
    void GrowFailing();

    std::array<Attempt, kRing> ring_{};
    std::size_t next_ = 0; // attempts added; the last min(next_, kRing) wait in the ring
    // Key 0 marks an empty slot; the card 0000000000000000 is the flag.
    KeySlots done_;
    unsigned doneShift_ = 64;
    std::size_t doneCount_ = 0;
    bool zeroDone_ = false;
    std::vector<Failing> failing_;
    unsigned failingShift_ = 64;
    std::size_t failingCount_ = 0;
    std::size_t size_ = 0;
};
