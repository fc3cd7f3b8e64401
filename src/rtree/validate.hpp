#pragma once

// The structure every flat tree keeps, checked on a node array that may come from
// anywhere (a buffer being loaded, a tree under test):
//
//   std::optional<TreeDefect> defect = check_structure(nodes, leaves, hooks);
//
// Node 0 is the root; an inner node's children are the nodes [first, first + count),
// all stored after it, 1 to INNER_NODE_CAPACITY of them; a leaf-level node's are the
// leaves [first, first + count), 1 to LEAF_NODE_CAPACITY of them (the root of an empty
// tree has none); every node but the root is the child of exactly one node and every
// leaf under exactly one; each box is exactly the merge of its children's (compared as
// numbers, so a zero may differ in sign, and a NaN fails). Nodes are checked from the
// last to the root, so a node's children are known good when it is checked.
//
// Trees stored by earlier versions (up to 6 leaves and 8 nodes a node, any fill) meet
// these rules too. What only the packing loader gives, nodes at least half full, is
// check_fill's:
//
//   std::optional<TreeDefect> sparse = check_fill(nodes, leaf_node_capacity<T>(leaves.size()));

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rtree/node.hpp"
#include "rtree/params.hpp"
#include "rtree/walk_check.hpp"

namespace sferix::rtree {

// The first broken rule found: at node `index` (a leaf index for UnclaimedLeaf).
struct TreeDefect {
    enum class Field {
        Children,       // the child range or count, or a child claimed twice
        Box,            // the box is not the merge of its children's
        UnclaimedNode,  // a node below the root that is nobody's child
        UnclaimedLeaf,  // a leaf under no node
    };
    std::size_t index;
    Field field;
    std::string what;
};

// One mark per index below a count, a bit each so that marks met in random order stay
// in cache.
class Marks {
public:
    explicit Marks(std::size_t count) : words_(count / 64 + 1, 0), count_(count) {}

    // Marks `index` (< count); whether it was marked already.
    [[nodiscard]] bool set(std::size_t index) noexcept {
        const std::uint64_t bit = std::uint64_t{1} << (index % 64);
        const bool was = (words_[index / 64] & bit) != 0;
        words_[index / 64] |= bit;
        return was;
    }

