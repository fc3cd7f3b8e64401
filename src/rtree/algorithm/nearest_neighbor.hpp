#pragma once

#include <iterator>
#include <optional>
#include <ranges>
#include <vector>

#include "rtree/algorithm/next_iterator.hpp"
#include "rtree/algorithm/small_heap.hpp"
#include "rtree/node.hpp"
#include "rtree/object.hpp"

namespace sferix::rtree {

// A pending node or leaf of a best-first walk with its squared distance to the
// query: the envelope's for a parent node, the object's own for a leaf.
template <RTreeObject T>
struct NodeWithDistance2 {
    const RTreeNode<T>* node = nullptr;
    double distance_2 = 0.0;
};

// A leaf object of the tree and its squared distance to a query: one result of a
// nearest-neighbour walk or of a radius selection.
template <RTreeObject T>
struct LeafWithDistance2 {
    const T* leaf;
    double distance_2;
};

// A lazy best-first walk reporting every leaf object of a tree with its squared
// distance to a query point, in nondecreasing distance:
//
//   NearestNeighborDistance2Iterator it(tree.root(), q);
//   if (auto nearest = it.next()) { use(*nearest->leaf, nearest->distance_2); }
//
// Nodes enter the heap with their envelope's distance_2 (a lower bound of every
// object below them) and leaves with the object's exact distance_2, computed once.
// No node is pruned: the walk eventually reports every leaf, so the caller stops
// when it has what it needs. Ties come out in heap pop order (see SmallHeap); no
// other tie-break applies. Small queries allocate nothing. A NaN distance is a
// broken invariant (invariant_broken). The iterator borrows the tree, which must
// outlive it.
template <PointDistance T>
class NearestNeighborDistance2Iterator {
public:
    using Point = typename T::PointType;
    using Entry = NodeWithDistance2<T>;

    // Starts with the root's children in the heap (an empty root adds nothing).
    NearestNeighborDistance2Iterator(const ParentNode<T>& root, const Point& query) : query_(query) {
        extend_heap(root.children());
    }

    // The nearest leaf not yet reported, with its squared distance; nothing when
    // every leaf has been reported.
    [[nodiscard]] std::optional<LeafWithDistance2<T>> next() {
        while (std::optional<Entry> entry = heap_.pop()) {
            if (const T* leaf = entry->node->as_leaf()) {
                return LeafWithDistance2<T>{leaf, entry->distance_2};
            }
            extend_heap(entry->node->as_parent()->children());
        }
        return std::nullopt;
    }

    [[nodiscard]] NextIterator<NearestNeighborDistance2Iterator> begin() {
        return NextIterator<NearestNeighborDistance2Iterator>(*this);
    }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

    [[nodiscard]] const Point& query() const noexcept { return query_; }
    // The pending entries (exposed so tests can check when it allocates).
    [[nodiscard]] const SmallHeap<Entry>& heap() const noexcept { return heap_; }

private:
    // One entry per child, in storage order, added as one run.
    void extend_heap(const std::vector<RTreeNode<T>>& children) {
        heap_.extend(children | std::views::transform([this](const RTreeNode<T>& child) {
                         if (const T* leaf = child.as_leaf()) {
                             return Entry{&child, leaf->distance_2(query_)};
                         }
                         return Entry{&child, child.as_parent()->envelope().distance_2(query_)};
                     }));
    }

    SmallHeap<Entry> heap_;
    Point query_;
};

}  // namespace sferix::rtree
