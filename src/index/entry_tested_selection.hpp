#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "rtree/flat_view.hpp"
#include "rtree/node.hpp"
#include "support/chunked_run.hpp"

namespace sferix::indexed {

// The walk of rtree::SelectionIterator, with each node's children tested as the node is
// entered instead of as each is popped:
//
//   EntryTestedSelection<Leaf, F> walk(tree.view(), function);
//   while (const Leaf* leaf = walk.next()) { ... }   // SelectionIterator's leaves, in its order
//
// SelectionIterator pushes every child and tests it when popped, so a query that
// descends into one child of six pays five pushes, five pops and five unpredictable
// branches for nothing. Here the children's boxes, side by side in the node array,
// are tested in one pass that stacks the passing ones without a branch. The children
// that pass are stacked in the same storage order, and a failing child would have been
// popped and dropped there with no other effect, so the leaves reported, and their
// order, are the same: the same should_descend and should_yield calls on the same
// nodes and leaves, minus should_descend calls on no node at all. Which is why F must
// be the same pure test either way: should_descend may not depend on when it is called.
//
// The pending stack holds up to INLINE_CAPACITY nodes inside the object and moves to
// the heap beyond; a walk never stacks more than depth × (fan-out − 1) + 1 nodes.
template <typename Leaf, typename F>
class EntryTestedSelection {
public:
    using Node = rtree::FlatNode<typename Leaf::PointType>;

    // Enough for a query that descends into a few children per level of a tree of 6-way
    // nodes 6 levels deep (10^4 to 10^5 objects stack at most 31).
    static constexpr std::size_t INLINE_CAPACITY = 32;

    EntryTestedSelection(rtree::FlatTreeView<Leaf> tree, F function) : tree_(tree), function_(std::move(function)) {
        const Node& root = tree_.root();
        if (root.count != 0 && function_.should_descend(root.envelope)) {
            enter(root);
        }
    }

    // The next accepted leaf object, or null when the walk is over.
    [[nodiscard]] const Leaf* next() {
        for (;;) {
            while (leaf_next_ > leaf_begin_) {
                const Leaf& leaf = tree_.leaves[--leaf_next_];
                if (function_.should_yield(leaf)) {
                    return &leaf;
                }
            }
            if (size_ == 0) {
                return nullptr;
            }
            --size_;
            stop_.visit();
            enter(*(spilled_ ? heap_[size_] : inline_[size_]));
        }
    }

    [[nodiscard]] const F& function() const noexcept { return function_; }

private:
    // A node whose own box has passed: its leaves become the pending leaves, or its
    // passing children go on the stack.
    void enter(const Node& node) {
        if (node.has_leaf_children()) {
            leaf_begin_ = node.first;
            leaf_next_ = std::size_t{node.first} + node.count;
            return;
        }
        const std::size_t count = node.count;
        if (!spilled_ && size_ + count > INLINE_CAPACITY) {
            spilled_ = true;
            heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(size_));
        }
        const Node* child = &tree_.nodes[node.first];
        if (spilled_) {
            heap_.resize(size_ + count);
        }
        const Node** top = spilled_ ? heap_.data() : inline_.data();
        for (std::size_t i = 0; i < count; ++i) {
            top[size_] = child + i;
            size_ += function_.should_descend(child[i].envelope) ? 1 : 0;
        }
    }

    rtree::FlatTreeView<Leaf> tree_;
    F function_;
    // Left unset: only [0, size_) is ever read, and clearing 256 bytes per query showed.
    std::array<const Node*, INLINE_CAPACITY> inline_;
    std::vector<const Node*> heap_;
    std::size_t size_ = 0;
    bool spilled_ = false;
    support::StopCheck stop_;
    // The leaves of the node entered last still to test: [leaf_begin_, leaf_next_).
    std::size_t leaf_begin_ = 0;
    std::size_t leaf_next_ = 0;
};

}  // namespace sferix::indexed
