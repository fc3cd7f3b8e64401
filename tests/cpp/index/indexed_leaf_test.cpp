#include "index/indexed_leaf.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "indexed_testing.hpp"
#include "rtree/object.hpp"

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
