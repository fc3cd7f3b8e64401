#pragma once

#include <iterator>
#include <utility>

#include "rtree/algorithm/next_iterator.hpp"
#include "rtree/algorithm/node_stack.hpp"
#include "rtree/algorithm/selection_functions.hpp"
#include "rtree/node.hpp"
#include "rtree/object.hpp"

namespace sferix::rtree {

// A lazy depth-first walk reporting every leaf object that a selection function
// accepts:
//
//   SelectionIterator it(tree.root(), SelectAtPointFunction<UnitVec>{q});
//   while (const Leaf* leaf = it.next()) { ... }
//
// A node is tested (should_descend) when it is popped, not when it is pushed, and
// its children are pushed in storage order, so the last child is visited first:
// results come out in exactly the reverse of the tree's storage order. Small
// walks allocate nothing (see NodeStack). The iterator borrows the tree, which
// must outlive it, and never changes it.
template <RTreeObject T, SelectionFunction<T> F>
class SelectionIterator {
public:
    // Pushes the root's children when the root has any and its envelope passes
    // should_descend; an empty root is not tested at all.
    SelectionIterator(const ParentNode<T>& root, F function) : function_(std::move(function)) {
        if (!root.children().empty() && function_.should_descend(root.envelope())) {
            stack_.push_all(root.children());
        }
    }

    // The next accepted leaf object, or null when the walk is over.
    [[nodiscard]] const T* next() {
        while (const RTreeNode<T>* node = stack_.pop()) {
            if (const T* leaf = node->as_leaf()) {
                if (function_.should_yield(*leaf)) {
                    return leaf;
                }
            } else {
                const ParentNode<T>& parent = *node->as_parent();
                if (function_.should_descend(parent.envelope())) {
                    stack_.push_all(parent.children());
                }
            }
        }
        return nullptr;
    }

    [[nodiscard]] NextIterator<SelectionIterator> begin() { return NextIterator<SelectionIterator>(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

    [[nodiscard]] const F& function() const noexcept { return function_; }
    // The pending stack (exposed so tests can check when it allocates).
    [[nodiscard]] const NodeStack<RTreeNode<T>>& stack() const noexcept { return stack_; }

private:
    F function_;
    NodeStack<RTreeNode<T>> stack_;
};

}  // namespace sferix::rtree
