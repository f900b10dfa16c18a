#pragma once
// The tokens of a day's log by card number, kept compact and quick for logs of millions of lines.
// A card number of 16 hexadecimal digits (what a token reports) is one 64-bit key. The keys are
// spread by their hash over 256 parts; attempts wait in a short queue per part and are recorded
// a part at a time, so that each part's tables stay in the processor's cache while they are
// worked on instead of every attempt waiting for memory. Within a part, cards that succeeded are
// a set of 8-byte keys, and cards that failed and have not succeeded (yet) a small table of their
// first and last failed lines, left by a card once it succeeds: open addressing with linear
// probing, at most 7/8 full. Attempts on one card keep their order, so the result is the one of
// recording them one by one. Plain C++.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

class CardTable {
public:
    // Records an attempt on card `key` at `line` (below 2^31). What it changes is seen once
    // Settle has run.
    void Add(std::uint64_t key, std::uint32_t line, bool success) {
        const std::uint64_t hash = key * 0x9E3779B97F4A7C15ull;
        Part& part = parts_[hash >> 56];
        part.queue.push_back({key, line | (success ? kSucceeded : 0)});
        if (part.queue.size() == kQueueLength)
            Apply(part);
    }
    // Records every attempt still waiting.
    void Settle();

    // Distinct cards.
    std::size_t Size() const { return size_; }
    // Whether the card has been seen.
    bool Contains(std::uint64_t key) const;
    void Clear();

    // Calls visit(key, firstLine, lastErrorLine) for every card that failed and never succeeded.
    template <typename Visit> void ForEachFailing(Visit&& visit) const {
        for (const Part& part : parts_)
            for (const Failing& slot : part.failing)
                if (slot.firstPlusOne != 0)
                    visit(slot.key, slot.firstPlusOne - 1, slot.last);
    }

private:
    static constexpr std::uint32_t kSucceeded = 0x80000000u;
    static constexpr std::size_t kQueueLength = 1024;

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
    struct Part {
        std::vector<Attempt> queue;
        // Key 0 marks an empty slot; the card 0000000000000000 is the flag.
        std::vector<std::uint64_t> done;
        std::size_t doneCount = 0;
        bool zeroDone = false;
        std::vector<Failing> failing;
        std::size_t failingCount = 0;
    };

    // The slot where the key's probing starts in a table of `slots` (a power of two): the hash
    // bits below those that chose the part.
    static std::size_t Home(std::uint64_t key, std::size_t slots) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 16) & (slots - 1);
    }
    void Apply(Part& part);
    // Answers true when the card is new.
    bool Record(Part& part, std::uint64_t key, std::uint32_t line, bool success);
    static bool DoneContains(const Part& part, std::uint64_t key);
    // Adds the key to the cards that succeeded; false when it was there.
    static bool InsertDone(Part& part, std::uint64_t key);
    static Failing* FindFailing(const Part& part, std::uint64_t key);
    static void EraseFailing(Part& part, Failing* slot);
    static void GrowDone(Part& part);
    static void GrowFailing(Part& part);

    std::array<Part, 256> parts_;
    std::size_t size_ = 0;
};
