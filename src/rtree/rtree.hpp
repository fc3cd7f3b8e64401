#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "rtree/aabb.hpp"
#include "rtree/algorithm/bulk_load/bulk_load_sequential.hpp"
#include "rtree/algorithm/iterators.hpp"
#include "rtree/algorithm/nearest_neighbor.hpp"
#include "rtree/algorithm/selection_functions.hpp"
#include "rtree/flat_array.hpp"
#include "rtree/flat_view.hpp"
#include "rtree/node.hpp"
#include "rtree/object.hpp"
#include "rtree/params.hpp"

namespace sferix::rtree {

// A static R-tree over leaf objects of type T, built once by bulk loading and
// read-only afterwards (any number of concurrent queries are safe).
//
//   auto tree = RTree<Leaf>::new_from_bulk_loading(std::move(leaves));
//   for (const Leaf& leaf : tree.locate_within_distance(query, max_distance_2)) { ... }
//   auto nearest = tree.nearest_neighbor_iter_with_distance_2(query).next();
//
// Query iterators borrow the tree and must not outlive it. Selection results come
// in the reverse of the storage order; nearest results in nondecreasing squared
// distance. All bounds are inclusive.
//
// The tree lives in two arrays and nothing else: the leaf objects in storage
// order, and the nodes (FlatNode), root first, each node's children contiguous.
// Nothing is allocated per node, and a walk follows indices, never pointers
// between allocations. A built tree owns both arrays; a loaded one may borrow them
// (FlatArray) and answers the same.
template <RTreeObject T>
class RTree {
public:
    using Point = typename T::PointType;
    using Envelope = AABB<Point>;

    // Builds the tree from `elements` (any order, duplicates allowed), moving
    // them into the leaves. No elements give a root without children whose
    // envelope is the empty box. The storage order is fixed by the loader (see
    // bulk_load_sequential.hpp): for at most STORAGE_GROUP_SIZE elements it is the input
    // order. A NaN envelope coordinate met while partitioning, or more than
    // 2^32 − 1 elements, is a broken invariant (invariant_broken).
    [[nodiscard]] static RTree new_from_bulk_loading(std::vector<T>&& elements) {
        std::vector<FlatNode<Point>> nodes = FlatBulkLoader<T>::load(std::span<T>(elements));
        return RTree(FlatArray<FlatNode<Point>>(std::move(nodes)), FlatArray<T>(std::move(elements)));
    }

    // The tree whose two arrays are `nodes` and `leaves`, owned or borrowed, adopted
    // as they are.
    // REQUIRES: they form a tree as the loader builds one (every node but the root the
    // child of exactly one node stored before it, every leaf below exactly one node,
    // child counts within the loader's limits, each envelope the merge of its
    // children's); a caller reading them from outside checks all of that first.
    [[nodiscard]] static RTree from_flat_arrays(FlatArray<FlatNode<Point>>&& nodes, FlatArray<T>&& leaves) noexcept {
        return RTree(std::move(nodes), std::move(leaves));
    }

    // A tree holds up to millions of leaves: it is moved, never copied by accident.
    RTree(const RTree&) = delete;
    RTree& operator=(const RTree&) = delete;
    RTree(RTree&&) noexcept = default;
    RTree& operator=(RTree&&) noexcept = default;
    ~RTree() = default;

    // The root; never a bare leaf, even for one element.
    [[nodiscard]] const FlatNode<Point>& root() const noexcept { return nodes_.front(); }
    // The two arrays, for walks and validators.
    [[nodiscard]] FlatTreeView<T> view() const noexcept { return FlatTreeView<T>{nodes_.span(), leaves_.span()}; }
    // The number of leaf objects (input elements).
    [[nodiscard]] std::size_t size() const noexcept { return leaves_.size(); }
    // Bytes held by the two arrays (their capacities, or what they borrow), for
    // memory accounting.
    [[nodiscard]] std::size_t heap_bytes() const noexcept { return nodes_.heap_bytes() + leaves_.heap_bytes(); }

    // Every leaf accepted by `function`, depth-first (see SelectionIterator).
    template <SelectionFunction<T> F>
    [[nodiscard]] auto locate_with_selection_function(F function) const {
        return SelectionIterator<T, F>(view(), std::move(function));
    }

    // Leaves whose squared distance to `origin` is ≤ max_distance_2 (inclusive;
    // a negative or NaN bound gives nothing).
    // Returns a SelectionIterator<T, SelectWithinDistanceFunction<Point>>.
    [[nodiscard]] auto locate_within_distance(const Point& origin, double max_distance_2) const
        requires PointDistance<T>
    {
        return locate_with_selection_function(SelectWithinDistanceFunction<Point>{origin, max_distance_2});
    }

    // Leaves whose envelope intersects `envelope` (touching counts).
    // Returns a SelectionIterator<T, SelectInEnvelopeFuncIntersecting<Point>>.
    [[nodiscard]] auto locate_in_envelope_intersecting(const Envelope& envelope) const {
        return locate_with_selection_function(SelectInEnvelopeFuncIntersecting<Point>{envelope});
    }

    // Leaves that contain `point`.
    // Returns a SelectionIterator<T, SelectAtPointFunction<Point>>.
    [[nodiscard]] auto locate_all_at_point(const Point& point) const
        requires PointDistance<T>
    {
        return locate_with_selection_function(SelectAtPointFunction<Point>{point});
    }

    // Every leaf with its squared distance to `query`, nearest first.
    // Returns a NearestNeighborDistance2Iterator<T>.
    [[nodiscard]] auto nearest_neighbor_iter_with_distance_2(const Point& query) const
        requires PointDistance<T>
    {
        return NearestNeighborDistance2Iterator<T>(view(), query);
    }

private:
    RTree(FlatArray<FlatNode<Point>>&& nodes, FlatArray<T>&& leaves) noexcept
        : nodes_(std::move(nodes)), leaves_(std::move(leaves)) {}

    FlatArray<FlatNode<Point>> nodes_;
    FlatArray<T> leaves_;
};

}  // namespace sferix::rtree
