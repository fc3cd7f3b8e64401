#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "rtree/algorithm/iterators.hpp"
#include "rtree/algorithm/selection_functions.hpp"
#include "rtree_testing.hpp"

namespace sferix::rtree::testing {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Accepts everything and records, in order, which tests were asked.
struct RecordingFunction {
    std::vector<std::string>* log;

    [[nodiscard]] bool should_descend(const Box& envelope) const {
        log->push_back("descend " + std::to_string(envelope.lower().x));
        return true;
    }
    [[nodiscard]] bool should_yield(const PointLeaf& leaf) const {
        log->push_back("yield " + std::to_string(leaf.data()));
        return true;
    }
};
static_assert(SelectionFunction<RecordingFunction, PointLeaf>);
static_assert(SelectionFunction<SelectWithinDistanceFunction<UnitVec>, PointLeaf>);
static_assert(SelectionFunction<SelectInEnvelopeFuncIntersecting<UnitVec>, BoxLeaf>);
static_assert(SelectionFunction<SelectAtPointFunction<UnitVec>, BoxLeaf>);

TEST(SelectionIterator, EmptyTreeYieldsNothingAndTestsNothing) {
    const PointTree tree = point_tree({});
    std::vector<std::string> log;
    SelectionIterator it(tree.view(), RecordingFunction{&log});
    EXPECT_EQ(it.next(), nullptr);
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(drain_positions(tree.locate_within_distance(UnitVec{1, 0, 0}, 4.0)).empty());
}

TEST(SelectionIterator, ReportsInReverseStorageOrder) {
    const std::vector<UnitVec> three{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    EXPECT_EQ(drain_positions(point_tree(three).locate_within_distance(UnitVec{1, 0, 0}, 4.0)),
              (std::vector<std::size_t>{2, 1, 0}));

    const PointTree seven = point_tree(std::vector<UnitVec>(7, UnitVec{0, 0, 1}));
    EXPECT_EQ(drain_positions(seven.locate_all_at_point(UnitVec{0, 0, 1})), (std::vector<std::size_t>{5, 6, 3, 4, 1, 2, 0}));
}

// Nodes are tested when popped: the root first, then each leaf-level node right
// before its leaves.
TEST(SelectionIterator, TestsNodesWhenPopped) {
    const UnitVec p{0.0, 0.0, 1.0};
    const PointTree two_nodes = point_tree(std::vector<UnitVec>(LEAF_NODE_CAPACITY + 1, p));
    ASSERT_EQ(two_nodes.root().count, 2U);
    std::vector<std::string> log;
    SelectionIterator it(two_nodes.view(), RecordingFunction{&log});
    EXPECT_EQ(log, (std::vector<std::string>{"descend 0.000000"}));
    ASSERT_NE(it.next(), nullptr);
    const std::string last = "yield " + std::to_string(storage_order(two_nodes).back());
    EXPECT_EQ(log, (std::vector<std::string>{"descend 0.000000", "descend 0.000000", last}));
}

struct BoundCase {
    const char* name;
    double max_distance_2;
    std::vector<std::size_t> expected;
};

class WithinDistanceBounds : public ::testing::TestWithParam<BoundCase> {};

// Squared distances from (1, 0, 0): 0 to itself, exactly 2 to (0, ±1, 0), 4 to (−1, 0, 0).
TEST_P(WithinDistanceBounds, AreInclusive) {
    const PointTree tree = point_tree({{1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {-1, 0, 0}});
    EXPECT_EQ(drain_positions(tree.locate_within_distance(UnitVec{1, 0, 0}, GetParam().max_distance_2)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, WithinDistanceBounds,
                         ::testing::Values(BoundCase{"Zero", 0.0, {0}}, BoundCase{"ExactlyTwo", 2.0, {2, 1, 0}},
                                           BoundCase{"JustBelowTwo", std::nextafter(2.0, 0.0), {0}},
                                           BoundCase{"Four", 4.0, {3, 2, 1, 0}}, BoundCase{"Negative", -1.0, {}},
                                           BoundCase{"NaN", NaN, {}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SelectionIterator, TouchingBoxesIntersect) {
    const PointTree tree = point_tree({{0.6, 0.0, 0.8}, {0.0, 0.6, 0.8}});
    EXPECT_EQ(drain_positions(tree.locate_in_envelope_intersecting(Box::from_corners({0.6, -1, -1}, {1, 1, 1}))),
              (std::vector<std::size_t>{0}));
    EXPECT_TRUE(drain_positions(tree.locate_in_envelope_intersecting(Box::from_corners({0.61, -1, -1}, {1, 1, 1}))).empty());
    EXPECT_TRUE(drain_positions(tree.locate_in_envelope_intersecting(Box::from_corners({NaN, -1, -1}, {1, 1, 1}))).empty());
}

TEST(SelectionIterator, AtPointFindsExactlyTheEqualVectors) {
    const UnitVec p{0.6, 0.0, 0.8};
    const UnitVec next_to_p{std::nextafter(0.6, 1.0), 0.0, 0.8};
    std::vector<UnitVec> points{p, next_to_p, {0, 0, 1}};
    for (int i = 0; i < 30; ++i) {
        points.push_back(i % 3 == 0 ? p : UnitVec{0.0, 0.6, 0.8});
    }
    std::vector<std::size_t> found = drain_positions(point_tree(points).locate_all_at_point(p));
    std::sort(found.begin(), found.end());
    std::vector<std::size_t> expected{0};
    for (std::size_t i = 0; i < 30; i += 3) {
        expected.push_back(i + 3);
    }
    EXPECT_EQ(found, expected);
}

// Brute force over the same leaves, in report order: the selection must report
// exactly the accepted leaves, as a subsequence of the reverse storage order.
template <typename Tree, typename Leaf, typename Function>
std::size_t expect_matches_linear_scan(const Tree& tree, const std::vector<Leaf>& leaves, const Function& function) {
    std::vector<std::size_t> expected;
    std::vector<std::size_t> order = storage_order(tree);
    std::reverse(order.begin(), order.end());
    for (const std::size_t position : order) {
        if (function.should_yield(leaves[position])) {
            expected.push_back(position);
        }
    }
    std::vector<std::size_t> found;
    for (const Leaf& leaf : tree.locate_with_selection_function(function)) {
        found.push_back(leaf.data());
    }
    EXPECT_EQ(found, expected);
    return found.size();
}

TEST(SelectionIterator, RandomQueriesMatchLinearScan) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> radius_2(0.0, 0.05);
    const auto [points, point_copies, points_tree, boxes, box_copies, boxes_tree] = random_trees(rng, 3000, 3000, 0.03);
    const std::vector<UnitVec> queries = random_unit_vecs(200, rng);
    std::array<std::size_t, 6> found{};
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const UnitVec& q = queries[i];
        const SelectWithinDistanceFunction<UnitVec> within{q, radius_2(rng)};
        const SelectInEnvelopeFuncIntersecting<UnitVec> intersecting{boxes[(i * 7) % boxes.size()]};
        const SelectAtPointFunction<UnitVec> at_point{points[(i * 13) % points.size()]};
        const SelectAtPointFunction<UnitVec> in_boxes{q};
        found[0] += expect_matches_linear_scan(points_tree, point_copies, within);
        found[1] += expect_matches_linear_scan(boxes_tree, box_copies, within);
        found[2] += expect_matches_linear_scan(points_tree, point_copies, intersecting);
        found[3] += expect_matches_linear_scan(boxes_tree, box_copies, intersecting);
        found[4] += expect_matches_linear_scan(points_tree, point_copies, at_point);
        found[5] += expect_matches_linear_scan(boxes_tree, box_copies, in_boxes);
    }
    // Every kind of query found something, so the comparisons were not vacuous.
    for (const std::size_t count : found) {
        EXPECT_GT(count, 0U);
    }
}

TEST(SelectionIterator, StackStaysInlineForSmallQueriesAndSpillsToPowersOfTwo) {
    std::mt19937_64 rng(5);
    const PointTree tree = point_tree(random_unit_vecs(200000, rng));
    auto small = tree.locate_within_distance(UnitVec{1, 0, 0}, 1e-4);
    while (small.next() != nullptr) {
        EXPECT_FALSE(small.stack().is_spilled());
    }
    EXPECT_FALSE(small.stack().is_spilled());

    auto everything = tree.locate_within_distance(UnitVec{1, 0, 0}, 4.0);
    std::size_t count = 0;
    while (everything.next() != nullptr) {
        ++count;
        if (everything.stack().is_spilled()) {
            EXPECT_TRUE(std::has_single_bit(everything.stack().capacity()));
        }
    }
    EXPECT_TRUE(everything.stack().is_spilled());
    EXPECT_EQ(count, 200000U);
}

}  // namespace
}  // namespace sferix::rtree::testing
