#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "geodetic/radius.hpp"
#include "geodetic/wgs84.hpp"
#include "index/tree.hpp"
#include "index/nearest_position.hpp"
#include "indexed_testing.hpp"

namespace sferix::geodetic {
namespace {

using namespace testing;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr std::uint64_t SEED = 20240605;
// Radii from exact hits to a quarter of the globe.
const std::vector<double> RADII = {0.0, 1'000.0, 50'000.0, 120'000.0, 500'000.0, 2'500'000.0, 10'000'000.0};

struct RadiusCase {
    double radius;
    Positions expected;  // sorted
};

// Points at (0, 0), 1° east, (0, 0) again and 179° east; query (0, 0).
class SphereRadius : public ::testing::TestWithParam<RadiusCase> {};

TEST_P(SphereRadius, SelectsByInclusiveChordBound) {
    const PointTree tree = point_tree({{0, 0}, {1, 0}, {0, 0}, {179, 0}});
    EXPECT_EQ(sorted(positions(tree.locate_within_distance(point(0, 0), GetParam().radius))), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(LocateWithinDistance, SphereRadius,
                         ::testing::Values(RadiusCase{0.0, {0, 2}}, RadiusCase{-1.0, {}}, RadiusCase{NaN, {}},
                                           RadiusCase{111'000.0, {0, 2}}, RadiusCase{112'000.0, {0, 1, 2}},
                                           RadiusCase{1e30, {0, 1, 2, 3}}, RadiusCase{INF, {0, 1, 2, 3}}));

TEST(LocateWithinDistance, NonFiniteQueryOrEmptyTreeGiveNothing) {
    const PointTree tree = point_tree({{0, 0}, {1, 0}});
    // A non-finite position never becomes a query, so no tree sees it.
    EXPECT_FALSE(is_query(NaN, 0));
    EXPECT_FALSE(is_query(0, -INF));
    EXPECT_FALSE(is_query(INF, 0));
    EXPECT_EQ(positions(tree.locate_within_distance(point(0, 0), INF)).size(), 2u);

    const PointTree empty = point_tree({});
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_TRUE(positions(empty.locate_within_distance(point(0, 0), INF)).empty());
    EXPECT_TRUE(positions(empty.locate_within_distance_wgs84(point(0, 0), INF)).empty());
    EXPECT_TRUE(positions(shared_tree<GeodeticPolygon>({}).locate_within_distance(point(0, 0), INF)).empty());
}

TEST(LocateWithinDistance, ReportsInReverseStorageOrderUnsorted) {
    // A tree of at most six objects stores them in input order.
    const PointTree tree = point_tree({{0, 0}, {0.5, 0}, {0, 0.25}});
    EXPECT_EQ(positions(tree.locate_within_distance(point(0, 0), 100'000.0)), (Positions{2, 1, 0}));
    EXPECT_EQ(positions(tree.locate_within_distance_wgs84(point(0, 0), 100'000.0)),
              (Positions{2, 1, 0}));
}

TEST(LocateWithinDistance, PolygonsContainingTheQueryAreAtZero) {
    const PolygonTree tree = shared_tree<GeodeticPolygon>({
        polygon({{-10, -10}, {10, -10}, {10, 10}, {-10, 10}, {-10, -10}}),
        polygon({{-5, -5}, {20, -5}, {20, 20}, {-5, 20}, {-5, -5}}),
        polygon({{-10, -10}, {10, -10}, {10, 10}, {-10, 10}, {-10, -10}}, {{{-2, -2}, {2, -2}, {2, 2}, {-2, 2}, {-2, -2}}}),
    });
    Measured at_zero;
    for (const auto& [leaf, distance_2] : tree.locate_within_distance(point(0, 0), 0.0)) {
        at_zero.emplace_back(leaf->data(), distance_2);
    }
    EXPECT_EQ(at_zero, (Measured{{1, 0.0}, {0, 0.0}}));  // the holed one does not contain (0, 0)

    // Two degrees reach the hole's boundary, measured from inside the hole.
    const double hole_2 = tree.rtree().view().leaves[2].distance_2(embed(0, 0));
    EXPECT_GT(hole_2, 0.0);
    EXPECT_EQ(sorted(positions(tree.locate_within_distance(point(0, 0), squared_chord_to_metres(hole_2) + 1.0))),
              (Positions{0, 1, 2}));
}

// Also in the order of the plain depth-first walk, which tests every node and leaf it
// meets: the point tree's walk tests only the leaves its node pass marks and stacks
// only the nodes that pass.
TEST(LocateWithinDistance, MatchesBruteForceForPoints) {
    const auto [coords, tree, queries] = random_points_case(SEED, 3000, 60);
    for (const LonLat& q : queries) {
        const UnitVec p = embed(q.lon, q.lat);
        for (double radius : RADII) {
            Measured found;
            for (const auto& [leaf, distance_2] : tree.locate_within_distance(point(q.lon, q.lat), radius)) {
                found.emplace_back(leaf->data(), distance_2);
            }
            const Measured expected =
                brute_within(coords.size(), [&](std::size_t i) { return chord_2(embed(coords[i].lon, coords[i].lat), p); }, radius);
            ASSERT_EQ(sorted(found), expected) << q.lon << ", " << q.lat << " radius " << radius;
            const geodetic::SphereRadius sphere(radius);
            Measured plain;
            for (const PointLeaf& leaf : tree.rtree().locate_within_distance(p, sphere.outer_2())) {
                if (sphere.admits(leaf.distance_2(p))) {
                    plain.emplace_back(leaf.data(), leaf.distance_2(p));
                }
            }
            ASSERT_EQ(found, plain) << q.lon << ", " << q.lat << " radius " << radius;
        }
    }
}

TEST(LocateWithinDistance, MatchesBruteForceForLineStringsAndPolygons) {
    std::mt19937_64 rng(SEED + 1);
    const auto lines = random_linestrings(rng, 2000);
    const auto polygons = random_polygons(rng, 1500);
    const LineStringTree line_tree = shared_tree(lines);
    const PolygonTree polygon_tree = shared_tree(polygons);
    std::vector<LonLat> vertices;
    for (const auto& line : lines) {
        vertices.push_back({line->coords()[0].lon(), line->coords()[0].lat()});
    }
    for (const LonLat& q : random_queries(rng, vertices, 60)) {
        const UnitVec p = embed(q.lon, q.lat);
        for (double radius : RADII) {
            // Each tree against the distances of its own geometries.
            const auto expect_brute_force = [&](const auto& tree, const auto& items) {
                Measured found;
                for (const auto& [leaf, distance_2] : tree.locate_within_distance(point(q.lon, q.lat), radius)) {
                    found.emplace_back(leaf->data(), distance_2);
                }
                EXPECT_EQ(sorted(found),
                          brute_within(items.size(), [&](std::size_t i) { return items[i]->distance_2(p); }, radius))
                    << q.lon << ", " << q.lat << " radius " << radius;
            };
            expect_brute_force(line_tree, lines);
            expect_brute_force(polygon_tree, polygons);
        }
    }
}

TEST(LocateWithinDistanceWgs84, PreFilterBoundIsTheWgs84Constant) {
    EXPECT_EQ(WGS84_SPHERE_LOWER_BOUND, 0.9888339590090727);
    EXPECT_EQ(WGS84_SPHERE_UPPER_BOUND, 1.0111660409909273);
    EXPECT_EQ(wgs84_prefilter_radius_metres(0.0), WGS84_SLACK_METRES);
    EXPECT_EQ(wgs84_prefilter_radius_metres(1000.0), 1000.0 / 0.9888339590090727 + 0.001);
}

TEST(LocateWithinDistanceWgs84, KeepsGeodesicallyNearPointsTheSphereMisses) {
    // One degree of meridian at the equator: ~110574 m geodesic, ~111195 m on the sphere.
    const PointTree tree = point_tree({{0, 1}, {0, 0}, {0, 0}});
    const double meridian = geodesic_distance_wgs84(0, 0, 0, 1);
    ASSERT_LT(meridian, 110'600.0);
    EXPECT_EQ(sorted(positions(tree.locate_within_distance(point(0, 0), 110'600.0))), (Positions{1, 2}));
    EXPECT_EQ(sorted(positions(tree.locate_within_distance_wgs84(point(0, 0), 110'600.0))),
              (Positions{0, 1, 2}));

    // The radius is inclusive, and checked against the uninflated value.
    EXPECT_EQ(sorted(positions(tree.locate_within_distance_wgs84(point(0, 0), meridian))),
              (Positions{0, 1, 2}));
    EXPECT_EQ(sorted(positions(tree.locate_within_distance_wgs84(point(0, 0), std::nextafter(meridian, 0.0)))),
              (Positions{1, 2}));

    // Radius 0 keeps exactly the points at geodesic distance 0, with distance 0.
    Measured at_zero;
    for (const auto& [leaf, metres] : tree.locate_within_distance_wgs84(point(0, 0), 0.0)) {
        at_zero.emplace_back(leaf->data(), metres);
    }
    EXPECT_EQ(at_zero, (Measured{{2, 0.0}, {1, 0.0}}));
}

TEST(LocateWithinDistanceWgs84, RejectedRadiusGivesNothing) {
    const PointTree tree = point_tree({{0, 0}, {1, 1}});
    EXPECT_TRUE(positions(tree.locate_within_distance_wgs84(point(0, 0), -1.0)).empty());
    EXPECT_TRUE(positions(tree.locate_within_distance_wgs84(point(0, 0), NaN)).empty());
    EXPECT_EQ(sorted(positions(tree.locate_within_distance_wgs84(point(0, 0), INF))), (Positions{0, 1}));
}

TEST(LocateWithinDistanceWgs84, MatchesBruteForceGeodesicScan) {
    const auto [coords, tree, queries] = random_points_case(SEED + 2, 2500, 30);
    for (const LonLat& q : queries) {
        std::vector<double> geodesic;
        for (const LonLat& c : coords) {
            geodesic.push_back(geodesic_distance_wgs84(q.lon, q.lat, c.lon, c.lat));
        }
        for (double radius : RADII) {
            Measured found;
            for (const auto& [leaf, metres] : tree.locate_within_distance_wgs84(point(q.lon, q.lat), radius)) {
                found.emplace_back(leaf->data(), metres);
            }
            Measured expected;
            for (std::size_t i = 0; i < coords.size(); ++i) {
                if (geodesic[i] <= radius) {
                    expected.emplace_back(i, geodesic[i]);
                }
            }
            ASSERT_EQ(sorted(found), expected) << q.lon << ", " << q.lat << " radius " << radius;
            Positions expected_positions;
            for (const auto& [position, metres] : expected) {
                expected_positions.push_back(position);
            }
            ASSERT_EQ(sorted(positions(tree.locate_within_distance_wgs84_unmeasured(point(q.lon, q.lat), radius))),
                      expected_positions)
                << q.lon << ", " << q.lat << " radius " << radius;
        }
    }
}

}  // namespace
}  // namespace sferix::geodetic
