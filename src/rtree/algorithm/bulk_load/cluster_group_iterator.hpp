#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>

#include "rtree/aabb.hpp"
#include "rtree/algorithm/bulk_load/insertion_sort.hpp"
#include "rtree/algorithm/bulk_load/select_nth.hpp"
#include "rtree/invariant.hpp"
#include "rtree/object.hpp"

namespace sferix::rtree {

namespace detail {

// The partitioning key of an object: the lower corner of its envelope on `axis`
// (not the centre, so a degenerate box sorts exactly like its point).
template <RTreeObject T>
[[nodiscard]] double partition_key(const T& object, std::size_t axis) {
    const AABB<typename T::PointType> envelope = object.envelope();
    return envelope.lower()[axis];
}

// a < b on partitioning keys. Keys come from validated coordinates, so a NaN here
// means a broken envelope, not bad user input.
[[nodiscard]] inline bool key_less(double a, double b) {
    check_invariant(!std::isnan(a) && !std::isnan(b), "partitioning key is NaN");
    return a < b;
}

// The index of the first element whose key no later key beats: a candidate is
// replaced only when `beats(key, best_key)`, so among equal extremes the first wins.
template <RTreeObject T, typename Beats>
[[nodiscard]] std::size_t first_extreme(std::span<T> elements, std::size_t axis, Beats beats) {
    std::size_t best = 0;
    double best_key = partition_key(elements[0], axis);
    for (std::size_t i = 1; i < elements.size(); ++i) {
        const double key = partition_key(elements[i], axis);
        if (beats(key, best_key)) {
            best = i;
            best_key = key;
        }
    }
    return best;
}

}  // namespace detail

// Reorders `elements` so that the element at index k is the one a sort by key
// (partition_key on `axis`) would put there, every element before it has a key
// ≤ its key and every element after it a key ≥ its key. Requires k < size.
//
// The permutation is part of the tree's storage order, so it is fixed per case:
//  - k = size − 1: the first element with the greatest key is swapped with the
//    last (two equal keys therefore change places);
//  - k = 0: the first element with the smallest key is swapped with the first;
//  - size ≤ 16: a stable insertion sort of the whole array;
//  - otherwise select_nth (quickselect with a median-of-medians fallback,
//    linear in the worst case); only the partition property holds, and ties
//    land wherever it leaves them.
// A NaN key met by any comparison is a broken invariant (invariant_broken).
template <RTreeObject T>
void partition_envelopes(std::size_t axis, std::span<T> elements, std::size_t k) {
    // Above this size a full sort would cost more than selection; at or below
    // it the insertion sort is cheap and makes the order of small trees exact.
    constexpr std::size_t INSERTION_SORT_MAX = 16;

    const std::size_t size = elements.size();
    check_invariant(k < size, "partition index out of range");
    const auto key_on_axis = [axis](const T& object) { return detail::partition_key(object, axis); };
    const auto less = [](double a, double b) { return detail::key_less(a, b); };
    if (k == size - 1) {
        std::swap(elements[detail::first_extreme(elements, axis, [](double key, double best) {
                      return detail::key_less(best, key);
                  })],
                  elements[size - 1]);
    } else if (k == 0) {
        std::swap(elements[detail::first_extreme(elements, axis, [](double key, double best) {
                      return detail::key_less(key, best);
                  })],
                  elements[0]);
    } else if (size <= INSERTION_SORT_MAX) {
        detail::insertion_sort_by_key(elements.begin(), elements.end(), key_on_axis, less);
    } else {
        select_nth(elements, k, key_on_axis, less);
    }
}

// Hands out the elements of `rest` in groups of `group_size`, from the largest
// keys on `axis` to the smallest: each group is carved off the end of `rest`
// after a partition at size − group_size, so `rest` never shifts and the
// elements stay where the partition left them. The groups are views into the
// caller's storage. The last group is whatever remains (at most group_size
// elements, in its current order).
//
// Example, group_size 4 over 7 elements: a group of the 4 largest keys, then
// the other 3.
template <RTreeObject T>
class ClusterGroupIterator {
public:
    // Requires group_size ≥ 1 and axis < 3.
    ClusterGroupIterator(std::span<T> rest, std::size_t group_size, std::size_t axis)
        : rest_(rest), group_size_(group_size), axis_(axis) {
        check_invariant(group_size_ > 0, "cluster group size is zero");
    }

    // The next group, or nothing once every element has been handed out.
    [[nodiscard]] std::optional<std::span<T>> next() {
        if (rest_.empty()) {
            return std::nullopt;
        }
        if (rest_.size() <= group_size_) {
            return std::exchange(rest_, std::span<T>());
        }
        const std::size_t split = rest_.size() - group_size_;
        partition_envelopes(axis_, rest_, split);
        const std::span<T> group = rest_.subspan(split);
        rest_ = rest_.first(split);
        return group;
    }

private:
    std::span<T> rest_;
    std::size_t group_size_;
    std::size_t axis_;
};

}  // namespace sferix::rtree
