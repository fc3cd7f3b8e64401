#include "index/indexed_leaf.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "indexed_testing.hpp"
#include "rtree/object.hpp"
#include "rtree/params.hpp"

namespace sferix::geodetic {
namespace {

using namespace testing;

static_assert(rtree::PointDistance<LineStringLeaf>);
static_assert(rtree::PointDistance<PolygonLeaf>);
static_assert(GeodeticLeaf<PointLeaf> && GeodeticLeaf<LineStringLeaf> && GeodeticLeaf<PolygonLeaf>);

TEST(IndexedLeaf, HoldsOneReferenceToTheSharedGeometry) {
    const auto line = linestring({{0, 0}, {10, 0}});
    {
        const LineStringLeaf leaf(line, 42);
        EXPECT_EQ(leaf.data(), 42u);
        EXPECT_EQ(&leaf.geom(), line.get());
        EXPECT_EQ(leaf.shared(), line);
        EXPECT_EQ(line.use_count(), 2);
    }
    EXPECT_EQ(line.use_count(), 1);
}

TEST(IndexedLeaf, PolygonLeafContainsByDistanceZero) {
    const PolygonLeaf leaf(polygon({{-10, -10}, {10, -10}, {10, 10}, {-10, 10}, {-10, -10}},
                                   {{{-2, -2}, {2, -2}, {2, 2}, {-2, 2}, {-2, -2}}}),
                           0);
    EXPECT_TRUE(leaf.contains_point(embed(5, 5)));
    EXPECT_FALSE(leaf.contains_point(embed(0, 0)));  // in the hole
    EXPECT_FALSE(leaf.contains_point(embed(30, 0)));
}

TEST(IndexedLeaf, WithinBoundIsInclusiveAndRejectsNegativeOrNaN) {
    const LineStringLeaf leaf(linestring({{0, 0}, {10, 0}}), 0);
    const UnitVec p = embed(5, 3);
    const double d = leaf.distance_2(p);
    ASSERT_GT(d, 0.0);
    EXPECT_EQ(leaf.distance_2_if_less_or_equal(p, d), std::optional<double>(d));
    EXPECT_EQ(leaf.distance_2_if_less_or_equal(p, std::nextafter(d, 0.0)), std::nullopt);
    EXPECT_EQ(leaf.distance_2_if_less_or_equal(embed(0, 0), -1.0), std::nullopt);
    EXPECT_EQ(leaf.distance_2_if_less_or_equal(p, std::numeric_limits<double>::quiet_NaN()), std::nullopt);
    // Far outside the box: rejected before the exact distance.
    EXPECT_EQ(leaf.distance_2_if_less_or_equal(embed(100, 0), 0.5), std::nullopt);
}

// The walks take a leaf-level node's squared chords from distances_2 rather than from
// distance_2 one leaf at a time: every node size up to a full one (odd ones end on a
// single leaf), with the bound at one leaf's own chord (inclusive).
TEST(IndexedLeaf, PointDistancesOfANodeAreEachLeafsAndMarkTheBound) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    std::uniform_real_distribution<double> lat(-90.0, 90.0);
    const UnitVec q = embed(12.5, 41.9);
    for (std::size_t count = 0; count <= rtree::LEAF_NODE_CAPACITY; ++count) {
        std::vector<PointLeaf> leaves;
        for (std::size_t i = 0; i < count; ++i) {
            leaves.emplace_back(embed(lon(random), lat(random)), static_cast<std::uint32_t>(i));
        }
        const double bound = count == 0 ? 1.0 : leaves[count / 2].distance_2(q);
        std::vector<double> measured(count);
        std::uint32_t within = 0;
        const double least = PointLeaf::distances_2(leaves, q, bound, measured.data(), within);
        double expected_least = std::numeric_limits<double>::infinity();
        std::uint32_t expected_within = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const double d = leaves[i].distance_2(q);
            EXPECT_EQ(measured[i], d) << count << " leaves, leaf " << i;
            expected_least = std::min(expected_least, d);
            expected_within |= std::uint32_t{d <= bound} << i;
        }
        EXPECT_EQ(least, expected_least) << count << " leaves";
        EXPECT_EQ(within, expected_within) << count << " leaves";
    }
}

// The leaf rejects by a float copy of the envelope first; rounded the wrong way it
// would cut off the extremes of a geometry, whose vertices lie within the box's
// margin of its faces.
TEST(IndexedLeaf, OuterBoxKeepsEveryVertexOfTinyGeometries) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> lon(-179.0, 179.0);
    std::uniform_real_distribution<double> lat(-89.0, 89.0);
    for (int i = 0; i < 200; ++i) {
        const double x = lon(rng);
        const double y = lat(rng);
        const std::vector<LonLat> ring = {{x, y}, {x + 1e-6, y}, {x, y + 1e-6}, {x, y}};
        const PolygonLeaf polygon_leaf(polygon(ring), 0);
        const LineStringLeaf line_leaf(linestring({ring[0], ring[1], ring[2]}), 0);
        for (const LonLat& v : ring) {
            EXPECT_EQ(polygon_leaf.distance_2_if_less_or_equal(embed(v.lon, v.lat), 0.0), std::optional(0.0));
            EXPECT_EQ(line_leaf.distance_2_if_less_or_equal(embed(v.lon, v.lat), 0.0), std::optional(0.0));
        }
    }
}

}  // namespace
}  // namespace sferix::geodetic
