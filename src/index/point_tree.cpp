#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "geodetic/embedding.hpp"
#include "index/tree.hpp"
#include "rtree/invariant.hpp"
#include "support/huge_pages.hpp"
#include "support/chunked_run.hpp"

namespace sferix::indexed {

using geodetic::embed;

namespace {

// The leaves of `count` points; vector_of(i) gives the unit vector of position i.
template <typename VectorOf>
std::vector<PointLeaf> leaves_of(std::size_t count, VectorOf vector_of) {
    rtree::check_invariant(count < std::numeric_limits<std::uint32_t>::max(), "too many points for a tree");
    std::vector<PointLeaf> leaves;
    support::reserve_huge(leaves, count);
    support::StopCheck stop;
    for (std::size_t i = 0; i < count; ++i) {
        stop.visit();
        leaves.emplace_back(vector_of(i), static_cast<std::uint32_t>(i));
    }
    return leaves;
}

// The smallest input position below every node. Children always come after their
// parent in the node array, so one backward pass sees every child before its parent.
std::vector<std::uint32_t> node_min_positions(rtree::FlatTreeView<PointLeaf> tree) {
    std::vector<std::uint32_t> minima(tree.nodes.size(), std::numeric_limits<std::uint32_t>::max());
    for (std::size_t i = tree.nodes.size(); i-- > 0;) {
        const rtree::FlatNode<UnitVec>& node = tree.nodes[i];
        std::uint32_t least = std::numeric_limits<std::uint32_t>::max();
        if (node.has_leaf_children()) {
            for (const PointLeaf& leaf : tree.child_leaves(node)) {
                least = std::min(least, static_cast<std::uint32_t>(leaf.data()));
            }
        } else {
            for (std::size_t child = node.first; child < std::size_t{node.first} + node.count; ++child) {
                rtree::check_invariant(child > i, "a child node stored before its parent");
                least = std::min(least, minima[child]);
            }
        }
        minima[i] = least;
    }
    return minima;
}

}  // namespace

PointTree::PointTree(rtree::RTree<PointLeaf>&& tree, rtree::FlatArray<GeodeticCoord>&& coords)
    : GeodeticRTree<PointLeaf>(std::move(tree)), coords_(std::move(coords)),
      min_positions_(node_min_positions(rtree().view())) {}

PointTree PointTree::from_coords(std::vector<GeodeticCoord>&& coords) {
    std::vector<PointLeaf> leaves = leaves_of(coords.size(), [&coords](std::size_t i) { return embed(coords[i]); });
    return PointTree(rtree::RTree<PointLeaf>::new_from_bulk_loading(std::move(leaves)),
                     rtree::FlatArray<GeodeticCoord>(std::move(coords)));
}

PointTree PointTree::from_points(std::span<const GeodeticPoint> points) {
    std::vector<PointLeaf> leaves = leaves_of(points.size(), [points](std::size_t i) { return points[i].vector(); });
    std::vector<GeodeticCoord> coords;
    support::reserve_huge(coords, points.size());
    for (const GeodeticPoint& point : points) {
        coords.push_back(point.coord());
    }
    return PointTree(rtree::RTree<PointLeaf>::new_from_bulk_loading(std::move(leaves)),
                     rtree::FlatArray<GeodeticCoord>(std::move(coords)));
}

}  // namespace sferix::indexed
