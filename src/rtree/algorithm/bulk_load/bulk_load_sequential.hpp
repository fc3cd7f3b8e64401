#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "rtree/algorithm/bulk_load/cluster_group_iterator.hpp"
#include "rtree/invariant.hpp"
#include "rtree/node.hpp"
#include "rtree/object.hpp"
#include "rtree/params.hpp"

namespace sferix::rtree {

// Sequential bulk loading, top down: a group of more than MAX_SIZE elements is
// halved along z, each half along y, each quarter along x, and every resulting
// group (up to 8) becomes one child node, loaded the same way. Each split uses
// partition_envelopes, so the whole load is O(n log n) and every element is
// moved, never copied.
//
// Worked example, 49 elements: z gives 24 and 25; y gives 12, 12 and 12, 13;
// x gives groups of 6, and last in storage order 6 and 7. The groups of 6 become
// leaf-level nodes; the group of 7 becomes a node of 7 single-leaf nodes.

namespace detail {

// base^exponent by repeated squaring in single precision; 1 for exponent 0, the
// reciprocal for a negative exponent.
[[nodiscard]] inline float powi_single(float base, std::int64_t exponent) noexcept {
    std::uint64_t remaining = exponent < 0 ? 0 - static_cast<std::uint64_t>(exponent) : static_cast<std::uint64_t>(exponent);
    float result = 1.0F;
    float square = base;
    while (remaining != 0U) {
        if ((remaining & 1U) != 0U) {
            result *= square;
        }
        square *= square;
        remaining >>= 1U;
    }
    return exponent < 0 ? 1.0F / result : result;
}

// Float to int32 saturating at both ends; NaN gives 0.
[[nodiscard]] inline std::int32_t saturating_int32(float value) noexcept {
    if (std::isnan(value)) {
        return 0;
    }
    if (value <= static_cast<float>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    if (value >= static_cast<float>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(value);
}

// Float to size_t saturating at 0 below (NaN included) and at the maximum above.
[[nodiscard]] inline std::size_t saturating_size(float value) noexcept {
    if (!(value > 0.0F)) {
        return 0;
    }
    if (value >= static_cast<float>(std::numeric_limits<std::size_t>::max())) {
        return std::numeric_limits<std::size_t>::max();
    }
    return static_cast<std::size_t>(value);
}

}  // namespace detail

// How many groups each axis is split into for a group of n > MAX_SIZE elements.
// Evaluated in single precision, step by step, so every build gives the same
// shape: levels = ceil(ln n / ln MAX_SIZE), subtree = MAX_SIZE^(levels − 1),
// clusters = ceil(n / subtree), per axis = floor(clusters^(1/3)), at least 2.
// Because levels is a ceiling, clusters ≤ MAX_SIZE + 1, so with MAX_SIZE = 6 the
// cube root is below 2 and the result is 2 for every n, whatever the rounding of
// the logarithm near powers of 6.
template <RTreeParams Params>
[[nodiscard]] std::size_t clusters_per_axis(std::size_t n) {
    const float max_size = static_cast<float>(Params::MAX_SIZE);
    const float length = static_cast<float>(n);
    const std::int32_t levels = detail::saturating_int32(std::ceil(std::log(length) / std::log(max_size)));
    const float subtree = detail::powi_single(max_size, static_cast<std::int64_t>(levels) - 1);
    const float clusters = std::ceil(length / subtree);
    const std::size_t per_axis = detail::saturating_size(std::floor(std::pow(clusters, 1.0F / 3.0F)));
    return std::max<std::size_t>(per_axis, 2);
}

template <RTreeObject T, RTreeParams Params>
[[nodiscard]] ParentNode<T> bulk_load_recursive(std::vector<T>&& group);

// One group still to split: its elements and how many axes remain (3 to 0).
template <RTreeObject T>
struct PartitioningState {
    std::vector<T> elements;
    std::size_t axes_left;
};

// Produces, one at a time and in storage order, the child nodes of one node:
// a stack of groups still to split, popped last in first out, split along axis
// axes_left − 1 until no axis is left, then loaded recursively.
template <RTreeObject T, RTreeParams Params>
class PartitioningTask {
public:
    // The whole group of one node, to be split along all three axes.
    PartitioningTask(std::vector<T>&& group, std::size_t clusters_per_axis) : clusters_per_axis_(clusters_per_axis) {
        pending_.push_back(PartitioningState<T>{std::move(group), DIMENSIONS});
    }

    // The next child node, or nothing when the task is finished.
    [[nodiscard]] std::optional<ParentNode<T>> next() {
        while (!pending_.empty()) {
            PartitioningState<T> state = std::move(pending_.back());
            pending_.pop_back();
            if (state.axes_left == 0) {
                return bulk_load_recursive<T, Params>(std::move(state.elements));
            }
            const std::size_t length = state.elements.size();
            const std::size_t group_size = (length + clusters_per_axis_ - 1) / clusters_per_axis_;
            const std::size_t axes_left = state.axes_left - 1;
            // Groups come out largest keys first; pushed in that order, the
            // smallest is popped first, so children are stored in ascending order.
            ClusterGroupIterator<T> groups(std::move(state.elements), group_size, axes_left);
            while (std::optional<std::vector<T>> group = groups.next()) {
                pending_.push_back(PartitioningState<T>{std::move(*group), axes_left});
            }
        }
        return std::nullopt;
    }

private:
    std::vector<PartitioningState<T>> pending_;
    std::size_t clusters_per_axis_;
};

// The node holding `group` (never empty): at most MAX_SIZE elements become its
// leaves in their current order; a larger group is partitioned and each part
// becomes a child node.
template <RTreeObject T, RTreeParams Params>
[[nodiscard]] ParentNode<T> bulk_load_recursive(std::vector<T>&& group) {
    SFERIX_RTREE_ASSERT(!group.empty(), "bulk loading an empty group");
    std::vector<RTreeNode<T>> children;
    if (group.size() <= Params::MAX_SIZE) {
        children.reserve(group.size());
        for (T& element : group) {
            children.push_back(RTreeNode<T>::from_leaf(std::move(element)));
        }
    } else {
        const std::size_t per_axis = clusters_per_axis<Params>(group.size());
        // One child per group of the halving passes: per_axis³ at most.
        children.reserve(per_axis * per_axis * per_axis);
        PartitioningTask<T, Params> task(std::move(group), per_axis);
        while (std::optional<ParentNode<T>> child = task.next()) {
            children.push_back(RTreeNode<T>::from_parent(std::move(*child)));
        }
    }
    return ParentNode<T>::new_parent(std::move(children));
}

}  // namespace sferix::rtree
