#pragma once

// The one best-first walk over a flat tree. Every nearest search is this walk with a
// policy that says which children to queue, driven by a loop that takes entries out
// nearest first and decides what to do with them:
//
//   BestFirstWalk walk(tree.view(), query, policy);     // queues the root's children
//   while (const std::optional<WalkEntry> entry = walk.pop()) {
//       if (!entry->is_leaf) { walk.expand(*entry); continue; }   // or skip, or stop
//       use(tree.view().leaves[entry->index], entry->distance_2);
//   }
//
// Keys. An entry's key is (distance_2, tie_break): the squared distance from the query
// to the node's envelope or to the leaf object, then a second key the policy gives
// (0 when it has none). A child's key is never below its parent's when the policy's
// second key is the smallest of something over the subtree (an input position, say),
// so entries come out in nondecreasing key order.
//
// A policy P for leaves T (the contract every search states):
//   std::uint32_t P::node_tie_break(std::uint32_t node) const;  // second key of a node
//   std::uint32_t P::leaf_tie_break(const T& leaf) const;        // second key of a leaf
//   bool P::admit(const WalkEntry& child);   // queue this child? It sees each child
//       // of an expanded node once, in storage order, and may take note (a leaf may
//       // tighten the policy's bound or enter its result set instead of the queue).
//   bool P::descend_first() const;           // expand the nearest child of an inner
//       // node at once, before its siblings are queued, and queue those that the
//       // policy then still admits (asked again: admit must be a pure test for nodes).
//       // A search without a bound yet gets one from the first leaves this way
//       // instead of filling the queue with nodes it never takes out.
//   static constexpr bool P::UNIQUE_KEYS;    // no two pending entries ever share a
//       // key; then the nearest child of an expansion waits beside the heap rather
//       // than going through it (exact only with unique keys: ties would reorder).
//   double P::leaf_bound() const;   // optional: a squared distance beyond which admit
//       // takes no note of a leaf and refuses it, so the walk skips such a leaf unasked.
//   void P::meet_leaves(double nearest_2);   // optional: told the least squared
//       // distance of a node's leaves before admit sees any of them, so that a bound
//       // the nearest leaf sets is set once, and prunes its siblings from the start.
//   bool P::keep_leaf(const WalkEntry& leaf) const;   // optional: a pure test asked
//       // again of each leaf admitted from a node once admit has seen all of them, so a
//       // bound tightened by a later sibling drops the earlier ones before they are queued.
//   static constexpr bool P::PREFETCH_QUEUED;  // start loading the children of every
//       // node queued (a pruned walk expands most of them), else only of the one
//       // next out (a walk that queues every child expands few of them). The former
//       // only on a tree of at least PREFETCH_MIN_TREE_BYTES.
// Entries with equal keys come out in SmallHeap's pop order, which is fixed.
//
// Small walks allocate nothing. A NaN distance is a broken invariant. The walk borrows
// the tree, which must outlive it; it steps its WalkCheck at every entry taken out.

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "rtree/algorithm/prefetch.hpp"
#include "rtree/algorithm/small_heap.hpp"
#include "rtree/flat_view.hpp"
#include "rtree/invariant.hpp"
#include "rtree/object.hpp"
#include "rtree/params.hpp"
#include "rtree/walk_check.hpp"

