#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/linestring.hpp"
#include "geodetic/point.hpp"
#include "rtree/object.hpp"
#include "support/panic.hpp"

namespace sferix::geodetic {
namespace {

static_assert(rtree::PointDistance<GeodeticPoint>);
static_assert(rtree::RTreeObject<GeodeticLineString>);

UnitVec random_unit(std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    const UnitVec v{normal(rng), normal(rng), normal(rng)};
    return v / norm(v);
}

TEST(GeodeticPoint, KeepsCoordAndEmbedding) {
    const auto point = GeodeticPoint::try_new(-180, -0.0);
    ASSERT_TRUE(point.has_value());
    EXPECT_EQ(point.value().lon(), -180);
    EXPECT_TRUE(std::signbit(point.value().lat()));
    EXPECT_EQ(point.value().vector(), embed(-180, -0.0));
    EXPECT_EQ(GeodeticPoint::try_new(0, 100).error().message(), "latitude 100 outside [-90.0, 90.0]");
}

TEST(GeodeticPoint, DistanceIsBitEqualToItsBoxDistance) {
    std::mt19937_64 rng(3);
    const GeodeticPoint point = GeodeticPoint::try_new(23.5, -61.25).value();
    for (int i = 0; i < 1000; ++i) {
        const UnitVec p = random_unit(rng);
        EXPECT_EQ(point.distance_2(p), point.envelope().distance_2(p));
    }
    EXPECT_TRUE(point.contains_point(point.vector()));
    EXPECT_FALSE(point.contains_point(embed(23.5, -61.0)));
}

TEST(GeodeticPoint, DistanceIfLessOrEqualBoundIsInclusive) {
    const GeodeticPoint point = GeodeticPoint::try_new(10, 20).value();
    const UnitVec p = embed(11, 21);
    const double d = point.distance_2(p);
    EXPECT_EQ(point.distance_2_if_less_or_equal(p, d), d);
    EXPECT_EQ(point.distance_2_if_less_or_equal(p, 4.0), d);
    EXPECT_EQ(point.distance_2_if_less_or_equal(p, std::nextafter(d, 0.0)), std::nullopt);
    EXPECT_EQ(point.distance_2_if_less_or_equal(point.vector(), -1e-300), std::nullopt);
    EXPECT_EQ(point.distance_2_if_less_or_equal(p, std::numeric_limits<double>::quiet_NaN()), std::nullopt);
    EXPECT_EQ(point.distance_2_if_less_or_equal(point.vector(), 0.0), 0.0);
}

struct RejectCase {
    std::vector<LonLat> pairs;
    std::string message;
};

class GeodeticLineStringRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(GeodeticLineStringRejects, FirstFailureInValidationOrder) {
    const auto line = GeodeticLineString::try_from_lonlat(GetParam().pairs);
    ASSERT_FALSE(line.has_value());
    EXPECT_EQ(line.error().message(), GetParam().message);
}

const std::string EDGE_0 = "edge 0 spans about 179.9616 degrees or more; its shorter great-circle arc is undefined (densify it first)";
const std::string EDGE_1 = "edge 1 spans about 179.9616 degrees or more; its shorter great-circle arc is undefined (densify it first)";

INSTANTIATE_TEST_SUITE_P(
    Cases, GeodeticLineStringRejects,
    ::testing::Values(
        RejectCase{{}, "too few points: found 0, need at least 2"},
        RejectCase{{{1, 2}}, "too few points: found 1, need at least 2"},
        // Coordinates before the vertex count, before the edges.
        RejectCase{{{200, 0}}, "longitude 200 outside [-180.0, 180.0]"},
        RejectCase{{{0, 0}, {180, 0}, {0, 95}}, "latitude 95 outside [-90.0, 90.0]"},
        RejectCase{{{0, 0}, {180, 0}, {std::nan(""), 0}}, "longitude or latitude was NaN or infinite"},
        RejectCase{{{0, 0}, {180, 0}}, EDGE_0},
        RejectCase{{{0, 0}, {10, 0}, {-170, 0}}, EDGE_1},
        RejectCase{{{0, 0}, {10, 0}, {-170, 0}, {10, 0}}, EDGE_1},
        RejectCase{{{0, 90}, {0, -90}}, EDGE_0},
        RejectCase{{{0, 0}, {179.99, 0}}, EDGE_0}));

TEST(GeodeticLineString, RepeatedVertexIsAPoint) {
    const auto line = GeodeticLineString::try_from_lonlat({{0, 0}, {0, 0}});
    ASSERT_TRUE(line.has_value());
    const Envelope& box = line.value().envelope();
    EXPECT_EQ(box.lower(), (UnitVec{1 - BOX_MARGIN, -BOX_MARGIN, -BOX_MARGIN}));
    EXPECT_EQ(box.upper(), (UnitVec{1 + BOX_MARGIN, BOX_MARGIN, BOX_MARGIN}));
    const UnitVec p = embed(33, -12);
    EXPECT_EQ(line.value().distance_2(p), chord_2(p, UnitVec{1, 0, 0}));
}

TEST(GeodeticLineString, KeepsInputAndBoxesItsArcs) {
    const auto line = GeodeticLineString::try_from_lonlat({{-60, 0}, {60, 0}, {60, 0}, {179.9, 0}});
    ASSERT_TRUE(line.has_value());
    ASSERT_EQ(line.value().coords().size(), 4u);
    EXPECT_EQ(line.value().coords()[3].lon(), 179.9);
    EXPECT_EQ(line.value().vectors()[1], embed(60, 0));
    const Envelope& box = line.value().envelope();
    EXPECT_NEAR(box.upper().x, 1 + BOX_MARGIN, 1e-15);  // neither vertex has x = 1
    EXPECT_NEAR(box.upper().y, 1 + BOX_MARGIN, 1e-15);  // the last arc passes lon 90
    EXPECT_EQ(box.lower().x, embed(179.9, 0).x - BOX_MARGIN);
}

TEST(GeodeticLineString, DistanceIsZeroOnTheLineAndTheMinimumOverEdges) {
    const auto line = GeodeticLineString::try_from_lonlat({{0, 0}, {10, 0}, {10, 10}, {-20, 30}}).value();
    EXPECT_EQ(line.distance_2(embed(10, 10)), 0.0);
    EXPECT_LT(line.distance_2(embed(10, 5)), 1e-30);
    std::mt19937_64 rng(11);
    for (int i = 0; i < 500; ++i) {
        const UnitVec p = random_unit(rng);
        const double d = line.distance_2(p);
        double expected = std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k + 1 < line.vectors().size(); ++k) {
            expected = std::min(expected, arc_distance_2(line.vectors()[k], line.vectors()[k + 1], p));
        }
        EXPECT_EQ(d, expected);
        EXPECT_GE(d, line.envelope().distance_2(p));  // the nearest search's lower bound
    }
}

TEST(ArcAwareBoundingBox, NeedsAnEdge) {
    const std::vector<UnitVec> one{embed(0, 0)};
    try {
        (void)arc_aware_bounding_box(one);
        FAIL() << "expected a panic";
    } catch (const support::Panic& panic) {
        EXPECT_EQ(panic.message(), "a linestring has at least one edge");
    }
}

}  // namespace
}  // namespace sferix::geodetic
