#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "rtree/algorithm/bulk_load/cluster_group_iterator.hpp"
#include "rtree/invariant.hpp"
#include "rtree/node.hpp"
#include "rtree/object.hpp"
#include "rtree/params.hpp"

namespace sferix::rtree {

// Sequential bulk loading, top down: a group of more than MAX_NODE_SIZE elements is
// halved along z, each half along y, each quarter along x, and every resulting
// group (up to 8) becomes one child node, loaded the same way. Each split uses
// partition_envelopes, so the whole load is O(n log n) and every element is
// moved, never copied.
//
// Worked example, 49 elements: z gives 24 and 25; y gives 12, 12 and 12, 13;
// x gives groups of 6, and last in storage order 6 and 7. The groups of 6 become
// leaf-level nodes; the group of 7 becomes a node of 7 single-leaf nodes.

template <RTreeObject T>
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
template <RTreeObject T>
class PartitioningTask {
public:
    // The whole group of one node, to be split along all three axes.
    explicit PartitioningTask(std::vector<T>&& group) {
        pending_.push_back(PartitioningState<T>{std::move(group), DIMENSIONS});
    }

    // The next child node, or nothing when the task is finished.
    [[nodiscard]] std::optional<ParentNode<T>> next() {
        while (!pending_.empty()) {
            PartitioningState<T> state = std::move(pending_.back());
            pending_.pop_back();
            if (state.axes_left == 0) {
                return bulk_load_recursive<T>(std::move(state.elements));
            }
            const std::size_t length = state.elements.size();
            const std::size_t group_size = (length + CLUSTERS_PER_AXIS - 1) / CLUSTERS_PER_AXIS;
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
};

// The node holding `group` (never empty): at most MAX_NODE_SIZE elements become its
// leaves in their current order; a larger group is partitioned and each part
// becomes a child node.
template <RTreeObject T>
[[nodiscard]] ParentNode<T> bulk_load_recursive(std::vector<T>&& group) {
    check_invariant(!group.empty(), "bulk loading an empty group");
    std::vector<RTreeNode<T>> children;
    if (group.size() <= MAX_NODE_SIZE) {
        children.reserve(group.size());
        for (T& element : group) {
            children.push_back(RTreeNode<T>::from_leaf(std::move(element)));
        }
    } else {
        // One child per group of the halving passes: CLUSTERS_PER_AXIS³ at most.
        children.reserve(CLUSTERS_PER_AXIS * CLUSTERS_PER_AXIS * CLUSTERS_PER_AXIS);
        PartitioningTask<T> task(std::move(group));
        while (std::optional<ParentNode<T>> child = task.next()) {
            children.push_back(RTreeNode<T>::from_parent(std::move(*child)));
        }
    }
    return ParentNode<T>::new_parent(std::move(children));
}

}  // namespace sferix::rtree
