#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <iterator>
#include <ranges>
#include <type_traits>
#include <utility>

#include "rtree/algorithm/bulk_load/insertion_sort.hpp"
#include "rtree/invariant.hpp"

namespace sferix::rtree {

// The key type select_nth compares: what `key` returns for an element, by value.
template <typename Range, typename KeyFn>
using SelectKey = std::remove_cvref_t<std::invoke_result_t<KeyFn&, std::ranges::range_reference_t<Range>>>;

namespace detail {

template <typename Iterator, typename KeyFn, typename Less>
class NthSelector {
public:
    using Key = std::remove_cvref_t<std::invoke_result_t<KeyFn&, std::iter_reference_t<Iterator>>>;

    NthSelector(Iterator first, KeyFn& key, Less& less) : first_(first), key_(key), less_(less) {}

    // Partitions [lo, hi) around k (lo ≤ k < hi): quickselect within a work
    // budget, then median of medians.
    void select(std::size_t lo, std::size_t hi, std::size_t k) {
        // The median of random keys takes about 2 to 2.5·size of partition work
        // with these pivots; 4·size was exceeded by 1.4% of random inputs of
        // 127 elements and 0.1% of 1000 or more (measured), so the fallback is
        // left to inputs built against the pivot rule.
        constexpr std::size_t QUICKSELECT_WORK_FACTOR = 4;

        std::size_t work_left = QUICKSELECT_WORK_FACTOR * (hi - lo);
        while (hi - lo > INSERTION_SORT_MAX) {
            const std::size_t size = hi - lo;
            if (size > work_left) {
                select_by_median_of_medians(lo, hi, k);
                return;
            }
            work_left -= size;
            const std::size_t split = partition(lo, hi, cheap_pivot(lo, hi));
            if (k == split) {
                return;
            }
            if (k < split) {
                hi = split;
            } else {
                lo = split + 1;
            }
        }
        insertion_sort(lo, hi);
    }

    // The same, with a median-of-medians pivot in every round (public so that
    // tests can run the fallback on inputs that would not reach it).
    void select_by_median_of_medians(std::size_t lo, std::size_t hi, std::size_t k) {
        while (hi - lo > INSERTION_SORT_MAX) {
            const std::size_t size = hi - lo;
            // Keys strictly below (or above) the pivot number at most this many.
            const std::size_t max_side = size - 3 * ((size / 5 + 1) / 2);
            const std::size_t split = partition(lo, hi, median_of_medians(lo, hi));
            if (k == split) {
                return;
            }
            const Key pivot_key = key_at(split);
            if (k < split) {
                // Only keys equal to the pivot can push this side past max_side;
                // set them aside to keep the 7/10 shrink.
                hi = split - lo > max_side ? gather_equal_last(lo, split, pivot_key) : split;
                if (k >= hi) {
                    return;
                }
            } else {
                lo = hi - (split + 1) > max_side ? gather_equal_first(split + 1, hi, pivot_key) : split + 1;
                if (k < lo) {
                    return;
                }
            }
        }
        insertion_sort(lo, hi);
    }

private:
    // Below this a full insertion sort is about as cheap as another round
    // (6 to 24 measured the same on the bulk loader); it also keeps every
    // median-of-medians range at least two groups of five.
    static constexpr std::size_t INSERTION_SORT_MAX = 12;

    // From this size the ninther's better pivot pays for its nine extra
    // comparisons (64 to 512 measured the same on the bulk loader).
    static constexpr std::size_t NINTHER_MIN = 128;

    Iterator iter(std::size_t i) const { return first_ + static_cast<std::iter_difference_t<Iterator>>(i); }
    Key key_at(std::size_t i) const { return std::invoke(key_, *iter(i)); }
    bool less(const Key& a, const Key& b) const { return std::invoke(less_, a, b); }
    void swap_at(std::size_t i, std::size_t j) const { std::ranges::iter_swap(iter(i), iter(j)); }

    struct Candidate {
        std::size_t index;
        Key key;
    };

    Candidate candidate(std::size_t i) const { return Candidate{i, key_at(i)}; }

