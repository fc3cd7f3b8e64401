#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <optional>
#include <ranges>
#include <span>
#include <vector>

#include "rtree/invariant.hpp"

namespace sferix::rtree {

// A priority-queue entry: ordered by its squared distance `distance_2`, smallest
// first, and among equal distances by `tie_break` when the entry has one.
template <typename E>
concept HeapEntry = std::copyable<E> && std::default_initializable<E> && requires(const E& entry) {
    { entry.distance_2 } -> std::convertible_to<double>;
};

// An entry whose equal distances are ordered by a second key, smallest first.
template <typename E>
concept TieBrokenEntry = HeapEntry<E> && requires(const E& a, const E& b) {
    { a.tie_break < b.tie_break } -> std::convertible_to<bool>;
};

// A binary min-heap on `distance_2`, stored in an array that starts inside the
// object (INLINE_CAPACITY entries, no allocation) and moves to heap storage once,
// when a single extend would overflow it, allocating exactly the length needed
// at that moment. It never moves back.
//
// "Smaller" below means smaller distance_2, then smaller tie_break for entries
// that have one (TieBrokenEntry). The order among entries that compare equal is
// part of the contract (nearest queries report ties in heap pop order), so every
// step is fixed:
//  - sift-up moves an entry above its parent only when strictly smaller;
//  - pop moves the hole from the root down to the smaller child (the right one
//    when right ≤ left) without comparing the displaced last entry, then puts
//    that entry in the hole and sifts it up;
//  - extend pushes one at a time while inline; in heap storage it appends the run
//    and restores the heap by the tail rule (rebuild or sift-ups).
// Adding an entry whose distance is NaN is a broken invariant (invariant_broken);
// it is checked once per entry on the way in, so comparisons need not.
template <HeapEntry E, std::size_t InlineCapacity = 32>
class SmallHeap {
public:
    // By default four expansions of 8 children: the first results on a tree of a
    // few dozen to a few hundred objects fit without allocating.
    static constexpr std::size_t INLINE_CAPACITY = InlineCapacity;

    // Adds the entries of `entries`, in order.
    template <std::ranges::sized_range R>
    void extend(R&& entries) {
        const std::size_t count = std::ranges::size(entries);
        if (!spilled_ && inline_length_ + count <= INLINE_CAPACITY) {
            for (auto&& entry : entries) {
                check_not_nan(entry);
                inline_[inline_length_] = entry;
                ++inline_length_;
                sift_up(inline_.data(), inline_length_ - 1);
            }
            return;
        }
        if (!spilled_) {
            spill(inline_length_ + count);
        }
        const std::size_t old_length = growable_.size();
        for (auto&& entry : entries) {
            check_not_nan(entry);
            growable_.push_back(entry);
        }
        rebuild_tail(old_length);
    }

    // Removes and returns the entry with the smallest distance; nothing when empty.
    [[nodiscard]] std::optional<E> pop() {
        if (spilled_) {
            if (growable_.empty()) {
                return std::nullopt;
            }
            const E last = growable_.back();
            growable_.pop_back();
            return replace_root(growable_.data(), growable_.size(), last);
        }
        if (inline_length_ == 0) {
            return std::nullopt;
        }
        --inline_length_;
        return replace_root(inline_.data(), inline_length_, inline_[inline_length_]);
    }

    // Moves the entries into heap storage with room for `capacity` entries (at
    // least the current length), keeping their array order. Only once.
    void spill(std::size_t capacity) {
        check_invariant(!spilled_, "small heap spilled twice");
        check_invariant(capacity >= inline_length_, "small heap spill capacity below its length");
        growable_.reserve(capacity);
        // The bound is already known; restating it keeps the compiler's array
        // bounds analysis from assuming a longer copy.
        const std::size_t length = std::min(inline_length_, INLINE_CAPACITY);
        growable_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(length));
        inline_length_ = 0;
        spilled_ = true;
    }

