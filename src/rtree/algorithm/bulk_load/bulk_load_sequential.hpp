#pragma once

#include <algorithm>
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

// Sequential bulk loading in two passes: the storage order of the leaves, top down,
// then the nodes over that order, bottom up.
//
// The storage order: a group of more than STORAGE_GROUP_SIZE elements is halved along
// z, each half along y, each quarter along x, and every resulting group (up to 8) is
// ordered the same way; a group of at most STORAGE_GROUP_SIZE stays as it is. Each
// split uses partition_envelopes in place, so the pass is O(n log n), every element is
// swapped within the one input array, never copied, and nothing is allocated per group.
//
// Worked example, 49 elements: z gives 24 and 25; y gives 12, 12 and 12, 13; x gives
// groups of 6, and last in storage order 6 and 7; the group of 7 is split once more,
// into groups of 1.
//
// The nodes: the order alone decides them (pack_nodes). Packing runs of the order
// rather than the groups of the partition keeps every node nearly full: the partition's
// groups shrink to one element wherever n / 8^d is near 7, and a node per such group
// nearly doubled the node array at those sizes.

// The groups of one partition step, in storage order (ascending keys), each a view into
// the step's elements: a stack of groups still to split, popped last in first out,
// split along axis axes_left − 1 until no axis is left. Every split is a partition in
// place, so the groups end up contiguous and in storage order within the step's span.
template <RTreeObject T>
class PartitioningTask {
public:
    // The most groups one step can have: CLUSTERS_PER_AXIS on each axis.
    static constexpr std::size_t MAX_GROUPS = CLUSTERS_PER_AXIS * CLUSTERS_PER_AXIS * CLUSTERS_PER_AXIS;

