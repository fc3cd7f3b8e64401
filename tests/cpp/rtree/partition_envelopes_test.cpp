#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "rtree/algorithm/bulk_load/cluster_group_iterator.hpp"
#include "rtree_testing.hpp"
#include "support/panic.hpp"

namespace sferix::rtree::testing {
namespace {

// Leaves whose key on axis 1 is keys[i]; the other axes are constant.
std::vector<PointLeaf> keyed(const std::vector<double>& keys) {
    std::vector<UnitVec> points;
    for (const double key : keys) {
        points.push_back(UnitVec{0.5, key, -0.5});
    }
    return point_leaves(points);
}

std::vector<std::size_t> positions(std::span<const PointLeaf> leaves) {
    std::vector<std::size_t> out;
    for (const PointLeaf& leaf : leaves) {
        out.push_back(leaf.data());
    }
    return out;
}

struct PartitionCase {
    const char* name;
    std::vector<double> keys;
    std::size_t k;
    std::vector<std::size_t> expected;
};

class PartitionEnvelopesSmall : public ::testing::TestWithParam<PartitionCase> {};

TEST_P(PartitionEnvelopesSmall, GivesTheFixedPermutation) {
    std::vector<PointLeaf> leaves = keyed(GetParam().keys);
    partition_envelopes(1, std::span<PointLeaf>(leaves), GetParam().k);
    EXPECT_EQ(positions(leaves), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PartitionEnvelopesSmall,
    ::testing::Values(
        // k = last: the first greatest key swaps with the last element.
        PartitionCase{"LastSwapsFirstGreatest", {3, 1, 3, 2}, 3, {3, 1, 2, 0}},
        PartitionCase{"LastSwapsEqualPair", {5, 5}, 1, {1, 0}},
        PartitionCase{"LastKeepsAlreadyGreatest", {1, 0, 2}, 2, {0, 1, 2}},
        // k = 0: the first smallest key swaps with the first element.
        PartitionCase{"FirstSwapsFirstSmallest", {3, 1, 4, 1}, 0, {1, 0, 2, 3}},
        // Otherwise up to 16 elements: a stable sort.
        PartitionCase{"SmallIsStablySorted", {2, 1, 2, 0, 1}, 2, {3, 1, 4, 0, 2}},
        PartitionCase{"SixteenIsStablySorted",
                      {3, 3, 2, 2, 1, 1, 0, 0, 3, 3, 2, 2, 1, 1, 0, 0},
                      8,
                      {6, 7, 14, 15, 4, 5, 12, 13, 2, 3, 10, 11, 0, 1, 8, 9}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(PartitionEnvelopes, LargeArraysArePartitionedAroundK) {
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<int> small_keys(0, 9);
    for (const std::size_t size : {17U, 18U, 100U, 1001U}) {
        std::vector<double> keys;
        for (std::size_t i = 0; i < size; ++i) {
            keys.push_back(small_keys(rng) * 0.1);
        }
        std::vector<double> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        for (const std::size_t k : {std::size_t{1}, size / 2, size - 2}) {
            std::vector<PointLeaf> leaves = keyed(keys);
            partition_envelopes(1, std::span<PointLeaf>(leaves), k);
            const double pivot = leaves[k].geom().v.y;
            EXPECT_EQ(pivot, sorted[k]);
            for (std::size_t i = 0; i < size; ++i) {
                if (i < k) {
                    EXPECT_LE(leaves[i].geom().v.y, pivot);
                } else {
                    EXPECT_GE(leaves[i].geom().v.y, pivot);
                }
            }
            std::vector<std::size_t> moved = positions(leaves);
            std::sort(moved.begin(), moved.end());
            for (std::size_t i = 0; i < size; ++i) {
                ASSERT_EQ(moved[i], i);
            }
        }
    }
}

TEST(PartitionEnvelopes, NaNKeyIsABrokenInvariantInEveryCase) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::size_t size;
        std::size_t k;
    };
    for (const Case c : {Case{4, 3}, Case{4, 0}, Case{10, 5}, Case{40, 20}}) {
        for (const std::size_t nan_at : {std::size_t{0}, c.size / 2, c.size - 1}) {
            std::vector<double> keys(c.size);
            for (std::size_t i = 0; i < c.size; ++i) {
                keys[i] = static_cast<double>((i * 7) % c.size);
            }
            keys[nan_at] = NaN;
            std::vector<PointLeaf> leaves = keyed(keys);
            EXPECT_THROW(partition_envelopes(1, std::span<PointLeaf>(leaves), c.k), support::Panic)
                << c.size << " " << c.k << " " << nan_at;
        }
    }
}

TEST(ClusterGroupIterator, CarvesGroupsOffTheEndLargestKeysFirst) {
    // Keys 6, 5, ..., 0 at positions 0..6 (descending input).
    std::vector<PointLeaf> leaves = keyed({6, 5, 4, 3, 2, 1, 0});
    ClusterGroupIterator<PointLeaf> groups(leaves, 3, 1);
    std::vector<std::vector<std::size_t>> handed_out;
    while (std::optional<std::span<PointLeaf>> group = groups.next()) {
        handed_out.push_back(positions(*group));
    }
    // The top 3 of 7, then the top 3 of the 4 left, then the last one.
    EXPECT_EQ(handed_out, (std::vector<std::vector<std::size_t>>{{2, 1, 0}, {5, 4, 3}, {6}}));
}

TEST(ClusterGroupIterator, HandsOutASmallRestUnchanged) {
    std::vector<PointLeaf> leaves = keyed({3, 1, 2});
    ClusterGroupIterator<PointLeaf> groups(leaves, 3, 1);
    const std::optional<std::span<PointLeaf>> group = groups.next();
    ASSERT_TRUE(group.has_value());
    EXPECT_EQ(positions(*group), (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_FALSE(groups.next().has_value());
}

}  // namespace
}  // namespace sferix::rtree::testing
