#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "geodetic/radius.hpp"
#include "geodetic/spheroid.hpp"
#include "index/nearest_position.hpp"
#include "index/tree.hpp"
#include "indexed_testing.hpp"

namespace sferix::geodetic {
namespace {

using namespace testing;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr std::uint64_t SEED = 20261207;

bool contains(const Positions& found, std::uint64_t position) {
    return std::find(found.begin(), found.end(), position) != found.end();
}

// Check fix for: a radius equal to a distance just reported left the point out, since
// the radius became a chord through sin and the report came back through asin.
TEST(RadiusBoundary, ReportedDistanceIsInsideAndTheNextDoubleDownIsNot) {
    const PointTree tree = point_tree({{0.0, 0.0}});
    const double d = tree.nearest_neighbor_with_distance(point(0.1, 0.2))->metres;
    EXPECT_EQ(positions(tree.locate_within_distance(point(0.1, 0.2), d)), (Positions{0}));
    EXPECT_TRUE(positions(tree.locate_within_distance(point(0.1, 0.2), std::nextafter(d, 0.0))).empty());
}

// Every reported distance, used as a radius, admits its item and excludes it one
// double lower, for the three trees (reported: metres of the leaf's own chord).
TEST(RadiusBoundary, EveryTreeAgreesWithItsReportedMetres) {
    std::mt19937_64 rng(SEED);
    const std::vector<LonLat> coords = random_point_coords(rng, 400);
    const auto lines = random_linestrings(rng, 300);
    const auto polygons = random_polygons(rng, 300);
    const PointTree point_index = point_tree(coords);
    const LineStringTree line_index = shared_tree(lines);
    const PolygonTree polygon_index = shared_tree(polygons);
    std::uniform_int_distribution<std::size_t> pick(0, 299);
    int checked = 0;
    const auto check = [&](const auto& tree, const GeodeticPoint& query, std::uint64_t position, double distance_2) {
        const double d = squared_chord_to_metres(distance_2);
        EXPECT_TRUE(contains(positions(tree.locate_within_distance(query, d)), position)) << d;
        if (d > 0.0) {
            EXPECT_FALSE(contains(positions(tree.locate_within_distance(query, std::nextafter(d, 0.0))), position)) << d;
        }
        ++checked;
    };
    for (const LonLat& q : random_queries(rng, coords, 150)) {
        const GeodeticPoint query = point(q.lon, q.lat);
        const std::size_t i = pick(rng);
        check(point_index, query, i, chord_2(embed(coords[i].lon, coords[i].lat), query.vector()));
        check(line_index, query, i, lines[i]->distance_2(query.vector()));
        check(polygon_index, query, i, polygons[i]->distance_2(query.vector()));
    }
    EXPECT_EQ(checked, 450);
}

// Check fix for: the chord of an exact antipode can round above 4, the bound that was
// meant to admit the whole sphere.
TEST(RadiusBoundary, HalfCircumferenceReachesExactAntipodes) {
    EXPECT_EQ(half_circumference_metres(), 20015114.442035925);
    const PointTree single = point_tree({{-159.0, 20.0}});
    EXPECT_EQ(positions(single.locate_within_distance(point(21.0, -20.0), INF)), (Positions{0}));
    EXPECT_EQ(positions(single.locate_within_distance(point(21.0, -20.0), half_circumference_metres())), (Positions{0}));

    std::mt19937_64 rng(SEED + 1);
    std::vector<LonLat> coords;
    for (int i = 0; i < 500; ++i) {
        coords.push_back(random_position(rng));
    }
    const PointTree tree = point_tree(coords);
    for (const LonLat& c : coords) {
        const GeodeticPoint antipode = point(c.lon > 0.0 ? c.lon - 180.0 : c.lon + 180.0, -c.lat);
        EXPECT_EQ(positions(tree.locate_within_distance(antipode, half_circumference_metres())).size(), coords.size());
    }
}

// Check fix for: a WGS84 radius beyond the longest geodesic missed an exact antipode,
// whose pre-filter chord rounded above 4.
TEST(RadiusBoundary, LongestGeodesicOrMoreReachesEveryPointOnWgs84) {
    const PointTree tree = point_tree({{-159.0, 20.0}, {21.0, -20.0}, {0.0, 90.0}, {0.0, -90.0}});
    const GeodeticPoint query = point(21.0, -20.0);
    ASSERT_EQ(geodesic_distance_wgs84(0.0, 90.0, 0.0, -90.0), geodesic_distance_wgs84(0.0, -90.0, 0.0, 90.0));
    const double meridian = geodesic_distance_wgs84(0.0, 90.0, 0.0, -90.0);
    for (double radius : {meridian, 2.1e7, INF}) {
        EXPECT_EQ(sorted(positions(tree.locate_within_distance_on_ellipsoid(query, radius, WGS84_A, WGS84_F))),
                  (Positions{0, 1, 2, 3}));
    }
}

}  // namespace
}  // namespace sferix::geodetic
