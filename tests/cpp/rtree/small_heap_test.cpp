#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "rtree/algorithm/small_heap.hpp"
#include "support/panic.hpp"

namespace sferix::rtree {
namespace {

struct Entry {
    std::size_t id = 0;
    double distance_2 = 0.0;
    friend bool operator==(const Entry&, const Entry&) = default;
};

using Heap = SmallHeap<Entry>;

std::vector<Entry> run(std::size_t first_id, const std::vector<double>& distances) {
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < distances.size(); ++i) {
        entries.push_back(Entry{first_id + i, distances[i]});
    }
    return entries;
}

std::vector<std::size_t> ids(std::span<const Entry> entries) {
    std::vector<std::size_t> out;
    for (const Entry& entry : entries) {
        out.push_back(entry.id);
    }
    return out;
}

std::vector<std::size_t> pop_all_ids(Heap& heap) {
    std::vector<std::size_t> out;
    while (std::optional<Entry> entry = heap.pop()) {
        out.push_back(entry->id);
    }
    return out;
}

bool is_heap(std::span<const Entry> entries) {
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].distance_2 < entries[(i - 1) / 2].distance_2) {
            return false;
        }
    }
    return true;
}

// Equal entries: the hole goes down the right-preferring path and the last
// entry fills it without rising above its equal parent.
TEST(SmallHeap, PopRuleOnTies) {
    Heap heap;
    heap.extend(run(0, {1, 1, 1, 1, 1}));
    EXPECT_EQ(pop_all_ids(heap), (std::vector<std::size_t>{0, 2, 4, 1, 3}));
    EXPECT_FALSE(heap.pop().has_value());
}

TEST(SmallHeap, SpillsOnceToExactlyTheNeededLength) {
    Heap heap;
    heap.extend(run(0, std::vector<double>(30, 2.0)));
    heap.extend(run(30, {1.0, 3.0}));
    EXPECT_FALSE(heap.is_spilled());
    EXPECT_EQ(heap.size(), 32U);
    heap.extend(run(32, {0.5, 4.0, 2.5}));
    EXPECT_TRUE(heap.is_spilled());
    EXPECT_EQ(heap.capacity(), 35U);
    EXPECT_EQ(heap.size(), 35U);
    EXPECT_TRUE(is_heap(heap.entries()));
    std::optional<Entry> previous = heap.pop();
    EXPECT_EQ(previous->id, 32U);
    while (std::optional<Entry> entry = heap.pop()) {
        EXPECT_LE(previous->distance_2, entry->distance_2);
        previous = entry;
    }
    // Once spilled it stays spilled.
    heap.extend(run(40, {1.0}));
    EXPECT_TRUE(heap.is_spilled());
}

// A growable heap runs the same rules as the inline one: while appended runs
// are short next to the heap, the tail rule sifts them up one by one, exactly
// like inline pushes, and pops are the same.
TEST(SmallHeap, GrowableFormKeepsTheInlineOrder) {
    std::mt19937_64 rng(9);
    std::uniform_int_distribution<int> tie_heavy(0, 3);
    std::uniform_int_distribution<std::size_t> run_length(1, 8);
    Heap inline_heap;
    Heap growable_heap;
    growable_heap.spill(64);
    std::size_t next_id = 0;
    const auto extend_both = [&](std::size_t length) {
        std::vector<double> distances;
        for (std::size_t i = 0; i < length; ++i) {
            distances.push_back(tie_heavy(rng));
        }
        const std::vector<Entry> entries = run(next_id, distances);
        next_id += length;
        inline_heap.extend(entries);
        growable_heap.extend(entries);
    };
    extend_both(1);
    for (int step = 0; step < 2000; ++step) {
        const std::size_t length = std::min(run_length(rng), inline_heap.size());
        if (inline_heap.size() + length <= Heap::INLINE_CAPACITY && step % 3 != 2) {
            extend_both(length);
        } else if (inline_heap.size() > 1) {
            EXPECT_EQ(inline_heap.pop(), growable_heap.pop());
        }
        ASSERT_EQ(ids(inline_heap.entries()), ids(growable_heap.entries())) << step;
    }
    EXPECT_FALSE(inline_heap.is_spilled());
    EXPECT_EQ(pop_all_ids(inline_heap), pop_all_ids(growable_heap));
}

// A run longer than the heap rebuilds bottom-up; inline pushes would have
// given [1, 2, 4, 5, 3].
TEST(SmallHeap, LongRunRebuildsTheWholeHeap) {
    Heap heap;
    heap.spill(0);
    heap.extend(run(0, {5, 4, 3, 2, 1}));
    std::vector<double> distances;
    for (const Entry& entry : heap.entries()) {
        distances.push_back(entry.distance_2);
    }
    EXPECT_EQ(distances, (std::vector<double>{1, 2, 3, 5, 4}));
}

TEST(SmallHeap, RandomRunsPopInOrderThroughEveryTailRule) {
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> distance(0.0, 4.0);
    Heap heap;
    std::vector<double> all;
    // Run lengths chosen to hit: inline, spill, rebuild for a long run, sift-ups
    // for short runs, and both rules above 2048 entries.
    for (const std::size_t length : {20U, 8U, 8U, 100U, 7U, 3000U, 200U, 1000U, 5U}) {
        std::vector<double> distances;
        for (std::size_t i = 0; i < length; ++i) {
            distances.push_back(distance(rng));
        }
        all.insert(all.end(), distances.begin(), distances.end());
        heap.extend(run(all.size(), distances));
        ASSERT_TRUE(is_heap(heap.entries())) << length;
        const double popped = heap.pop()->distance_2;
        const auto smallest = std::min_element(all.begin(), all.end());
        EXPECT_EQ(popped, *smallest);
        all.erase(smallest);
    }
    std::sort(all.begin(), all.end());
    std::vector<double> popped;
    while (std::optional<Entry> entry = heap.pop()) {
        popped.push_back(entry->distance_2);
    }
    EXPECT_EQ(popped, all);
}

TEST(SmallHeap, ComparingNaNIsABrokenInvariant) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    Heap inline_heap;
    EXPECT_THROW(inline_heap.extend(run(0, {1.0, NaN})), support::Panic);
    Heap growable_heap;
    growable_heap.extend(run(0, std::vector<double>(32, 1.0)));
    EXPECT_THROW(growable_heap.extend(run(32, {NaN})), support::Panic);
}

}  // namespace
}  // namespace sferix::rtree