    Candidate median_of_3(const Candidate& a, const Candidate& b, const Candidate& c) const {
        if (less(b.key, a.key)) {
            if (less(c.key, b.key)) {
                return b;
            }
            return less(c.key, a.key) ? c : a;
        }
        if (less(c.key, a.key)) {
            return a;
        }
        return less(c.key, b.key) ? c : b;
    }

    std::size_t cheap_pivot(std::size_t lo, std::size_t hi) const {
        const std::size_t size = hi - lo;
        const std::size_t mid = lo + size / 2;
        if (size < NINTHER_MIN) {
            return median_of_3(candidate(lo), candidate(mid), candidate(hi - 1)).index;
        }
        const std::size_t step = size / 8;
        const Candidate low = median_of_3(candidate(lo), candidate(lo + step), candidate(lo + 2 * step));
        const Candidate middle = median_of_3(candidate(mid - step), candidate(mid), candidate(mid + step));
        const Candidate high =
            median_of_3(candidate(hi - 1 - 2 * step), candidate(hi - 1 - step), candidate(hi - 1));
        return median_of_3(low, middle, high).index;
    }

    // Hoare partition of [lo, hi) around the element at `pivot`; returns where
    // the pivot ends up, with keys ≤ it before and keys ≥ it after. Both scans
    // stop on keys equal to the pivot, so equal keys are split between the sides.
    std::size_t partition(std::size_t lo, std::size_t hi, std::size_t pivot) const {
        if (pivot != lo) {
            swap_at(lo, pivot);
        }
        const Key pivot_key = key_at(lo);
        std::size_t i = lo;
        std::size_t j = hi;
        // The first upward scan has no sentinel; the pivot at lo stops the
        // downward one, and after each swap the swapped elements stop both.
        while (++i < hi && less(key_at(i), pivot_key)) {
        }
        while (less(pivot_key, key_at(--j))) {
        }
        while (i < j) {
            swap_at(i, j);
            while (less(key_at(++i), pivot_key)) {
            }
            while (less(pivot_key, key_at(--j))) {
            }
        }
        if (j != lo) {
            swap_at(lo, j);
        }
        return j;
    }

    // Moves the group medians of [lo, hi) to its front and selects their median;
    // returns its index. At least 3·ceil(groups/2) keys of the range are ≥ it and
    // as many ≤ it.
    std::size_t median_of_medians(std::size_t lo, std::size_t hi) {
        const std::size_t groups = (hi - lo) / 5;
        for (std::size_t g = 0; g < groups; ++g) {
            const std::size_t median = median_of_5(lo + 5 * g);
            // lo + g lies in this group or one already done: no median is lost.
            if (median != lo + g) {
                swap_at(lo + g, median);
            }
        }
        const std::size_t middle = lo + groups / 2;
        select(lo, lo + groups, middle);
        return middle;
    }

    // Index of the median of the five elements from `first`, in 6 comparisons:
    // of two ordered pairs, the one with the smaller low end loses that low end
    // (it is below three others, so it is not the median), twice; the median is
    // then the smaller of the two remaining candidates.
    std::size_t median_of_5(std::size_t first) const {
        Candidate a = candidate(first);
        Candidate b = candidate(first + 1);
        Candidate c = candidate(first + 2);
        Candidate d = candidate(first + 3);
        if (less(b.key, a.key)) {
            std::swap(a, b);
        }
        if (less(d.key, c.key)) {
            std::swap(c, d);
        }
        if (less(c.key, a.key)) {
            std::swap(a, c);
            std::swap(b, d);
        }
        a = candidate(first + 4);
        if (less(b.key, a.key)) {
            std::swap(a, b);
        }
        if (less(c.key, a.key)) {
            std::swap(a, c);
            std::swap(b, d);
        }
        return less(c.key, b.key) ? c.index : b.index;
    }

    // [lo, hi) holds keys ≤ pivot_key; moves those equal to it to the end and
    // returns where they start.
    std::size_t gather_equal_last(std::size_t lo, std::size_t hi, const Key& pivot_key) const {
        return split_front(lo, hi, [&](const Key& key) { return less(key, pivot_key); });
    }

