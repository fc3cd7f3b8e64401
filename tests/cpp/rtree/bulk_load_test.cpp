#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "rtree/algorithm/bulk_load/bulk_load_sequential.hpp"
#include "rtree/rtree.hpp"
#include "rtree_testing.hpp"
#include "support/panic.hpp"

namespace sferix::rtree::testing {
namespace {

using Groups = std::vector<std::vector<std::size_t>>;

// Points in general position whose coordinates are all distinct, in an order
// unrelated to their input positions.
std::vector<UnitVec> general_points(std::size_t count, std::uint64_t seed = 7) {
    std::mt19937_64 rng(seed);
    return random_unit_vecs(count, rng);
}

std::vector<std::size_t> sizes_of(const Groups& groups) {
    std::vector<std::size_t> sizes;
    for (const auto& group : groups) {
        sizes.push_back(group.size());
    }
    return sizes;
}

TEST(BulkLoad, EmptyInputGivesEmptyRoot) {
    const PointTree tree = point_tree({});
    EXPECT_EQ(tree.size(), 0U);
    EXPECT_EQ(tree.root().count, 0U);
    constexpr double M = std::numeric_limits<double>::max();
    EXPECT_EQ(tree.root().envelope.lower(), (UnitVec{M, M, M}));
    EXPECT_EQ(tree.root().envelope.upper(), (UnitVec{-M, -M, -M}));
    EXPECT_TRUE(validate_tree(tree));
}

TEST(BulkLoad, UpToSixElementsAreRootLeavesInInputOrder) {
    const std::vector<UnitVec> points = general_points(6);
    for (std::size_t n = 1; n <= 6; ++n) {
        const std::vector<UnitVec> input(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(n));
        const PointTree tree = point_tree(input);
        ASSERT_TRUE(tree.root().has_leaf_children());
        ASSERT_EQ(tree.root().count, n);
        Box expected = Box::new_empty();
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(tree.view().child_leaves(tree.root())[i].data(), i);
            expected.merge(Box::from_point(input[i]));
        }
        EXPECT_TRUE(same_box(tree.root().envelope, expected));
        EXPECT_EQ(tree.size(), n);
        EXPECT_TRUE(validate_tree(tree));
    }
}

TEST(BulkLoad, SevenAndEightElementsGiveSingleLeafChildren) {
    for (const std::size_t n : {7U, 8U}) {
        const PointTree tree = point_tree(general_points(n));
        ASSERT_FALSE(tree.root().has_leaf_children());
        ASSERT_EQ(tree.root().count, n);
        for (const auto& child : tree.view().child_nodes(tree.root())) {
            EXPECT_TRUE(child.has_leaf_children());
            EXPECT_EQ(child.count, 1U);
        }
        EXPECT_TRUE(validate_tree(tree));
    }
}

TEST(BulkLoad, ThirteenElementsSplitIntoEightLeafLevelNodes) {
    const PointTree tree = point_tree(general_points(13));
    ASSERT_EQ(tree.root().count, 8U);
    const Groups groups = leaf_level_groups(tree);
    EXPECT_EQ(sizes_of(groups), (std::vector<std::size_t>{1, 2, 1, 2, 1, 2, 2, 2}));
    EXPECT_TRUE(validate_tree(tree));
}

TEST(BulkLoad, FortyNineElementsHaveOneDeeperBranchLast) {
    const PointTree tree = point_tree(general_points(49));
    const auto root_children = tree.view().child_nodes(tree.root());
    ASSERT_EQ(root_children.size(), 8U);
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_TRUE(root_children[i].has_leaf_children());
        EXPECT_EQ(root_children[i].count, 6U);
    }
    const auto& last = root_children[7];
    ASSERT_FALSE(last.has_leaf_children());
    ASSERT_EQ(last.count, 7U);
    for (const auto& child : tree.view().child_nodes(last)) {
        EXPECT_TRUE(child.has_leaf_children());
        EXPECT_EQ(child.count, 1U);
    }
    EXPECT_TRUE(validate_tree(tree));
}

TEST(BulkLoad, IdenticalPointsSplitByCountWithPairSwaps) {
    const UnitVec p{0.0, 0.6, 0.8};
    const PointTree seven = point_tree(std::vector<UnitVec>(7, p));
    EXPECT_EQ(storage_order(seven), (std::vector<std::size_t>{0, 2, 1, 4, 3, 6, 5}));
    EXPECT_EQ(sizes_of(leaf_level_groups(seven)), std::vector<std::size_t>(7, 1));

    const PointTree thirteen = point_tree(std::vector<UnitVec>(13, p));
    EXPECT_EQ(leaf_level_groups(thirteen), (Groups{{0}, {1, 2}, {3}, {4, 5}, {6}, {7, 8}, {9, 10}, {11, 12}}));

    // Large groups go through selection; ties must still split by count and end.
    const PointTree many = point_tree(std::vector<UnitVec>(5000, p));
    EXPECT_TRUE(validate_tree(many));
}