    // The smallest index not marked, or the count.
    [[nodiscard]] std::size_t first_unset() const noexcept {
        for (std::size_t word = 0; word < words_.size(); ++word) {
            if (words_[word] != ~std::uint64_t{0}) {
                return std::min(count_, word * 64 + static_cast<std::size_t>(std::countr_one(words_[word])));
            }
        }
        return count_;
    }

private:
    std::vector<std::uint64_t> words_;
    std::size_t count_;
};

// What a caller checks beside the structure: its own error type E, and three hooks, each
// returning an E to stop at or nothing to go on. node(i) runs first for every node; leaf(i,
// leaf) for each leaf of a leaf-level node i once its range is good, before its box is
// merged; defect(d) makes the caller's error of a broken structural rule.
template <typename E, typename NodeHook, typename LeafHook, typename DefectHook>
struct StructureHooks {
    NodeHook node;
    LeafHook leaf;
    DefectHook defect;
};

template <typename E>
inline auto no_hooks() {
    return StructureHooks<E, std::optional<E> (*)(std::size_t), std::optional<E> (*)(std::size_t, std::size_t),
                          E (*)(const TreeDefect&)>{
        [](std::size_t) -> std::optional<E> { return std::nullopt; },
        [](std::size_t, std::size_t) -> std::optional<E> { return std::nullopt; },
        [](const TreeDefect& d) -> E { return d; }};
}

// The first error of the caller's hooks or of the structure, in node order from the
// last node; nothing when the tree is whole.
template <typename E, typename P, typename Leaf, typename NodeHook, typename LeafHook, typename DefectHook>
std::optional<E> check_structure(std::span<const FlatNode<P>> nodes, std::span<const Leaf> leaves,
                                 const StructureHooks<E, NodeHook, LeafHook, DefectHook>& hooks) {
    using Field = TreeDefect::Field;
    const std::size_t n = leaves.size();
    const std::size_t m = nodes.size();
    Marks leaf_claimed(n);
    Marks node_claimed(m);
    WalkCheck walk_check;
    for (std::size_t i = m; i-- > 0;) {
        walk_check.step();
        if (std::optional<E> error = hooks.node(i)) {
            return error;
        }
        const FlatNode<P>& node = nodes[i];
        const std::size_t first = node.first;
        const std::size_t end = first + node.count;
        AABB<P> merged = AABB<P>::new_empty();
        if (node.has_leaf_children()) {
            const bool empty_root = i == 0 && n == 0;
            if (node.count > LEAF_NODE_CAPACITY || (node.count == 0 && !empty_root) || end > n) {
                return hooks.defect({i, Field::Children,
                                     "leaf range [" + std::to_string(first) + ", " + std::to_string(end) +
                                         ") invalid for " + std::to_string(n) + " leaves"});
            }
            for (std::size_t leaf = first; leaf < end; ++leaf) {
                if (leaf_claimed.set(leaf)) {
                    return hooks.defect({i, Field::Children, "leaf " + std::to_string(leaf) + " under two nodes"});
                }
                if (std::optional<E> error = hooks.leaf(i, leaf)) {
                    return error;
                }
                merged.merge(leaves[leaf].envelope());
            }
        } else {
            if (node.count == 0 || node.count > INNER_NODE_CAPACITY || first <= i || end > m) {
                return hooks.defect({i, Field::Children,
                                     "child range [" + std::to_string(first) + ", " + std::to_string(end) +
                                         ") invalid for node " + std::to_string(i) + " of " + std::to_string(m)});
            }
            for (std::size_t child = first; child < end; ++child) {
                if (node_claimed.set(child)) {
                    return hooks.defect({i, Field::Children, "node " + std::to_string(child) + " under two parents"});
                }
                merged.merge(nodes[child].envelope);
            }
        }
        for (std::size_t axis = 0; axis < 3; ++axis) {
            if (!(node.envelope.lower()[axis] == merged.lower()[axis] &&
                  node.envelope.upper()[axis] == merged.upper()[axis])) {
                return hooks.defect({i, Field::Box, "box is not the merge of its children's"});
            }
        }
    }
    static_cast<void>(node_claimed.set(0));  // the root, nobody's child
    if (const std::size_t i = node_claimed.first_unset(); i != m) {
        return hooks.defect({i, Field::UnclaimedNode, "not the child of any node"});
    }
    if (const std::size_t leaf = leaf_claimed.first_unset(); leaf != n) {
        return hooks.defect({leaf, Field::UnclaimedLeaf, "under no node"});
    }
    return std::nullopt;
}

// The fill of a tree that passed check_structure: every leaf-level node lies at the same
// depth, and no node but the root holds fewer than half a node's capacity of children
// (`leaf_capacity` leaves, INNER_NODE_CAPACITY nodes). So the node array stays
// within twice the smallest a tree of these capacities can have, at every size. The
// first node that breaks it; nothing when the tree is packed.
template <typename P>
std::optional<TreeDefect> check_fill(std::span<const FlatNode<P>> nodes, std::size_t leaf_capacity) {
    using Field = TreeDefect::Field;
    // Children follow their parent, so one forward pass knows every parent's depth first.
    std::vector<std::uint8_t> depth(nodes.size(), 0);
    std::optional<std::size_t> leaf_depth;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const FlatNode<P>& node = nodes[i];
        const std::size_t capacity = node.has_leaf_children() ? leaf_capacity : INNER_NODE_CAPACITY;
        if (i != 0 && 2 * std::size_t{node.count} < capacity) {
            return TreeDefect{i, Field::Children,
                              "fill " + std::to_string(node.count) + " of " + std::to_string(capacity) +
                                  ", under half"};
        }
        if (node.has_leaf_children()) {
            if (leaf_depth && *leaf_depth != depth[i]) {
                return TreeDefect{i, Field::Children, "leaf-level node at depth " + std::to_string(depth[i]) +
                                                          ", others at " + std::to_string(*leaf_depth)};
            }
            leaf_depth = depth[i];
        } else {
            for (std::size_t child = node.first; child < std::size_t{node.first} + node.count; ++child) {
                depth[child] = static_cast<std::uint8_t>(depth[i] + 1);
            }
        }
    }
    return std::nullopt;
}

}  // namespace sferix::rtree
