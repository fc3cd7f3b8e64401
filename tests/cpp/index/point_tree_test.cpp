#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "indexed_testing.hpp"

namespace sferix::geodetic {
namespace {

using testing::point_tree;
using testing::random_point_coords;

// The smallest input position below `node`, by walking its subtree.
std::uint32_t subtree_minimum(rtree::FlatTreeView<PointLeaf> view, const rtree::FlatNode<UnitVec>& node) {
    std::uint32_t least = UINT32_MAX;
    if (node.has_leaf_children()) {
        for (const PointLeaf& leaf : view.child_leaves(node)) {
            least = std::min(least, static_cast<std::uint32_t>(leaf.data()));
        }
        return least;
    }
    for (const rtree::FlatNode<UnitVec>& child : view.child_nodes(node)) {
        least = std::min(least, subtree_minimum(view, child));
    }
    return least;
}

TEST(PointTree, KeepsEachPointOnceAndRebuildsItExactly) {
    std::mt19937_64 rng(3);
    const std::vector<LonLat> coords = random_point_coords(rng, 2000);
    const PointTree tree = point_tree(coords);
    ASSERT_EQ(tree.size(), coords.size());
    for (std::size_t i = 0; i < coords.size(); ++i) {
        const GeodeticPoint expected = GeodeticPoint::try_new(coords[i].lon, coords[i].lat).value();
        const GeodeticPoint rebuilt = tree.point(i);
        EXPECT_EQ(rebuilt.lon(), expected.lon());
        EXPECT_EQ(rebuilt.lat(), expected.lat());
        EXPECT_EQ(rebuilt.vector(), expected.vector());
    }
    // Every leaf holds the vector of the point at its input position.
    for (const PointLeaf& leaf : tree.rtree().view().leaves) {
        EXPECT_EQ(leaf.vector(), tree.point(leaf.data()).vector());
    }
}

TEST(PointTree, NodeMinimaAreTheSmallestPositionBelow) {
    std::mt19937_64 rng(4);
    for (const std::size_t n : {0U, 1U, 6U, 7U, 49U, 3000U}) {
        const PointTree tree = point_tree(random_point_coords(rng, n));
        const auto view = tree.rtree().view();
        ASSERT_EQ(tree.min_positions().size(), view.nodes.size());
        for (std::size_t i = 0; i < view.nodes.size(); ++i) {
            EXPECT_EQ(tree.min_positions()[i], subtree_minimum(view, view.nodes[i])) << n << " " << i;
        }
    }
}

}  // namespace
}  // namespace sferix::geodetic
