#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>

#include "rtree/algorithm/next_iterator.hpp"
#include "rtree/algorithm/node_stack.hpp"
#include "rtree/algorithm/selection_functions.hpp"
#include "rtree/flat_view.hpp"
#include "rtree/invariant.hpp"
#include "rtree/node.hpp"
#include "rtree/object.hpp"
#include "rtree/params.hpp"
#include "rtree/walk_check.hpp"

namespace sferix::rtree {

// A lazy depth-first walk reporting every leaf object that a selection function
// accepts:
//
//   SelectionIterator it(tree.view(), SelectAtPointFunction<UnitVec>{q});
//   while (const Leaf* leaf = it.next()) { ... }
//
// A node is tested (should_descend) when it is popped, not when it is pushed, and
// its children are pushed in storage order, so the last child is visited first:
// results come out in exactly the reverse of the tree's storage order. The leaves
// of the node entered last are tested from the last to the first before the next
// node is popped, which is the order a stack holding them would give, so only
// nodes enter the stack. Small walks allocate nothing (see NodeStack). The
// iterator borrows the tree, which must outlive it, and never changes it.
//
// A function that bounds the squared distance of what it accepts, over leaves that
// measure a whole node at once (MEASURES_LEAVES: the point radius walk), is walked the
// same way with fewer calls: a node is tested when its parent is entered and stacked
// only if it passes, and of a node's leaves only those within the bound are tested.
// The leaves reported, and their order, are the same.
template <RTreeObject T, SelectionFunction<T> F>
class SelectionIterator {
public:
    using Node = FlatNode<typename T::PointType>;

    // Enters the root when it has children and its envelope passes
    // should_descend; an empty root is not tested at all.
    SelectionIterator(FlatTreeView<T> tree, F function) : tree_(tree), function_(std::move(function)) {
        const Node& root = tree_.root();
        if (root.count != 0 && function_.should_descend(root.envelope)) {
            enter(root);
        }
    }

    // The next accepted leaf object, or null when the walk is over.
    [[nodiscard]] const T* next() {
        for (;;) {
            if constexpr (MEASURES_LEAVES) {
                while (candidates_ != 0) {
                    const int j = std::bit_width(candidates_) - 1;
                    candidates_ &= ~(std::uint32_t{1} << j);
                    const T& leaf = tree_.leaves[leaf_begin_ + static_cast<std::size_t>(j)];
                    if (function_.should_yield(leaf)) {
                        return &leaf;
                    }
                }
            } else {
                while (leaf_next_ > leaf_begin_) {
                    const T& leaf = tree_.leaves[--leaf_next_];
                    if (function_.should_yield(leaf)) {
                        return &leaf;
                    }
                }
            }
            const Node* node = stack_.pop();
            if (node == nullptr) {
                return nullptr;
            }
            walk_check_.step();
            // With MEASURES_LEAVES, nodes are tested before they are stacked.
            if (MEASURES_LEAVES || function_.should_descend(node->envelope)) {
                enter(*node);
            }
        }
    }

    [[nodiscard]] NextIterator<SelectionIterator> begin() { return NextIterator<SelectionIterator>(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

    [[nodiscard]] const F& function() const noexcept { return function_; }
    // The pending stack (exposed so tests can check when it allocates).
    [[nodiscard]] const NodeStack<Node>& stack() const noexcept { return stack_; }

private:
    void enter(const Node& node) {
        if (node.has_leaf_children()) {
            leaf_begin_ = node.first;
            if constexpr (MEASURES_LEAVES) {
                // Only the leaves within the function's bound can be accepted: found in
                // one pass over the node (most of a small radius's lie beyond it).
                check_invariant(node.count <= MAX_INNER_CHILDREN, "a node with more than MAX_INNER_CHILDREN children");
                std::array<double, MAX_INNER_CHILDREN> distances_2;
                static_cast<void>(T::distances_2(tree_.child_leaves(node), function_.origin(), function_.leaf_bound(),
                                                 distances_2.data(), candidates_));
            } else {
                leaf_next_ = std::size_t{node.first} + node.count;
            }
        } else if constexpr (MEASURES_LEAVES) {
            // Only the children that pass: a small radius passes one or two of eight,
            // and the others would be stacked and taken off again only to fail there
            // (the same tests, of a pure function, so the same leaves in the same order).
            for (const Node& child : tree_.child_nodes(node)) {
                if (function_.should_descend(child.envelope)) {
                    stack_.push(child);
                }
            }
        } else {
            stack_.push_all(tree_.child_nodes(node));
        }
    }

    // Whether the leaves measure a node's leaves at once (T::distances_2) and the
    // function accepts none beyond a squared distance from a point (F::leaf_bound and
    // F::origin): then a node's leaves are tested only where that pass leaves them.
    static constexpr bool MEASURES_LEAVES = requires(const F& function, std::span<const T> leaves, double* out,
                                                     std::uint32_t& mask) {
        { function.leaf_bound() } -> std::same_as<double>;
        T::distances_2(leaves, function.origin(), function.leaf_bound(), out, mask);
    };

    FlatTreeView<T> tree_;
    F function_;
    NodeStack<Node> stack_;
    WalkCheck walk_check_;
    // The leaves of the node entered last still to test: [leaf_begin_, leaf_next_), or
    // with MEASURES_LEAVES, leaf_begin_ + j for each bit j of candidates_.
    std::size_t leaf_begin_ = 0;
    std::size_t leaf_next_ = 0;
    std::uint32_t candidates_ = 0;
};

}  // namespace sferix::rtree
