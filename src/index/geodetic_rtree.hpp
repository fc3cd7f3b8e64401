#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "geodetic/point.hpp"
#include "geodetic/radius.hpp"
#include "index/leaf.hpp"
#include "index/nearest_iterator.hpp"
#include "index/within_distance_iterator.hpp"
#include "rtree/rtree.hpp"

namespace sferix::indexed {

using geodetic::GeodeticPoint;
using geodetic::SphereRadius;

// A static R-tree over geodetic leaves, built once and then only read; any number
// of queries may run on it at once. Owns exactly one rtree::RTree<Leaf>. Move-only.
template <GeodeticLeaf Leaf>
class GeodeticRTree {
public:
    using LeafType = Leaf;

    // Moves the leaves (any order, duplicates allowed) into a bulk-loaded tree. No
    // leaves give an empty tree, which answers every query with nothing.
    // `repeats_positions`: whether some leaves share an input position (the parts of a
    // multipart item), which the callers reporting positions then merge.
    [[nodiscard]] static GeodeticRTree bulk_load(std::vector<Leaf>&& leaves, bool repeats_positions = false) {
        GeodeticRTree tree(rtree::RTree<Leaf>::new_from_bulk_loading(std::move(leaves)));
        tree.repeats_positions_ = repeats_positions;
        return tree;
    }

    // Whether leaves may share an input position (as bulk_load was told). The queries
    // below report leaves, so then one position may come several times.
    [[nodiscard]] bool repeats_positions() const noexcept { return repeats_positions_; }

    // The number of leaves.
    [[nodiscard]] std::size_t size() const noexcept { return tree_.size(); }
    [[nodiscard]] const rtree::RTree<Leaf>& rtree() const noexcept { return tree_; }

    // Leaves whose squared chord c to query.vector() reports as at most the radius,
    // squared_chord_to_metres(c) ≤ radius_metres (decided as SphereRadius does), each
    // with c. So a leaf at a distance some query reported is inside that radius, and
    // one reported farther is not. Inclusive: radius 0 reports exactly the leaves at
    // squared chord 0 (the same point, a polygon containing the query); a radius of
    // half_circumference_metres() (π·EARTH_RADIUS_METRES) or more, infinity included,
    // reports everything, exact antipodes too. Negative or NaN radius: empty.
    [[nodiscard]] WithinDistanceIterator<Leaf> locate_within_distance(const GeodeticPoint& query,
                                                                      double radius_metres) const {
        if (!(radius_metres >= 0.0)) {
            return {};
        }
        return WithinDistanceIterator<Leaf>(tree_.view(), query.vector(), SphereRadius(radius_metres));
    }

    // The leaf nearest to the query with its great-circle metres: the first leaf of
    // the best-first walk. Among leaves at the same squared chord the heap decides
    // (no tie-break by position); every polygon containing the query is at 0.
    // An empty tree: nothing.
    [[nodiscard]] std::optional<LeafWithMetres<Leaf>> nearest_neighbor_with_distance(const GeodeticPoint& query) const {
        return nearest_neighbor_iter_with_distance(query).next();
    }

    // Every leaf with its great-circle metres to the query, nearest first, ties in
    // heap pop order.
    [[nodiscard]] NearestWithMetresIterator<Leaf> nearest_neighbor_iter_with_distance(const GeodeticPoint& query) const {
        return NearestWithMetresIterator<Leaf>(tree_.view(), query.vector());
    }

protected:
    explicit GeodeticRTree(rtree::RTree<Leaf>&& tree) noexcept : tree_(std::move(tree)) {}

private:
    rtree::RTree<Leaf> tree_;
    bool repeats_positions_ = false;
};

}  // namespace sferix::indexed
