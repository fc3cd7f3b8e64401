#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "index/tree.hpp"
#include "indexed_testing.hpp"

namespace sferix::geodetic {
namespace {

using namespace testing;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

const std::vector<LonLat> SQUARE = {{-10, -10}, {10, -10}, {10, 10}, {-10, 10}, {-10, -10}};
const std::vector<LonLat> HOLE = {{-2, -2}, {2, -2}, {2, 2}, {-2, 2}, {-2, -2}};

TEST(NearestNeighborWithDistance, OverlappingPolygonsTieAtZeroSmallerPositionFirst) {
    // At most six objects enter the heap in one run in input order, and an equal later
    // entry never rises above an earlier one.
    const PolygonTree tree = shared_tree<GeodeticPolygon>({
        polygon({{-20, -20}, {-15, -20}, {-15, -15}, {-20, -20}}),
        polygon(SQUARE),
        polygon({{-5, -5}, {20, -5}, {20, 20}, {-5, 20}, {-5, -5}}),
    });
    const auto hit = tree.nearest_neighbor_with_distance(point(1, 1));
    ASSERT_TRUE(hit.has_value());
    EXPECT_EQ(hit->leaf->data(), 1u);
    EXPECT_EQ(hit->metres, 0.0);
}

TEST(NearestNeighborWithDistance, PointInAHoleMeasuresToTheHoleBoundary) {
    const PolygonTree tree = shared_tree<GeodeticPolygon>({polygon(SQUARE, {HOLE})});
    const auto hit = tree.nearest_neighbor_with_distance(point(0.5, 0));
    ASSERT_TRUE(hit.has_value());
    EXPECT_EQ(hit->metres, squared_chord_to_metres(tree.rtree().view().leaves[0].distance_2(embed(0.5, 0))));
    // 1.5° to the hole's east edge on the equator.
    EXPECT_NEAR(hit->metres, 1.5 * RADIANS_PER_DEGREE * EARTH_RADIUS_METRES, 1.0);
}

TEST(NearestNeighborWithDistance, EmptyTreeOrNonFiniteQueryGiveNothing) {
    EXPECT_FALSE(shared_tree<GeodeticPolygon>({}).nearest_neighbor_with_distance(point(0, 0)).has_value());
    EXPECT_FALSE(shared_tree<GeodeticLineString>({}).nearest_neighbor_with_distance(point(0, 0)).has_value());
    const LineStringTree lines = shared_tree<GeodeticLineString>({linestring({{0, 0}, {1, 1}})});
    EXPECT_FALSE(is_query(NaN, 0));
    EXPECT_FALSE(is_query(0, std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(lines.nearest_neighbor_with_distance(point(180, -90)).has_value());
}

template <typename G>
void expect_nearest_matches_brute_force(const std::vector<std::shared_ptr<const G>>& geometries,
                                        const std::vector<LonLat>& queries) {
    const auto tree = shared_tree(geometries);
    for (const LonLat& q : queries) {
        const UnitVec p = embed(q.lon, q.lat);
        double best_2 = std::numeric_limits<double>::infinity();
        for (const auto& geometry : geometries) {
            best_2 = std::min(best_2, geometry->distance_2(p));
        }
        const auto hit = tree.nearest_neighbor_with_distance(point(q.lon, q.lat));
        ASSERT_TRUE(hit.has_value());
        ASSERT_EQ(hit->leaf->distance_2(p), best_2) << q.lon << ", " << q.lat;
        ASSERT_EQ(hit->metres, squared_chord_to_metres(best_2)) << q.lon << ", " << q.lat;
    }
}

TEST(NearestNeighborWithDistance, MatchesBruteForce) {
    std::mt19937_64 rng(31);
    const auto lines = random_linestrings(rng, 3000);
    const auto polygons = random_polygons(rng, 2000);
    std::vector<LonLat> vertices;
    for (const auto& line : lines) {
        vertices.push_back({line->coords()[1].lon(), line->coords()[1].lat()});
    }
    const std::vector<LonLat> queries = random_queries(rng, vertices, 300);
    expect_nearest_matches_brute_force(lines, queries);
    expect_nearest_matches_brute_force(polygons, queries);
}

TEST(NearestNeighborIterWithDistance, ReportsEveryPointNearestFirstInMetres) {
    const auto [coords, tree, queries] = random_points_case(5, 2000, 20);
    for (const LonLat& q : queries) {
        const UnitVec p = embed(q.lon, q.lat);
        std::vector<bool> seen(coords.size(), false);
        double previous = 0.0;
        std::size_t count = 0;
        for (const auto& [leaf, metres] : tree.nearest_neighbor_iter_with_distance(point(q.lon, q.lat))) {
            ASSERT_FALSE(seen[leaf->data()]);
            seen[leaf->data()] = true;
            ASSERT_EQ(metres, squared_chord_to_metres(leaf->distance_2(p)));
            ASSERT_GE(metres, previous);
            previous = metres;
            ++count;
        }
        EXPECT_EQ(count, coords.size());
    }
    EXPECT_FALSE(is_query(0, NaN));
    EXPECT_FALSE(point_tree({}).nearest_neighbor_iter_with_distance(point(0, 0)).next().has_value());
}

}  // namespace
}  // namespace sferix::geodetic
