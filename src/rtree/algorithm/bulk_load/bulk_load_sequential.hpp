#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "rtree/algorithm/bulk_load/cluster_group_iterator.hpp"
#include "rtree/invariant.hpp"
#include "rtree/node.hpp"
#include "rtree/object.hpp"
#include "rtree/params.hpp"
#include "rtree/storage_hint.hpp"
#include "rtree/walk_check.hpp"

namespace sferix::rtree {

// Sequential bulk loading, top down: a group of more than MAX_NODE_SIZE elements is
// halved along z, each half along y, each quarter along x, and every resulting
// group (up to 8) becomes one child node, loaded the same way. Each split uses
// partition_envelopes in place, so the whole load is O(n log n), every element is
// swapped within the one input array, never copied, and nothing is allocated per
// node.
//
// Worked example, 49 elements: z gives 24 and 25; y gives 12, 12 and 12, 13;
// x gives groups of 6, and last in storage order 6 and 7. The groups of 6 become
// leaf-level nodes; the group of 7 becomes a node of 7 single-leaf nodes.

// The groups of one node, in storage order (ascending keys), each a view into
// the node's elements: a stack of groups still to split, popped last in first
// out, split along axis axes_left − 1 until no axis is left. Every split is a
// partition in place, so the groups end up contiguous and in storage order
// within the node's span.
template <RTreeObject T>
class PartitioningTask {
public:
    // The most groups one node can have: CLUSTERS_PER_AXIS on each axis.
    static constexpr std::size_t MAX_GROUPS = MAX_INNER_CHILDREN;

    // The whole group of one node, to be split along all three axes.
    explicit PartitioningTask(std::span<T> group) { push(group, DIMENSIONS); }

    // The next group, or nothing when the task is finished.
    [[nodiscard]] std::optional<std::span<T>> next() {
        while (pending_length_ > 0) {
            const Pending state = pending_[--pending_length_];
            if (state.axes_left == 0) {
                return state.elements;
            }
            const std::size_t length = state.elements.size();
            const std::size_t group_size = (length + CLUSTERS_PER_AXIS - 1) / CLUSTERS_PER_AXIS;
            const std::size_t axes_left = state.axes_left - 1;
            // Groups come out largest keys first; pushed in that order, the
            // smallest is popped first, so children are stored in ascending order.
            ClusterGroupIterator<T> groups(state.elements, group_size, axes_left);
            while (std::optional<std::span<T>> group = groups.next()) {
                push(*group, axes_left);
            }
        }
        return std::nullopt;
    }

private:
    struct Pending {
        std::span<T> elements;
        std::size_t axes_left;
    };

    // At most CLUSTERS_PER_AXIS − 1 siblings wait on each of the three levels,
    // plus the CLUSTERS_PER_AXIS just pushed.
    static constexpr std::size_t MAX_PENDING = DIMENSIONS * CLUSTERS_PER_AXIS;

    void push(std::span<T> elements, std::size_t axes_left) {
        check_invariant(pending_length_ < MAX_PENDING, "partitioning stack overflow");
        pending_[pending_length_++] = Pending{elements, axes_left};
    }

    std::array<Pending, MAX_PENDING> pending_{};
    std::size_t pending_length_ = 0;
};

// Loads `elements` into flat nodes: the elements are permuted in place into the
// storage order (every leaf-level node's leaves are one contiguous run of them)
// and the nodes are returned, root first. A node's children are allocated as one
// block when the node is split, then each child is loaded depth first, so the
// nodes of a subtree follow its block of children. No elements give a root with
// no children and the empty box. Requires at most 2^32 − 1 elements.
template <RTreeObject T>
class FlatBulkLoader {
public:
    using Point = typename T::PointType;
    using Node = FlatNode<Point>;

    [[nodiscard]] static std::vector<Node> load(std::span<T> elements) {
        check_invariant(elements.size() <= std::numeric_limits<std::uint32_t>::max(), "too many elements for a tree");
        FlatBulkLoader loader(elements);
        // Random points give about 0.3 nodes per element (3.8 leaves per leaf-level
        // node, 8 children per inner node); reserving that avoids most of the
        // doubling, and the exact-size copy below returns the rest.
        reserve_prepared(loader.nodes_, elements.size() / 3 + 1);
        loader.nodes_.push_back(Node{AABB<Point>::new_empty(), 0, 0, true});
        if (!elements.empty()) {
            loader.load_node(0, elements);
        }
        std::vector<Node> nodes;
        reserve_prepared(nodes, loader.nodes_.size());
        nodes.assign(loader.nodes_.begin(), loader.nodes_.end());
        return nodes;
    }

private:
    // Gives the empty `nodes` room for `count` before anything is written into it.
    static void reserve_prepared(std::vector<Node>& nodes, std::size_t count) {
        nodes.reserve(count);
        prepare_node_storage(nodes.data(), nodes.capacity() * sizeof(Node));
    }

    explicit FlatBulkLoader(std::span<T> elements) : all_(elements) {}

    // The node at `index` holding `group` (never empty): at most MAX_NODE_SIZE
    // elements become its leaves in their current order; a larger group is
    // partitioned and each part becomes a child node.
    void load_node(std::size_t index, std::span<T> group) {
        check_invariant(!group.empty(), "bulk loading an empty group");
        // Partitioning a group costs about its size: a visit per 16 elements.
        walk_check_.steps(1 + group.size() / 16);
        const auto offset = static_cast<std::uint32_t>(group.data() - all_.data());
        AABB<Point> envelope = AABB<Point>::new_empty();
        if (group.size() <= MAX_NODE_SIZE) {
            for (const T& element : group) {
                envelope.merge(element.envelope());
            }
            nodes_[index] = Node{envelope, offset, static_cast<std::uint16_t>(group.size()), true};
            return;
        }
        std::array<std::span<T>, PartitioningTask<T>::MAX_GROUPS> children{};
        std::size_t count = 0;
        PartitioningTask<T> task(group);
        while (std::optional<std::span<T>> child = task.next()) {
            check_invariant(count < children.size(), "a node with more than MAX_INNER_CHILDREN children");
            children[count++] = *child;
        }
        const std::size_t first = nodes_.size();
        check_invariant(first + count <= std::numeric_limits<std::uint32_t>::max(), "too many nodes for a tree");
        nodes_.resize(first + count, Node{AABB<Point>::new_empty(), 0, 0, true});
        for (std::size_t i = 0; i < count; ++i) {
            load_node(first + i, children[i]);
            envelope.merge(nodes_[first + i].envelope);
        }
        nodes_[index] = Node{envelope, static_cast<std::uint32_t>(first), static_cast<std::uint16_t>(count), false};
    }

    std::span<T> all_;
    WalkCheck walk_check_;
    std::vector<Node> nodes_;
};

}  // namespace sferix::rtree