// A leaf-level node of a tree of 7 or more elements comes from an x split of
// at most 13 elements, so it is sorted by x.
TEST(BulkLoad, RandomTreesAreValidAndLeafLevelNodesAscendInX) {
    std::mt19937_64 rng(42);
    for (const std::size_t n : {9U, 16U, 17U, 36U, 100U, 216U, 1000U, 1296U, 20000U}) {
        const std::vector<UnitVec> points = random_unit_vecs(n, rng);
        const PointTree tree = point_tree(points);
        ASSERT_TRUE(validate_tree(tree)) << n;
        for (const auto& group : leaf_level_groups(tree)) {
            for (std::size_t i = 1; i < group.size(); ++i) {
                EXPECT_LE(points[group[i - 1]].x, points[group[i]].x) << n;
            }
        }
    }
    // Boxes and clustered duplicates exercise ties in every split size.
    std::vector<Box> boxes = random_boxes(3000, 0.05, rng);
    for (std::size_t i = 0; i < boxes.size(); i += 3) {
        boxes[i] = boxes[i / 2];
    }
    EXPECT_TRUE(validate_tree(BoxTree::new_from_bulk_loading(box_leaves(boxes))));
}

// The sort-tile rule for a group of n > MAX_NODE_SIZE elements, in single
// precision as a loader would evaluate it: levels = ceil(ln n / ln 6), clusters =
// ceil(n / 6^(levels − 1)), per axis = floor(cbrt(clusters)), at least 2.
std::size_t clusters_per_axis(std::size_t n) {
    const float length = static_cast<float>(n);
    const float levels = std::ceil(std::log(length) / std::log(static_cast<float>(MAX_NODE_SIZE)));
    float subtree = 1.0F;
    for (float level = 1.0F; level < levels; level += 1.0F) {
        subtree *= static_cast<float>(MAX_NODE_SIZE);
    }
    const float clusters = std::ceil(length / subtree);
    return std::max<std::size_t>(static_cast<std::size_t>(std::floor(std::pow(clusters, 1.0F / 3.0F))), 2);
}

// The loader's constant split count is what the sort-tile rule gives, whatever
// the rounding of the logarithm near powers of 6.
TEST(BulkLoad, ClustersPerAxisIsTwoForEveryLength) {
    EXPECT_EQ(std::log(6.0F), 1.7917595F);
    EXPECT_EQ(1.0F / 3.0F, 0.33333334F);
    std::size_t failures = 0;
    for (std::size_t n = 7; n <= 10'000'000; ++n) {
        failures += clusters_per_axis(n) == CLUSTERS_PER_AXIS ? 0 : 1;
    }
    EXPECT_EQ(failures, 0U);
    for (std::size_t n = 6; n <= (std::size_t{1} << 62); n *= 6) {
        for (const std::size_t m : {n - 1, n, n + 1}) {
            if (m >= 7) {
                EXPECT_EQ(clusters_per_axis(m), 2U) << m;
            }
        }
    }
}

// Only moves are possible for this leaf, so loading compiles only if it never copies.
struct MoveOnlyPoint {
    using PointType = UnitVec;
    std::unique_ptr<UnitVec> v;
    [[nodiscard]] Box envelope() const { return Box::from_point(*v); }
};

TEST(BulkLoad, MovesElementsWithoutCopying) {
    std::vector<MoveOnlyPoint> leaves;
    const std::vector<UnitVec> points = general_points(500);
    std::vector<const UnitVec*> addresses;
    for (const UnitVec& p : points) {
        leaves.push_back(MoveOnlyPoint{std::make_unique<UnitVec>(p)});
        addresses.push_back(leaves.back().v.get());
    }
    const auto tree = RTree<MoveOnlyPoint>::new_from_bulk_loading(std::move(leaves));
    EXPECT_EQ(tree.size(), 500U);
    std::size_t found = 0;
    auto box = Box::from_corners(UnitVec{-1, -1, -1}, UnitVec{1, 1, 1});
    for (const MoveOnlyPoint& leaf : tree.locate_in_envelope_intersecting(box)) {
        found += std::find(addresses.begin(), addresses.end(), leaf.v.get()) != addresses.end() ? 1 : 0;
    }
    EXPECT_EQ(found, 500U);
}

TEST(BulkLoad, NaNKeyIsABrokenInvariant) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    for (const std::size_t n : {7U, 13U, 40U, 1000U}) {
        std::vector<UnitVec> points = general_points(n);
        points[n / 3].z = NaN;
        EXPECT_THROW((void)point_tree(points), support::Panic) << n;
    }
}

}  // namespace
}  // namespace sferix::rtree::testing
