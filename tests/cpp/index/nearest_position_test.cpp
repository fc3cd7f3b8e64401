#include "index/nearest_position.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include "geodetic/wgs84.hpp"
#include "indexed_testing.hpp"

namespace sferix::indexed {
namespace {

using namespace testing;

struct SmallCase {
    const char* name;
    std::vector<LonLat> points;
    LonLat query;
    std::uint64_t sphere_position;
    std::uint64_t wgs84_position;
};

class NearestPositionCase : public ::testing::TestWithParam<SmallCase> {};

TEST_P(NearestPositionCase, PicksThePositionAndItsDistance) {
    const SmallCase& c = GetParam();
    const PointTree tree = point_tree(c.points);
    const auto sphere = nearest_position(tree, point(c.query.lon, c.query.lat));
    const auto wgs84 = nearest_position_wgs84(tree, point(c.query.lon, c.query.lat));
    ASSERT_TRUE(sphere.has_value());
    ASSERT_TRUE(wgs84.has_value());
    EXPECT_EQ(sphere->position, c.sphere_position);
    EXPECT_EQ(wgs84->position, c.wgs84_position);
    const LonLat& s = c.points[c.sphere_position];
    EXPECT_EQ(sphere->metres, squared_chord_to_metres(geodetic::chord_2(embed(s.lon, s.lat), embed(c.query.lon, c.query.lat))));
    const LonLat& w = c.points[c.wgs84_position];
    EXPECT_EQ(wgs84->metres, geodesic_distance_wgs84(c.query.lon, c.query.lat, w.lon, w.lat));
}

INSTANTIATE_TEST_SUITE_P(
    NearestPosition, NearestPositionCase,
    ::testing::Values(
        SmallCase{"DuplicatePointsSmallestPosition", {{0, 0}, {0, 0}}, {0, 0}, 0, 0},
        SmallCase{"LaterDuplicateNeverWins", {{1, 0}, {0, 1}, {1, 0}}, {1, 0}, 0, 0},
        SmallCase{"EqualMetresSmallestPosition", {{10, 0}, {-10, 0}}, {0, 0}, 0, 0},
        // The sphere is nearer along the equator, WGS84 along the meridian; the WGS84
        // search reaches position 0 first and must still move on to position 1.
        SmallCase{"SphereAndEllipsoidDisagree", {{0.999, 0}, {0, 1}}, {0, 0}, 0, 1},
        // Check fix for ±180 embedding to vectors differing in the last bits, which let
        // rounding pick the later twin: one place, one vector, the smaller position.
        SmallCase{"AntimeridianTwinsAreOnePlace", {{180, 0}, {-180, 0}}, {-179.5, 0}, 0, 0},
        SmallCase{"PoleTwinsAreOnePlace", {{10, 90}, {-170, 90}, {0, 89}}, {45, 90}, 0, 0},
        SmallCase{"AntimeridianTwinsTieOnTheSphere", {{-180, 0}, {180, 0}}, {0, 0}, 0, 0}),
    [](const ::testing::TestParamInfo<SmallCase>& param_info) { return std::string(param_info.param.name); });

TEST(NearestPosition, DisagreementDistancesAreTheDocumentedOnes) {
    const PointTree tree = point_tree({{0.999, 0}, {0, 1}});
    EXPECT_NEAR(nearest_position(tree, point(0, 0))->metres, 111'084.0, 5.0);
    EXPECT_NEAR(nearest_position_wgs84(tree, point(0, 0))->metres, 110'574.4, 1.0);
}

TEST(NearestPosition, EmptyTreeOrNonFiniteQueryGiveNothing) {
    const PointTree empty = point_tree({});
    EXPECT_FALSE(nearest_position(empty, point(0, 0)).has_value());
    EXPECT_FALSE(nearest_position_wgs84(empty, point(0, 0)).has_value());
    const PointTree tree = point_tree({{0, 0}});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(is_query(nan, 0));
    EXPECT_FALSE(is_query(0, -std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(nearest_position(tree, point(0, 0)).has_value());
}

// Two points whose squared chords differ but whose metres are equal: the farther one,
// at the smaller position, wins, also when a search meets the nearer one first and
// bounds the walk by it (regression: a bound without the metre tie gap dropped it).
TEST(NearestPosition, EqualMetresAtALargerChordStillTie) {
    const LonLat query{10, 20};
    const geodetic::UnitVec q = embed(query.lon, query.lat);
    std::vector<std::pair<double, LonLat>> ring;
    // Points half a degree away at many bearings: their chords differ only by rounding.
    const double lat1 = query.lat * std::numbers::pi / 180.0;
    constexpr double delta = 0.5 * std::numbers::pi / 180.0;
    for (int b = 0; b < 400; ++b) {
        const double bearing = b * std::numbers::pi / 200.0;
        const double lat2 =
            std::asin(std::sin(lat1) * std::cos(delta) + std::cos(lat1) * std::sin(delta) * std::cos(bearing));
        const double dlon = std::atan2(std::sin(bearing) * std::sin(delta) * std::cos(lat1),
                                       std::cos(delta) - std::sin(lat1) * std::sin(lat2));
        const LonLat p{query.lon + dlon * 180.0 / std::numbers::pi, lat2 * 180.0 / std::numbers::pi};
        ring.emplace_back(geodetic::chord_2(embed(p.lon, p.lat), q), p);
    }
    std::sort(ring.begin(), ring.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const auto tie = std::adjacent_find(ring.begin(), ring.end(), [](const auto& a, const auto& b) {
        return a.first < b.first && squared_chord_to_metres(a.first) == squared_chord_to_metres(b.first);
    });
    ASSERT_NE(tie, ring.end());
    const PointTree tree = point_tree({std::next(tie)->second, tie->second});
    NearestHint hint{{0, 1}};
    for (NearestHint* given : {static_cast<NearestHint*>(nullptr), &hint}) {
        const auto hit = nearest_position(tree, point(query.lon, query.lat), given);
        ASSERT_TRUE(hit.has_value());
        EXPECT_EQ(hit->position, 0U);
    }
}

TEST(NearestPosition, MatchesBruteForceWithTiesOnMetres) {
    const auto [coords, tree, queries] = random_points_case(99, 4000, 400);
    for (const LonLat& q : queries) {
        const geodetic::UnitVec p = embed(q.lon, q.lat);
        double best = std::numeric_limits<double>::infinity();
        std::uint64_t best_position = 0;
        for (std::size_t i = 0; i < coords.size(); ++i) {
            const double m = squared_chord_to_metres(geodetic::chord_2(embed(coords[i].lon, coords[i].lat), p));
            if (m < best) {
                best = m;
                best_position = i;
            }
        }
        const auto hit = nearest_position(tree, point(q.lon, q.lat));
        ASSERT_TRUE(hit.has_value());
        ASSERT_EQ(hit->metres, best) << q.lon << ", " << q.lat;
        ASSERT_EQ(hit->position, best_position) << q.lon << ", " << q.lat;
    }
}

TEST(NearestPositionWgs84, MatchesBruteForceGeodesicMinimum) {
    std::mt19937_64 rng(101);
    const std::vector<LonLat> coords = random_point_coords(rng, 3000);
    const PointTree tree = point_tree(coords);
    std::uint64_t inverses = 0;
    std::size_t ambiguous = 0;
    const std::vector<LonLat> queries = random_queries(rng, coords, 150);
    for (const LonLat& q : queries) {
        double best = std::numeric_limits<double>::infinity();
        for (const LonLat& c : coords) {
            best = std::min(best, geodesic_distance_wgs84(q.lon, q.lat, c.lon, c.lat));
        }
        // The positions at that distance. Usually they are all one place (duplicates),
        // and then the smallest wins; different places at exactly equal geodesic
        // distance (poles at several longitudes, ±180) go to the one reached first.
        std::vector<std::uint64_t> at_best;
        for (std::size_t i = 0; i < coords.size(); ++i) {
            if (geodesic_distance_wgs84(q.lon, q.lat, coords[i].lon, coords[i].lat) == best) {
                at_best.push_back(i);
            }
        }
        const auto vector_of = [&](std::uint64_t i) { return embed(coords[i].lon, coords[i].lat); };
        const bool one_place = std::all_of(at_best.begin(), at_best.end(),
                                           [&](std::uint64_t i) { return vector_of(i) == vector_of(at_best[0]); });
        GeodesicSearchStats stats;
        const auto hit = nearest_position_wgs84(tree, point(q.lon, q.lat), &stats);
        ASSERT_TRUE(hit.has_value());
        ASSERT_EQ(hit->metres, best) << q.lon << ", " << q.lat;
        ASSERT_NE(std::find(at_best.begin(), at_best.end(), hit->position), at_best.end());
        if (one_place) {
            ASSERT_EQ(hit->position, at_best[0]) << q.lon << ", " << q.lat;
        } else {
            ++ambiguous;
            for (std::uint64_t i : at_best) {
                ASSERT_FALSE(i < hit->position && vector_of(i) == vector_of(hit->position));
            }
        }
        ASSERT_GE(stats.geodesic_inverses, 1u);
        inverses += stats.geodesic_inverses;
    }
    // The stopping rule keeps the geodesic work to a handful of leaves per query.
    EXPECT_LT(inverses, 20 * queries.size());
    EXPECT_LT(ambiguous, queries.size() / 10);
}

// Many copies of few places: the walks skip subtrees that cannot hold a smaller
// position, and must still agree with brute force on the position and the metres.
TEST(NearestPosition, RepeatedPlacesMatchBruteForce) {
    std::mt19937_64 rng(7);
    std::vector<LonLat> places = random_point_coords(rng, 40);
    places.push_back({0, 90});
    places.push_back({180, 0});
    std::vector<LonLat> coords;
    for (std::size_t copy = 0; copy < 60; ++copy) {
        coords.insert(coords.end(), places.begin(), places.end());
    }
    std::shuffle(coords.begin(), coords.end(), rng);
    coords.push_back({-180, 0});
    const PointTree tree = point_tree(coords);
    for (const LonLat& q : random_queries(rng, coords, 200)) {
        const geodetic::UnitVec p = embed(q.lon, q.lat);
        double sphere_best = std::numeric_limits<double>::infinity();
        double wgs84_best = std::numeric_limits<double>::infinity();
        for (const LonLat& c : coords) {
            sphere_best = std::min(sphere_best, squared_chord_to_metres(geodetic::chord_2(embed(c.lon, c.lat), p)));
            wgs84_best = std::min(wgs84_best, geodesic_distance_wgs84(q.lon, q.lat, c.lon, c.lat));
        }
        std::uint64_t sphere_position = coords.size();
        std::uint64_t wgs84_position = coords.size();
        for (std::size_t i = 0; i < coords.size(); ++i) {
            const LonLat& c = coords[i];
            if (sphere_position == coords.size() &&
                squared_chord_to_metres(geodetic::chord_2(embed(c.lon, c.lat), p)) == sphere_best) {
                sphere_position = i;
            }
            if (wgs84_position == coords.size() && geodesic_distance_wgs84(q.lon, q.lat, c.lon, c.lat) == wgs84_best) {
                wgs84_position = i;
            }
        }
        const auto sphere = nearest_position(tree, point(q.lon, q.lat));
        const auto wgs84 = nearest_position_wgs84(tree, point(q.lon, q.lat));
        ASSERT_TRUE(sphere.has_value() && wgs84.has_value());
        EXPECT_EQ(sphere->position, sphere_position) << q.lon << ", " << q.lat;
        EXPECT_EQ(sphere->metres, sphere_best);
        // Every best place here is one vector, so the smallest position at it wins.
        EXPECT_EQ(wgs84->position, wgs84_position) << q.lon << ", " << q.lat;
        EXPECT_EQ(wgs84->metres, wgs84_best);
    }
}

TEST(NearestPositionWgs84, OnePlaceCostsOneInverseHoweverOftenItRepeats) {
    const PointTree tree = point_tree(std::vector<LonLat>(5000, LonLat{12.5, 41.9}));
    GeodesicSearchStats stats;
    const auto hit = nearest_position_wgs84(tree, point(2.35, 48.85), &stats);
    ASSERT_TRUE(hit.has_value());
    EXPECT_EQ(hit->position, 0u);
    EXPECT_EQ(stats.geodesic_inverses, 1u);
    EXPECT_EQ(nearest_position(tree, point(2.35, 48.85))->position, 0u);
}

}  // namespace
}  // namespace sferix::indexed
