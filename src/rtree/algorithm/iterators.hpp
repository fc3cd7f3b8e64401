#pragma once

#include <cstddef>
#include <iterator>
#include <utility>

#include "rtree/algorithm/next_iterator.hpp"
#include "rtree/algorithm/node_stack.hpp"
#include "rtree/algorithm/selection_functions.hpp"
#include "rtree/flat_view.hpp"
#include "rtree/node.hpp"
#include "rtree/object.hpp"
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
            while (leaf_next_ > leaf_begin_) {
                const T& leaf = tree_.leaves[--leaf_next_];
                if (function_.should_yield(leaf)) {
                    return &leaf;
                }
            }
            const Node* node = stack_.pop();
            if (node == nullptr) {
                return nullptr;
            }
            walk_check_.step();
            if (function_.should_descend(node->envelope)) {
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
            leaf_next_ = std::size_t{node.first} + node.count;
        } else {
            stack_.push_all(tree_.child_nodes(node));
        }
    }

    FlatTreeView<T> tree_;
    F function_;
    NodeStack<Node> stack_;
    WalkCheck walk_check_;
    // The leaves of the node entered last still to test: [leaf_begin_, leaf_next_).
    std::size_t leaf_begin_ = 0;
    std::size_t leaf_next_ = 0;
};

}  // namespace sferix::rtree
