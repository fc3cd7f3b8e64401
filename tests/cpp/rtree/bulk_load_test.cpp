#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "rtree/algorithm/bulk_load/bulk_load_sequential.hpp"
#include "rtree/rtree.hpp"
#include "rtree/validate.hpp"
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

std::vector<std::size_t> concatenated(const Groups& groups) {
    std::vector<std::size_t> out;
    for (const auto& group : groups) {
        out.insert(out.end(), group.begin(), group.end());
    }
    return out;
}

// Up to a leaf-level node's capacity the root holds every leaf, in the order the
// partitioning gives; one more and the leaves are shared by two nodes.
TEST(BulkLoad, SevenToThirtyTwoElementsAreRootLeavesInStorageOrder) {
    const std::vector<UnitVec> points = general_points(LEAF_NODE_CAPACITY + 1);
    for (const std::size_t n : {std::size_t{7}, std::size_t{8}, LEAF_NODE_CAPACITY, LEAF_NODE_CAPACITY + 1}) {
        const std::vector<UnitVec> input(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(n));
        const PointTree tree = point_tree(input);
        EXPECT_EQ(storage_order(tree), concatenated(storage_groups(input))) << n;
        if (n <= LEAF_NODE_CAPACITY) {
            ASSERT_TRUE(tree.root().has_leaf_children());
            EXPECT_EQ(tree.root().count, n);
        } else {
            EXPECT_EQ(sizes_of(leaf_level_groups(tree)), (std::vector<std::size_t>{17, 16}));
        }
        EXPECT_TRUE(validate_tree(tree)) << n;
    }
}

TEST(BulkLoad, ThirteenElementsAreOrderedInEightGroups) {
    const std::vector<UnitVec> points = general_points(13);
    const Groups groups = storage_groups(points);
    EXPECT_EQ(sizes_of(groups), (std::vector<std::size_t>{1, 2, 1, 2, 1, 2, 2, 2}));
    EXPECT_EQ(storage_order(point_tree(points)), concatenated(groups));
}

TEST(BulkLoad, FortyNineElementsHaveOneDeeperBranchLast) {
    const std::vector<UnitVec> points = general_points(49);
    const Groups groups = storage_groups(points);
    std::vector<std::size_t> expected(7, 6);
    expected.resize(14, 1);
    EXPECT_EQ(sizes_of(groups), expected);
    const PointTree tree = point_tree(points);
    EXPECT_EQ(storage_order(tree), concatenated(groups));
    EXPECT_EQ(sizes_of(leaf_level_groups(tree)), (std::vector<std::size_t>{25, 24}));
    EXPECT_TRUE(validate_tree(tree));
}

TEST(BulkLoad, IdenticalPointsSplitByCountWithPairSwaps) {
    const UnitVec p{0.0, 0.6, 0.8};
    const PointTree seven = point_tree(std::vector<UnitVec>(7, p));
    EXPECT_EQ(storage_order(seven), (std::vector<std::size_t>{0, 2, 1, 4, 3, 6, 5}));
    EXPECT_EQ(sizes_of(storage_groups(std::vector<UnitVec>(7, p))), std::vector<std::size_t>(7, 1));

    EXPECT_EQ(storage_groups(std::vector<UnitVec>(13, p)),
              (Groups{{0}, {1, 2}, {3}, {4, 5}, {6}, {7, 8}, {9, 10}, {11, 12}}));

    // Large groups go through selection; ties must still split by count and end.
    const PointTree many = point_tree(std::vector<UnitVec>(5000, p));
    EXPECT_TRUE(validate_tree(many));
}