    // The whole group of one step, to be split along all three axes.
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
            // smallest is popped first, so groups are stored in ascending order.
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

// Permutes `elements` into the storage order and calls on_group(group) for each group
// the partitioning leaves whole (at most STORAGE_GROUP_SIZE elements, never empty), in
// storage order; `walk_check` counts the work.
template <RTreeObject T, typename OnGroup>
void sort_into_storage_order(std::span<T> elements, OnGroup&& on_group, WalkCheck& walk_check) {
    if (elements.empty()) {
        return;
    }
    // Partitioning a group costs about its size: a visit per 16 elements.
    walk_check.steps(1 + elements.size() / 16);
    if (elements.size() <= STORAGE_GROUP_SIZE) {
        on_group(elements);
        return;
    }
    PartitioningTask<T> task(elements);
    while (std::optional<std::span<T>> group = task.next()) {
        sort_into_storage_order(*group, on_group, walk_check);
    }
}

// A run of the storage order: the leaves [first, first + size).
struct LeafRun {
    std::size_t first;
    std::size_t size;
};

// The runs of the storage order that the partitioning made of [first, first + size),
// at most `limit` leaves each and each as large as it can be, appended to `out` in
// order. Above STORAGE_GROUP_SIZE every split halves a group, the smaller half (size
// / 2, the smaller keys) first, so these runs follow from the sizes alone; each is one
// region of the partition, never two regions that merely follow each other in the
// order (which may lie far apart).
inline void partition_runs(std::size_t first, std::size_t size, std::size_t limit, std::vector<LeafRun>& out) {
    if (size <= limit) {
        out.push_back(LeafRun{first, size});
        return;
    }
    const std::size_t lower = size / 2;
    partition_runs(first, lower, limit, out);
    partition_runs(first + lower, size - lower, limit, out);
}

// The run of `entries` entries that part `part` of `parts` holds when they are shared
// out in order as evenly as possible, the larger parts first.
[[nodiscard]] inline LeafRun even_share(std::size_t entries, std::size_t parts, std::size_t part) noexcept {
    const std::size_t base = entries / parts;
    const std::size_t larger = entries % parts;
    return LeafRun{part * base + std::min(part, larger), base + (part < larger ? 1 : 0)};
}

// The nodes over `leaves`, already in storage order, root first, then each level below
// in turn, the leaf level last, each level in storage order. A leaf-level node holds up
// to `capacity` leaves (at most LEAF_NODE_CAPACITY). A node of level k ≥ 1 holds one
// partition run of at most capacity · INNER_NODE_CAPACITY^k leaves (partition_runs),
// so its children are the runs of level k − 1 inside it: more than half a node's
// capacity of them, as a run of more than half its limit was split from one above the
// limit. A level-1 run's leaves are shared evenly among the fewest leaf-level nodes
// that hold them, so a leaf-level node holds half to all of `capacity` leaves. Every
// leaf lies at the same depth; a node's children
// follow it, contiguous and in storage order, so a depth-first walk meets the leaves
// in storage order.
template <RTreeObject T>
[[nodiscard]] std::vector<FlatNode<typename T::PointType>> pack_nodes(std::span<const T> leaves, std::size_t capacity,
                                                                      WalkCheck& walk_check) {
    using Point = typename T::PointType;
    using Node = FlatNode<Point>;
    check_invariant(capacity >= 2 && capacity <= LEAF_NODE_CAPACITY, "leaf-level node capacity out of range");
    const std::size_t n = leaves.size();
    const auto nodes_for = [](std::size_t entries, std::size_t per_node) {
        return std::max<std::size_t>(1, (entries + per_node - 1) / per_node);
    };

    // The runs of each level above the leaf level, the root's (the whole order) last.
    std::vector<std::vector<LeafRun>> runs;
    for (std::size_t limit = capacity; n > limit; limit *= INNER_NODE_CAPACITY) {
        runs.emplace_back();
        partition_runs(0, n, limit * INNER_NODE_CAPACITY, runs.back());
    }
    std::size_t leaf_level_count = 0;
    for (const LeafRun& run : runs.empty() ? std::vector<LeafRun>{LeafRun{0, n}} : runs.front()) {
        leaf_level_count += nodes_for(run.size, capacity);
    }
    // Where each level starts: the root first, the leaf level last. Level k ≥ 1 has one
    // node per run of runs[k − 1].
    std::vector<std::size_t> offsets(runs.size() + 1, 0);
    for (std::size_t level = runs.size(); level-- > 0;) {
        offsets[level] = offsets[level + 1] + runs[level].size();
    }
    const std::size_t total = offsets[0] + leaf_level_count;
    check_invariant(total <= std::numeric_limits<std::uint32_t>::max(), "too many nodes for a tree");

    std::vector<Node> nodes;
    nodes.reserve(total);
    prepare_node_storage(nodes.data(), nodes.capacity() * sizeof(Node));
    nodes.resize(total, Node{AABB<Point>::new_empty(), 0, 0, true});

    // The leaf level, and the level above it whose runs it shares out.
    std::size_t next = offsets[0];
    const std::span<const LeafRun> shared =
        runs.empty() ? std::span<const LeafRun>() : std::span<const LeafRun>(runs.front());
    const LeafRun whole{0, n};
    for (std::size_t j = 0; j < std::max<std::size_t>(shared.size(), 1); ++j) {
        const LeafRun run = shared.empty() ? whole : shared[j];
        const std::size_t parts = nodes_for(run.size, capacity);
        const std::size_t first_child = next;
        AABB<Point> above = AABB<Point>::new_empty();
        for (std::size_t part = 0; part < parts; ++part) {
            walk_check.step();
            const LeafRun share = even_share(run.size, parts, part);
            AABB<Point> envelope = AABB<Point>::new_empty();
            for (const T& leaf : leaves.subspan(run.first + share.first, share.size)) {
                envelope.merge(leaf.envelope());
            }
            above.merge(envelope);
            nodes[next++] = Node{envelope, static_cast<std::uint32_t>(run.first + share.first),
                                 static_cast<std::uint16_t>(share.size), true};
        }
        if (!shared.empty()) {
            nodes[offsets[1] + j] = Node{above, static_cast<std::uint32_t>(first_child),
                                         static_cast<std::uint16_t>(parts), false};
        }
    }
    // Each level above: a run's children are the runs below that start inside it.
    for (std::size_t level = 2; level <= runs.size(); ++level) {
        const std::vector<LeafRun>& below = runs[level - 2];
        std::size_t child = 0;
        for (std::size_t j = 0; j < runs[level - 1].size(); ++j) {
            walk_check.step();
            const LeafRun& run = runs[level - 1][j];
            const std::size_t first_child = child;
            AABB<Point> envelope = AABB<Point>::new_empty();
            while (child < below.size() && below[child].first < run.first + run.size) {
                envelope.merge(nodes[offsets[level - 1] + child].envelope);
                ++child;
            }
            nodes[offsets[level] + j] = Node{envelope, static_cast<std::uint32_t>(offsets[level - 1] + first_child),
                                             static_cast<std::uint16_t>(child - first_child), false};
        }
    }
    return nodes;
}

// Loads `elements` into flat nodes: the elements are permuted in place into the
// storage order and the packed nodes are returned, root first. No elements give a
// root with no children and the empty box. Requires at most 2^32 − 1 elements.
template <RTreeObject T>
class FlatBulkLoader {
public:
    using Point = typename T::PointType;
    using Node = FlatNode<Point>;

    [[nodiscard]] static std::vector<Node> load(std::span<T> elements) {
        check_invariant(elements.size() <= std::numeric_limits<std::uint32_t>::max(), "too many elements for a tree");
        WalkCheck walk_check;
        sort_into_storage_order(elements, [](std::span<T> /* group */) {}, walk_check);
        return pack_nodes(std::span<const T>(elements), leaf_node_capacity<T>(elements.size()), walk_check);
    }
};

}  // namespace sferix::rtree