    [[nodiscard]] std::size_t size() const noexcept { return spilled_ ? growable_.size() : inline_length_; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    [[nodiscard]] bool is_spilled() const noexcept { return spilled_; }
    // INLINE_CAPACITY before the spill, then the heap storage's.
    [[nodiscard]] std::size_t capacity() const noexcept { return spilled_ ? growable_.capacity() : INLINE_CAPACITY; }
    // The entries in array order (index 0 is the smallest).
    [[nodiscard]] std::span<const E> entries() const noexcept {
        return spilled_ ? std::span<const E>(growable_) : std::span<const E>(inline_.data(), inline_length_);
    }

private:
    static void check_not_nan(const E& entry) { check_invariant(!std::isnan(entry.distance_2), "heap distance is NaN"); }

    [[nodiscard]] static bool less(const E& a, const E& b) {
        if constexpr (TieBrokenEntry<E>) {
            if (a.distance_2 != b.distance_2) {
                return a.distance_2 < b.distance_2;
            }
            return a.tie_break < b.tie_break;
        } else {
            return a.distance_2 < b.distance_2;
        }
    }

    // The child of a node with two children at `left` that a hole moves to:
    // the right one when its distance is ≤ the left one's.
    [[nodiscard]] static std::size_t smaller_child(const E* data, std::size_t left) {
        return less(data[left], data[left + 1]) ? left : left + 1;
    }

    static void sift_up(E* data, std::size_t position) {
        const E moving = data[position];
        while (position > 0) {
            const std::size_t parent = (position - 1) / 2;
            if (!less(moving, data[parent])) {
                break;
            }
            data[position] = data[parent];
            position = parent;
        }
        data[position] = moving;
    }

    // Moves the entry at `position` down while it is strictly greater than its
    // smaller child, within the first `length` entries.
    static void sift_down(E* data, std::size_t position, std::size_t length) {
        const E moving = data[position];
        std::size_t child = 2 * position + 1;
        while (child + 1 < length) {
            child = smaller_child(data, child);
            if (!less(data[child], moving)) {
                data[position] = moving;
                return;
            }
            data[position] = data[child];
            position = child;
            child = 2 * position + 1;
        }
        if (child + 1 == length && less(data[child], moving)) {
            data[position] = data[child];
            position = child;
        }
        data[position] = moving;
    }

    // The root of the `length + 1` entries before `last` was removed from the
    // end; `last` is put back by moving the hole down to the bottom, then up.
    [[nodiscard]] static E replace_root(E* data, std::size_t length, E last) {
        if (length == 0) {
            return last;
        }
        const E result = data[0];
        std::size_t hole = 0;
        std::size_t child = 1;
        while (child + 1 < length) {
            child = smaller_child(data, child);
            data[hole] = data[child];
            hole = child;
            child = 2 * hole + 1;
        }
        if (child + 1 == length) {
            data[hole] = data[child];
            hole = child;
        }
        data[hole] = last;
        sift_up(data, hole);
        return result;
    }

    // Restores the heap after entries were appended to a growable heap that held
    // `old_length` valid entries: a full rebuild when the appended run is large
    // relative to the heap (cheaper than one sift-up per entry), else sift-ups.
    void rebuild_tail(std::size_t old_length) {
        // A rebuild costs about 2n comparisons, t sift-ups up to t·log2(s); the
        // rule picks the cheaper. Beyond 2048 entries sift-ups mostly miss the
        // cache, so a fixed cost of 11 per sift-up stands in for the logarithm.
        constexpr std::size_t LOG_RULE_MAX_LENGTH = 2048;
        constexpr std::size_t LARGE_HEAP_TAIL_FACTOR = 11;

        E* data = growable_.data();
        const std::size_t length = growable_.size();
        const std::size_t tail = length - old_length;
        if (tail == 0) {
            return;
        }
        bool rebuild = false;
        if (old_length < tail) {
            rebuild = true;
        } else if (length <= LOG_RULE_MAX_LENGTH) {
            const std::size_t log2_old = static_cast<std::size_t>(std::bit_width(old_length)) - 1;
            rebuild = 2 * length < tail * log2_old;
        } else {
            rebuild = 2 * length < LARGE_HEAP_TAIL_FACTOR * tail;
        }
        if (rebuild) {
            for (std::size_t position = length / 2; position-- > 0;) {
                sift_down(data, position, length);
            }
        } else {
            for (std::size_t position = old_length; position < length; ++position) {
                sift_up(data, position);
            }
        }
    }

    // Left uninitialised for a trivial E: only the first inline_length_ are ever read.
    std::array<E, INLINE_CAPACITY> inline_;
    std::size_t inline_length_ = 0;
    std::vector<E> growable_;
    bool spilled_ = false;
};

}  // namespace sferix::rtree