// A storage group of a tree of 7 or more elements comes from an x split of at most
// 13 elements, so it is sorted by x.
TEST(BulkLoad, RandomTreesAreValidAndStorageGroupsAscendInX) {
    std::mt19937_64 rng(42);
    for (const std::size_t n : {9U, 16U, 17U, 36U, 100U, 216U, 1000U, 1296U, 20000U}) {
        const std::vector<UnitVec> points = random_unit_vecs(n, rng);
        const PointTree tree = point_tree(points);
        ASSERT_TRUE(validate_tree(tree)) << n;
        const Groups groups = storage_groups(points);
        EXPECT_EQ(storage_order(tree), concatenated(groups)) << n;
        for (const auto& group : groups) {
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

// Where n / 8^d is near 7 (28,672 and 229,376) the partitioning ends in groups of one,
// and just past the capacities' powers (257, 2049) a level is added; every node stays
// at least half full and the leaves keep the storage order.
class PackedSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PackedSizes, LevelsAreFullAndTheOrderIsTheGroups) {
    const std::size_t n = GetParam();
    std::mt19937_64 rng(n);
    const std::vector<UnitVec> points = random_unit_vecs(n, rng);
    const PointTree tree = point_tree(points);
    ASSERT_TRUE(validate_tree(tree));
    const Groups groups = storage_groups(points);
    EXPECT_EQ(storage_order(tree), concatenated(groups));
    // A node above the leaf level is one region of the partition, so it starts where a
    // group of the order starts (two regions that merely follow each other may lie far
    // apart, and a node over both would be wide).
    std::vector<bool> group_start(n + 1, false);
    std::size_t start = 0;
    for (const auto& group : groups) {
        group_start[start] = true;
        start += group.size();
    }
    const FlatTreeView<PointLeaf> view = tree.view();
    for (const FlatNode<UnitVec>& node : view.nodes) {
        const FlatNode<UnitVec>* first = &node;
        while (!first->has_leaf_children()) {
            first = &view.nodes[first->first];
        }
        EXPECT_TRUE(node.has_leaf_children() || group_start[first->first]) << view.index_of(node);
    }
    // A node per 18 leaves at the most (60 bytes with its smallest position, under 4 a
    // point): above 128 leaves a leaf-level node holds more than 25.
    EXPECT_GE(n, 18 * tree.view().nodes.size());
}

INSTANTIATE_TEST_SUITE_P(AwkwardSizes, PackedSizes,
                         ::testing::Values(257, 2049, 7 * 8 * 8 * 8 * 8, 30'000, 7 * 6 * 6 * 6 * 6 * 6,
                                           7 * 8 * 8 * 8 * 8 * 8, 300'000, 7 * 6 * 6 * 6 * 6 * 6 * 6));

// A leaf type may hold fewer leaves per leaf-level node; the packing over the same order
// stays sound and at least half full just past that capacity's powers and where the
// partitioning ends in groups of one.
TEST(BulkLoad, SmallerLeafCapacitiesPackFullNodes) {
    std::mt19937_64 rng(8);
    for (const std::size_t capacity : {std::size_t{8}, std::size_t{16}}) {
        for (const std::size_t n : {capacity + 1, 8 * capacity + 1, 64 * capacity + 1, std::size_t{28'672}}) {
            const PointTree tree = point_tree(random_unit_vecs(n, rng));
            const std::span<const PointLeaf> leaves = tree.view().leaves;
            WalkCheck walk_check;
            const std::vector<FlatNode<UnitVec>> nodes = pack_nodes(leaves, capacity, walk_check);
            const std::span<const FlatNode<UnitVec>> view(nodes);
            EXPECT_FALSE(check_structure(view, leaves, no_hooks<TreeDefect>())) << capacity << " " << n;
            EXPECT_FALSE(check_fill(view, capacity)) << capacity << " " << n;
            for (const FlatNode<UnitVec>& node : nodes) {
                EXPECT_TRUE(!node.has_leaf_children() || node.count <= capacity) << capacity << " " << n;
            }
        }
    }
}

// The shape earlier versions built and stored, a node per group of the partitioning
// (here 7 single-leaf nodes under the root), is a sound tree that still loads, but
// not a packed one.
TEST(BulkLoad, CheckFillTellsTheSparseShapeEarlierVersionsStored) {
    const std::vector<UnitVec> points = general_points(7);
    std::vector<FlatNode<UnitVec>> nodes(8, FlatNode<UnitVec>{Box::new_empty(), 0, 0, true});
    std::vector<PointLeaf> leaves = point_leaves(points);
    for (std::size_t i = 0; i < 7; ++i) {
        nodes[i + 1] = FlatNode<UnitVec>{Box::from_point(points[i]), static_cast<std::uint32_t>(i), 1, true};
        nodes[0].envelope.merge(Box::from_point(points[i]));
    }
    nodes[0].first = 1;
    nodes[0].count = 7;
    nodes[0].leaf_children = false;
    const std::span<const FlatNode<UnitVec>> view(nodes);
    EXPECT_FALSE(check_structure(view, std::span<const PointLeaf>(leaves), no_hooks<TreeDefect>()));
    const std::optional<TreeDefect> sparse = check_fill(view, LEAF_NODE_CAPACITY);
    ASSERT_TRUE(sparse);
    EXPECT_EQ(sparse->index, 1U);
    EXPECT_EQ(sparse->what, "fill 1 of 32, under half");
}

// The nodes earlier versions built over leaves in storage order (and stored in the binary
// form): a node per group of the partitioning, which halves every group of more than six
// leaves along z, y and x (a group of one stays whole), children allocated as one block
// when their parent is split and each then loaded depth first.
std::size_t load_earlier_shape(std::vector<FlatNode<UnitVec>>& nodes, std::span<const PointLeaf> leaves,
                               std::size_t first, std::size_t size, std::size_t index) {
    Box box = Box::new_empty();
    if (size <= STORAGE_GROUP_SIZE) {
        for (const PointLeaf& leaf : leaves.subspan(first, size)) {
            box.merge(leaf.envelope());
        }
        nodes[index] =
            FlatNode<UnitVec>{box, static_cast<std::uint32_t>(first), static_cast<std::uint16_t>(size), true};
        return index;
    }
    std::vector<std::pair<std::size_t, std::size_t>> groups{{first, size}};
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<std::pair<std::size_t, std::size_t>> halves;
        for (const auto& [start, length] : groups) {
            if (length == 1) {
                halves.emplace_back(start, length);
            } else {
                halves.emplace_back(start, length / 2);
                halves.emplace_back(start + length / 2, length - length / 2);
            }
        }
        groups = std::move(halves);
    }
    const std::size_t block = nodes.size();
    nodes.resize(block + groups.size(), FlatNode<UnitVec>{Box::new_empty(), 0, 0, true});
    for (std::size_t i = 0; i < groups.size(); ++i) {
        load_earlier_shape(nodes, leaves, groups[i].first, groups[i].second, block + i);
        box.merge(nodes[block + i].envelope);
    }
    nodes[index] = FlatNode<UnitVec>{box, static_cast<std::uint32_t>(block),
                                     static_cast<std::uint16_t>(groups.size()), false};
    return index;
}

// A tree stored by an earlier version keeps its sparse nodes when loaded: it passes the
// one structure check and answers every query as the packed tree over the same leaves,
// selections in the same order.
TEST(BulkLoad, TreesOfTheEarlierShapeAnswerAsThePackedTree) {
    std::mt19937_64 rng(31);
    for (const std::size_t n : {7U, 49U, 1000U, 28'672U}) {
        const std::vector<UnitVec> points = random_unit_vecs(n, rng);
        const PointTree packed = point_tree(points);
        const std::vector<PointLeaf> leaves(packed.view().leaves.begin(), packed.view().leaves.end());
        std::vector<FlatNode<UnitVec>> nodes(1, FlatNode<UnitVec>{Box::new_empty(), 0, 0, true});
        load_earlier_shape(nodes, leaves, 0, n, 0);
        ASSERT_FALSE(check_structure(std::span<const FlatNode<UnitVec>>(nodes), std::span<const PointLeaf>(leaves),
                                     no_hooks<TreeDefect>()))
            << n;
        EXPECT_TRUE(check_fill(std::span<const FlatNode<UnitVec>>(nodes), LEAF_NODE_CAPACITY)) << n;
        const std::size_t earlier_nodes = nodes.size();
        const PointTree earlier = PointTree::from_flat_arrays(FlatArray<FlatNode<UnitVec>>(std::move(nodes)),
                                                              FlatArray<PointLeaf>(std::vector<PointLeaf>(leaves)));
        EXPECT_LT(packed.view().nodes.size(), earlier_nodes) << n;
        for (const UnitVec& query : random_unit_vecs(20, rng)) {
            for (const double radius_2 : {1e-4, 1e-2, 0.5}) {
                EXPECT_EQ(drain_positions(earlier.locate_within_distance(query, radius_2)),
                          drain_positions(packed.locate_within_distance(query, radius_2)))
                    << n;
            }
            auto a = earlier.nearest_neighbor_iter_with_distance_2(query);
            auto b = packed.nearest_neighbor_iter_with_distance_2(query);
            for (int k = 0; k < 10; ++k) {
                const auto x = a.next();
                const auto y = b.next();
                ASSERT_EQ(x.has_value(), y.has_value());
                if (x) {
                    EXPECT_EQ(x->leaf->data(), y->leaf->data()) << n;
                }
            }
        }
    }
}

// The sort-tile rule for a group of n > STORAGE_GROUP_SIZE elements, in single
// precision as a loader would evaluate it: levels = ceil(ln n / ln 6), clusters =
// ceil(n / 6^(levels − 1)), per axis = floor(cbrt(clusters)), at least 2.
std::size_t clusters_per_axis(std::size_t n) {
    const float length = static_cast<float>(n);
    const float levels = std::ceil(std::log(length) / std::log(static_cast<float>(STORAGE_GROUP_SIZE)));
    float subtree = 1.0F;
    for (float level = 1.0F; level < levels; level += 1.0F) {
        subtree *= static_cast<float>(STORAGE_GROUP_SIZE);
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
