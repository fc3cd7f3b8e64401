#pragma once

#include <iterator>
#include <optional>

#include "rtree/algorithm/best_first.hpp"
#include "rtree/algorithm/next_iterator.hpp"
#include "rtree/flat_view.hpp"
#include "rtree/object.hpp"

namespace sferix::rtree {

// A leaf object of the tree and its squared distance to a query: one result of a
// nearest-neighbour walk or of a radius selection.
template <RTreeObject T>
struct LeafWithDistance2 {
    const T* leaf;
    double distance_2;
};

// Every leaf object of a tree with its squared distance to a query point, in
// nondecreasing distance, lazily:
//
//   NearestNeighborDistance2Iterator it(tree.view(), q);
//   if (auto nearest = it.next()) { use(*nearest->leaf, nearest->distance_2); }
//
// The best-first walk with no pruning (EveryLeaf): the caller stops when it has what
// it needs. Ties come out in heap pop order (see SmallHeap); no other tie-break
// applies. The iterator borrows the tree, which must outlive it.
template <PointDistance T>
class NearestNeighborDistance2Iterator {
public:
    using Point = typename T::PointType;
    using Walk = BestFirstWalk<T, EveryLeaf>;

    NearestNeighborDistance2Iterator(FlatTreeView<T> tree, const Point& query) : walk_(tree, query, EveryLeaf{}) {}

    // The nearest leaf not yet reported, with its squared distance; nothing when
    // every leaf has been reported.
    [[nodiscard]] std::optional<LeafWithDistance2<T>> next() {
        while (const std::optional<WalkEntry> entry = walk_.pop()) {
            if (entry->is_leaf) {
                return LeafWithDistance2<T>{&walk_.tree().leaves[entry->index], entry->distance_2};
            }
            walk_.expand(*entry);
        }
        return std::nullopt;
    }

    [[nodiscard]] NextIterator<NearestNeighborDistance2Iterator> begin() {
        return NextIterator<NearestNeighborDistance2Iterator>(*this);
    }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

    [[nodiscard]] const Point& query() const noexcept { return walk_.query(); }
    // The pending entries (exposed so tests can check when it allocates).
    [[nodiscard]] const auto& heap() const noexcept { return walk_.heap(); }

private:
    Walk walk_;
};

}  // namespace sferix::rtree
