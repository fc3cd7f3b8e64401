#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <vector>

#include "rtree/algorithm/nearest_neighbor.hpp"
#include "rtree_testing.hpp"

namespace sferix::rtree::testing {
namespace {

template <typename Tree>
std::vector<std::size_t> nearest_order(const Tree& tree, const UnitVec& query) {
    std::vector<std::size_t> out;
    for (const auto& [object, distance_2] : tree.nearest_neighbor_iter_with_distance_2(query)) {
        out.push_back(object->data());
    }
    return out;
}

TEST(NearestNeighborDistance2Iterator, EmptyTreeYieldsNothing) {
    const PointTree tree = point_tree({});
    NearestNeighborDistance2Iterator it(tree.view(), UnitVec{0, 0, 1});
    EXPECT_FALSE(it.next().has_value());
}

// Node and leaf distances of a point are bitwise equal, so every comparison
// ties and the heap's push and pop rules alone decide the order.
TEST(NearestNeighborDistance2Iterator, TiesFollowTheHeapRules) {
    const PointTree seven = point_tree(std::vector<UnitVec>(7, UnitVec{0.6, 0.0, 0.8}));
    for (const UnitVec& query : {UnitVec{0.6, 0.0, 0.8}, UnitVec{0, -1, 0}, UnitVec{-0.6, 0.0, -0.8}}) {
        EXPECT_EQ(nearest_order(seven, query), (std::vector<std::size_t>{0, 1, 6, 5, 3, 2, 4}));
    }
    // Four points at squared distance exactly 2 from the pole: the smallest
    // input position comes first.
    const PointTree four = point_tree({{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}});
    EXPECT_EQ(nearest_order(four, UnitVec{0, 0, 1}), (std::vector<std::size_t>{0, 2, 1, 3}));
}

template <typename Tree, typename Leaf>
void expect_every_object_in_order(const Tree& tree, const std::vector<Leaf>& leaves, const UnitVec& query) {
    std::vector<bool> seen(leaves.size(), false);
    double previous = 0.0;
    std::size_t count = 0;
    auto it = tree.nearest_neighbor_iter_with_distance_2(query);
    while (const auto result = it.next()) {
        const std::size_t position = result->leaf->data();
        ASSERT_FALSE(seen[position]);
        seen[position] = true;
        EXPECT_EQ(result->distance_2, leaves[position].distance_2(query));
        EXPECT_LE(previous, result->distance_2);
        previous = result->distance_2;
        ++count;
    }
    EXPECT_EQ(count, leaves.size());
}

TEST(NearestNeighborDistance2Iterator, ReportsEveryObjectInNondecreasingDistance) {
    std::mt19937_64 rng(21);
    const auto [points, point_copies, points_tree, boxes, box_copies, boxes_tree] = random_trees(rng, 3000, 2000, 0.05);
    for (const UnitVec& query : random_unit_vecs(20, rng)) {
        expect_every_object_in_order(points_tree, point_copies, query);
        expect_every_object_in_order(boxes_tree, box_copies, query);
    }
    // A query on a stored point finds a point at distance 0 first.
    for (std::size_t i = 0; i < points.size(); i += 97) {
        const auto first = points_tree.nearest_neighbor_iter_with_distance_2(points[i]).next();
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(first->distance_2, 0.0);
        EXPECT_EQ(first->leaf->geom().v, points[i]);
    }
}

TEST(NearestNeighborDistance2Iterator, SmallQueriesStayInlineAndFullWalksSpill) {
    std::mt19937_64 rng(8);
    // 48 points, 8 leaf-level nodes of 6: for these queries the first result
    // comes out before the heap passes 32 entries.
    const PointTree small_tree = point_tree(random_unit_vecs(48, rng));
    for (const UnitVec& query : random_unit_vecs(100, rng)) {
        auto first_only = small_tree.nearest_neighbor_iter_with_distance_2(query);
        ASSERT_TRUE(first_only.next().has_value());
        EXPECT_FALSE(first_only.heap().is_spilled());
    }

    const PointTree large_tree = point_tree(random_unit_vecs(20000, rng));
    auto everything = large_tree.nearest_neighbor_iter_with_distance_2(UnitVec{0, 0, 1});
    std::size_t count = 0;
    double previous = 0.0;
    while (const auto result = everything.next()) {
        EXPECT_LE(previous, result->distance_2);
        previous = result->distance_2;
        ++count;
    }
    EXPECT_TRUE(everything.heap().is_spilled());
    EXPECT_EQ(count, 20000U);
}

}  // namespace
}  // namespace sferix::rtree::testing