namespace sferix::rtree {

// A node or leaf waiting in a best-first walk; `index` is its position in the node or
// the leaf array. Trivial, so that the walk's inline heap is not cleared at every start.
struct WalkEntry {
    double distance_2;
    std::uint32_t tie_break;
    std::uint32_t index;
    bool is_leaf;
};

// Whether entry a is taken out before entry b.
[[nodiscard]] inline bool walks_before(const WalkEntry& a, const WalkEntry& b) noexcept {
    return a.distance_2 < b.distance_2 || (a.distance_2 == b.distance_2 && a.tie_break < b.tie_break);
}

template <typename P, typename T>
concept WalkPolicy = requires(P& policy, const P& held, const T& leaf, const WalkEntry& child, std::uint32_t node) {
    { held.node_tie_break(node) } -> std::same_as<std::uint32_t>;
    { held.leaf_tie_break(leaf) } -> std::same_as<std::uint32_t>;
    { policy.admit(child) } -> std::same_as<bool>;
    { held.descend_first() } -> std::same_as<bool>;
    { P::UNIQUE_KEYS } -> std::convertible_to<bool>;
    { P::PREFETCH_QUEUED } -> std::convertible_to<bool>;
};

// The policy of a walk that reports every leaf: no second key, nothing pruned.
struct EveryLeaf {
    static constexpr bool UNIQUE_KEYS = false;
    static constexpr bool PREFETCH_QUEUED = false;
    [[nodiscard]] static std::uint32_t node_tie_break(std::uint32_t /*node*/) noexcept { return 0; }
    template <typename T>
    [[nodiscard]] static std::uint32_t leaf_tie_break(const T& /*leaf*/) noexcept {
        return 0;
    }
    [[nodiscard]] static bool admit(const WalkEntry& /*child*/) noexcept { return true; }
    [[nodiscard]] static bool descend_first() noexcept { return false; }
};

// Below this size (nodes and leaves) a tree stays in a core's cache between queries,
// and prefetching its children only costs instructions (10^4 points, k = 1: 7% of them).
inline constexpr std::size_t PREFETCH_MIN_TREE_BYTES = std::size_t{1} << 20;

template <PointDistance T, WalkPolicy<T> Policy>
class BestFirstWalk {
public:
    using Point = typename T::PointType;
    using Node = FlatNode<Point>;
    // Room for the first results of a tree of millions of objects: about seven entries
    // left behind on each of seven levels, plus the ones next to the query (10^4
    // queries on 10^6 random points: 52 pending entries on average after the first
    // result, 142 at most).
    static constexpr std::size_t HEAP_INLINE_CAPACITY = 128;

    BestFirstWalk(FlatTreeView<T> tree, const Point& query, Policy policy)
        : tree_(tree),
          query_(query),
          policy_(std::move(policy)),
          prefetch_queued_(Policy::PREFETCH_QUEUED &&
                           tree.nodes.size_bytes() + tree.leaves.size_bytes() >= PREFETCH_MIN_TREE_BYTES) {
        expand(tree_.root());
    }

    // The pending entry with the smallest key, taken out; nothing when none is left.
    [[nodiscard]] std::optional<WalkEntry> pop() {
        walk_check_.step();
        if constexpr (Policy::UNIQUE_KEYS) {
            if (has_next_) {
                has_next_ = false;
                const std::span<const WalkEntry> queued = heap_.entries();
                if (queued.empty() || walks_before(next_, queued[0])) {
                    return next_;
                }
                heap_.extend(std::span<const WalkEntry>(&next_, 1));
            }
        }
        return heap_.pop();
    }

    // Queues the children of the node `entry` that the policy admits.
    void expand(const WalkEntry& entry) { expand(tree_.nodes[entry.index]); }