    // [lo, hi) holds keys ≥ pivot_key; moves those equal to it to the front and
    // returns where they end.
    std::size_t gather_equal_first(std::size_t lo, std::size_t hi, const Key& pivot_key) const {
        return split_front(lo, hi, [&](const Key& key) { return !less(pivot_key, key); });
    }

    // Moves the keys of [lo, hi) for which `front` holds before the others, scanning
    // from both ends and swapping each misplaced pair once, and returns where the
    // others start.
    template <typename Front>
    std::size_t split_front(std::size_t lo, std::size_t hi, Front front) const {
        for (;;) {
            while (lo < hi && front(key_at(lo))) {
                ++lo;
            }
            while (lo < hi && !front(key_at(hi - 1))) {
                --hi;
            }
            if (lo == hi) {
                return lo;
            }
            swap_at(lo, hi - 1);
            ++lo;
            --hi;
        }
    }

    void insertion_sort(std::size_t lo, std::size_t hi) const { insertion_sort_by_key(iter(lo), iter(hi), key_, less_); }

    Iterator first_;
    KeyFn& key_;
    Less& less_;
};

}  // namespace detail

// Reorders `range` so that the element at index k is the one a sort by key
// would put there, every element before it has a key ≤ its key and every
// element after it a key ≥ its key ("≤" meaning "not less" under `less`).
// Which of several equal keys ends up where is unspecified but deterministic.
//
// `key` maps an element to a copyable key (called once per comparison, so it
// should be cheap); `less` is a strict weak order on keys and is the only
// comparison used. Requires k < size (invariant_broken otherwise). Elements are
// only swapped and moved, never copied, and never swapped with themselves;
// nothing is allocated. Every element takes part in at least one comparison
// when size ≥ 2, so a `less` that asserts on its arguments sees every key.
//
// Linear time in the worst case: at most about 48·size calls of `less`
// (derivation below); at most 11·size measured against McIlroy's adversary
// ("A Killer Adversary for Quicksort", 1999), which drives std::nth_element to
// about 2·size·log2(size); typically 2 to 3·size on random keys, and no more
// than that for ascending, descending, equal or few distinct keys.
//
// Method: quickselect with the median of three keys as pivot (a ninther from
// 128 elements up) and a Hoare partition that stops on keys equal to the pivot,
// so runs of equal keys split evenly. Quickselect is linear only on average, so
// it gets a budget of 4·size partitioned elements; if the answer has not been
// found by then, the rest is finished with the median-of-medians pivot (Blum,
// Floyd, Pratt, Rivest and Tarjan, 1973), which always discards at least 3/10
// of the range. A budget of rounds would not do: on a median-of-three killer
// every round discards two elements, so even 2·log2(n) rounds cost about
// 2·n·log2(n). Ranges of at most 12 elements are insertion-sorted.
//
// Worst case, counting `less` calls (additive constants dropped): the
// quickselect phase makes at most 4·size partition comparisons plus 1 and at
// most 3 (12 for the ninther) per round of at least 13 elements, so ≤ 5.3·size.
// A median-of-medians round on m elements costs 6 per group of five (1.2·m),
// the selection among the m/5 group medians (F·m/5, F for the whole method),
// m + 1 for the partition and, only when keys equal to the pivot leave the kept
// side larger than 7/10·m, at most m to set them aside; it keeps ≤ 7/10·m. So
// M ≤ 3.2 + F/5 + 7/10·M with F ≤ 5.3 + M, giving M ≤ 43 and F ≤ 48.
template <std::ranges::random_access_range Range, typename KeyFn, typename Less>
    requires std::ranges::sized_range<Range> && std::permutable<std::ranges::iterator_t<Range>> &&
             std::copyable<SelectKey<Range, KeyFn>> &&
             std::strict_weak_order<Less&, const SelectKey<Range, KeyFn>&, const SelectKey<Range, KeyFn>&>
void select_nth(Range&& range, std::size_t k, KeyFn key, Less less) {
    const auto size = static_cast<std::size_t>(std::ranges::size(range));
    check_invariant(k < size, "selection index out of range");
    detail::NthSelector<std::ranges::iterator_t<Range>, KeyFn, Less> selector(std::ranges::begin(range), key, less);
    selector.select(0, size, k);
}

}  // namespace sferix::rtree