    void expand(const Node& node) {
        std::array<WalkEntry, MAX_INNER_CHILDREN> run;  // the first `length` are set
        std::size_t length = 0;
        const bool leaves = node.has_leaf_children();
        check_invariant(node.count <= run.size(), "a node with more than MAX_INNER_CHILDREN children");
        const std::uint32_t end = node.first + std::uint32_t{node.count};
        if (leaves) {
            // Measured in a pass of their own, so that the policy learns the nearest
            // before it is asked about any, and most of a pruned walk's leaves (beyond
            // its bound) are dropped at once.
            constexpr bool BOUNDED = requires(const Policy& held) {
                { held.leaf_bound() } -> std::same_as<double>;
            };
            const auto bound = [this] {
                if constexpr (BOUNDED) {
                    return policy_.leaf_bound();
                } else {
                    return std::numeric_limits<double>::infinity();
                }
            };
            static_assert(MAX_INNER_CHILDREN <= 32);
            std::array<double, MAX_INNER_CHILDREN> distances_2;
            std::uint32_t within = 0;  // bit j: leaf j is not beyond the bound
            double nearest_2 = std::numeric_limits<double>::infinity();
            if constexpr (requires { T::distances_2(tree_.child_leaves(node), query_, 0.0, distances_2.data(), within); }) {
                nearest_2 = T::distances_2(tree_.child_leaves(node), query_, bound(), distances_2.data(), within);
            } else {
                for (std::uint32_t j = 0; j < node.count; ++j) {
                    const double distance_2 = tree_.leaves[node.first + j].distance_2(query_);
                    distances_2[j] = distance_2;
                    nearest_2 = std::min(nearest_2, distance_2);
                    within |= std::uint32_t{!(distance_2 > bound())} << j;
                }
            }
            if constexpr (requires { policy_.meet_leaves(nearest_2); }) {
                policy_.meet_leaves(nearest_2);
            }
            // In storage order, each still within the bound (which the policy may have
            // lowered since).
            for (; within != 0; within &= within - 1) {
                const auto j = static_cast<std::uint32_t>(std::countr_zero(within));
                if (distances_2[j] > bound()) {
                    continue;
                }
                const std::uint32_t i = node.first + j;
                const WalkEntry child{distances_2[j], policy_.leaf_tie_break(tree_.leaves[i]), i, true};
                if (policy_.admit(child)) {
                    run[length++] = child;
                }
            }
        } else {
            for (std::uint32_t i = node.first; i < end; ++i) {
                const WalkEntry child{tree_.nodes[i].envelope.distance_2(query_), policy_.node_tie_break(i), i, false};
                if (policy_.admit(child)) {
                    run[length++] = child;
                }
            }
        }
        if constexpr (requires(const Policy& held, const WalkEntry& leaf) {
                          { held.keep_leaf(leaf) } -> std::same_as<bool>;
                      }) {
            if (leaves) {
                const auto kept = std::remove_if(run.begin(), run.begin() + length,
                                                 [this](const WalkEntry& child) { return !policy_.keep_leaf(child); });
                length = static_cast<std::size_t>(kept - run.begin());
            }
        }
        if (!leaves && length != 0 && policy_.descend_first()) {
            const std::size_t nearest = nearest_of(run.data(), length);
            const std::uint32_t first = run[nearest].index;
            run[nearest] = run[--length];
            expand(tree_.nodes[first]);
            length = static_cast<std::size_t>(
                std::remove_if(run.begin(), run.begin() + length, [this](const WalkEntry& child) { return !policy_.admit(child); }) -
                run.begin());
        }
        // The walk waits on cache misses for the children it is about to measure: start
        // loading them while the heap is reordered (a tree in the cache has none).
        if constexpr (Policy::PREFETCH_QUEUED) {
            if (prefetch_queued_ && !leaves) {
                for (std::size_t i = 0; i < length; ++i) {
                    prefetch_children(tree_, tree_.nodes[run[i].index]);
                }
            }
        }
        if constexpr (Policy::UNIQUE_KEYS) {
            // The nearest child is usually the next entry out.
            if (length == 0) {
                return;
            }
            const std::size_t nearest = nearest_of(run.data(), length);
            if (has_next_) {
                heap_.extend(std::span<const WalkEntry>(&next_, 1));
            }
            next_ = run[nearest];
            has_next_ = true;
            run[nearest] = run[--length];
        }
        heap_.extend(std::span<const WalkEntry>(run.data(), length));
        if constexpr (!Policy::PREFETCH_QUEUED) {
            const std::span<const WalkEntry> queued = heap_.entries();
            if (!queued.empty() && !queued[0].is_leaf) {
                prefetch_children(tree_, tree_.nodes[queued[0].index]);
            }
        }
    }

    [[nodiscard]] FlatTreeView<T> tree() const noexcept { return tree_; }
    [[nodiscard]] const Point& query() const noexcept { return query_; }
    [[nodiscard]] Policy& policy() noexcept { return policy_; }
    // The pending entries (exposed so tests can check when the walk allocates).
    [[nodiscard]] const SmallHeap<WalkEntry, HEAP_INLINE_CAPACITY>& heap() const noexcept { return heap_; }

private:
    // The first entry that comes out before every other of entries[0, length).
    [[nodiscard]] static std::size_t nearest_of(const WalkEntry* entries, std::size_t length) noexcept {
        std::size_t nearest = 0;
        for (std::size_t i = 1; i < length; ++i) {
            if (walks_before(entries[i], entries[nearest])) {
                nearest = i;
            }
        }
        return nearest;
    }

    FlatTreeView<T> tree_;
    Point query_;
    Policy policy_;
    SmallHeap<WalkEntry, HEAP_INLINE_CAPACITY> heap_;
    WalkEntry next_;
    bool has_next_ = false;
    bool prefetch_queued_;  // PREFETCH_QUEUED, and the tree is large enough for it to pay
    WalkCheck walk_check_;
};

}  // namespace sferix::rtree
