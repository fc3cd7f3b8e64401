#include "index/nearest_k.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "geodetic/wgs84.hpp"
#include "index/nearest_position.hpp"
#include "index/query_order.hpp"
#include "indexed_testing.hpp"

namespace sferix::indexed {
namespace {

using namespace testing;

using Answer = std::vector<std::pair<double, std::uint64_t>>;

// Every point's metres, sorted by (metres, position), the k first within max_metres.
template <typename Measure>
Answer brute_force(std::size_t count, std::size_t k, double max_metres, Measure measure) {
    Answer all;
    for (std::size_t i = 0; i < count; ++i) {
        const double m = measure(i);
        if (m <= max_metres) {
            all.emplace_back(m, i);
        }
    }
    std::sort(all.begin(), all.end());
    all.resize(std::min(all.size(), k));
    return all;
}

Answer answer(const std::vector<PositionWithMetres>& hits) {
    Answer out;
    for (const PositionWithMetres& hit : hits) {
        out.emplace_back(hit.metres, hit.position);
    }
    return out;
}

struct KCase {
    std::size_t k;
    double max_metres;
};

class NearestKPoints : public ::testing::TestWithParam<KCase> {};

// Duplicates, grid points on the poles and ±180 and exact hits make many ties.
TEST_P(NearestKPoints, MatchesBruteForceOnTheSphereWithTiesByPosition) {
    const auto [k, max_metres] = GetParam();
    const auto [coords, tree, queries] = random_points_case(7, 2000, 200);
    std::vector<PositionWithMetres> hits;
    for (const LonLat& q : queries) {
        const geodetic::UnitVec p = embed(q.lon, q.lat);
        const Answer expected = brute_force(coords.size(), k, max_metres, [&](std::size_t i) {
            return squared_chord_to_metres(geodetic::chord_2(embed(coords[i].lon, coords[i].lat), p));
        });
        nearest_k(tree, point(q.lon, q.lat), k, max_metres, hits);
        ASSERT_EQ(answer(hits), expected) << q.lon << ", " << q.lat;
    }
}

TEST_P(NearestKPoints, MatchesBruteForceOnWgs84WithTiesByPosition) {
    const auto [k, max_metres] = GetParam();
    const auto [coords, tree, queries] = random_points_case(8, 800, 60);
    std::vector<PositionWithMetres> hits;
    for (const LonLat& q : queries) {
        const Answer expected = brute_force(coords.size(), k, max_metres, [&](std::size_t i) {
            return geodesic_distance_wgs84(q.lon, q.lat, coords[i].lon, coords[i].lat);
        });
        nearest_k_wgs84(tree, point(q.lon, q.lat), k, max_metres, hits);
        ASSERT_EQ(answer(hits), expected) << q.lon << ", " << q.lat;
    }
}

INSTANTIATE_TEST_SUITE_P(NearestK, NearestKPoints,
                         ::testing::Values(KCase{1, NO_MAX_DISTANCE}, KCase{7, NO_MAX_DISTANCE},
                                           KCase{7, 300'000.0}, KCase{3000, NO_MAX_DISTANCE}, KCase{5, 0.0}));

// Places repeated many times in shuffled positions, each with a ring of points at one
// angular distance around it (equal metres from different vectors): the k-th answer
// usually ties with many others, and whole subtrees hold only tied or only larger
// positions.
TEST(NearestK, ClusteredTiesMatchBruteForce) {
    std::mt19937_64 rng(11);
    std::vector<LonLat> places;
    for (int i = 0; i < 25; ++i) {
        places.push_back(geodetic::testing::random_position(rng));
    }
    places.push_back({0, 0});
    places.push_back({180, 0});
    places.push_back({0, 90});
    std::vector<LonLat> coords;
    for (std::size_t i = 0; i < places.size(); ++i) {
        const LonLat& place = places[i];
        // Every third place is only a ring: from its centre the nearest points tie.
        for (int copy = 0; copy < (i % 3 == 0 ? 0 : 90); ++copy) {
            coords.push_back(place);
        }
        // 48 bearings at 0.5 degrees: their squared chords differ in the last bits, and
        // many of them still round to the same metres.
        const double lat1 = place.lat * std::numbers::pi / 180.0;
        constexpr double delta = 0.5 * std::numbers::pi / 180.0;
        for (int b = 0; b < 48; ++b) {
            const double bearing = b * std::numbers::pi / 24.0;
            const double lat2 = std::asin(std::sin(lat1) * std::cos(delta) +
                                          std::cos(lat1) * std::sin(delta) * std::cos(bearing));
            const double dlon = std::atan2(std::sin(bearing) * std::sin(delta) * std::cos(lat1),
                                           std::cos(delta) - std::sin(lat1) * std::sin(lat2));
            const LonLat ring_point{std::remainder(place.lon + dlon * 180.0 / std::numbers::pi, 360.0),
                                    lat2 * 180.0 / std::numbers::pi};
            coords.push_back(ring_point);
            coords.push_back(ring_point);
        }
    }
    std::shuffle(coords.begin(), coords.end(), rng);
    const PointTree tree = point_tree(coords);
    std::vector<PositionWithMetres> hits;
    for (const std::size_t k : {1U, 2U, 10U, 95U, 200U}) {
        std::vector<LonLat> queries = random_queries(rng, places, 60);
        queries.insert(queries.end(), places.begin(), places.end());
        for (const LonLat& q : queries) {
            const geodetic::UnitVec p = embed(q.lon, q.lat);
            const Answer expected = brute_force(coords.size(), k, NO_MAX_DISTANCE, [&](std::size_t i) {
                return squared_chord_to_metres(geodetic::chord_2(embed(coords[i].lon, coords[i].lat), p));
            });
            nearest_k(tree, point(q.lon, q.lat), k, NO_MAX_DISTANCE, hits);
            ASSERT_EQ(answer(hits), expected) << k << ": " << q.lon << ", " << q.lat;
        }
    }
    // On WGS84 the rings no longer tie, but the copies still do, at the k-th too.
    std::vector<LonLat> queries = random_queries(rng, places, 30);
    queries.insert(queries.end(), places.begin(), places.end());
    for (const LonLat& q : queries) {
        std::vector<double> metres;
        for (const LonLat& c : coords) {
            metres.push_back(geodesic_distance_wgs84(q.lon, q.lat, c.lon, c.lat));
        }
        for (const std::size_t k : {1U, 10U, 95U}) {
            const Answer expected =
                brute_force(coords.size(), k, NO_MAX_DISTANCE, [&](std::size_t i) { return metres[i]; });
            nearest_k_wgs84(tree, point(q.lon, q.lat), k, NO_MAX_DISTANCE, hits);
            ASSERT_EQ(answer(hits), expected) << k << ": " << q.lon << ", " << q.lat;
        }
    }
}

// A hint only bounds the walk (on the sphere and on WGS84): from the previous query, from a query far away, from
// another tree (whose leaf indices may be out of range or other points), or after a
// search that found fewer than k, the answers are those of the unhinted search.
TEST(NearestK, HintedSearchesGiveTheUnhintedAnswers) {
    std::mt19937_64 rng(12);
    const std::vector<LonLat> coords = random_point_coords(rng, 2500);
    const PointTree tree = point_tree(coords);
    const PointTree other = point_tree(random_point_coords(rng, 3000));
    std::vector<PositionWithMetres> hits;
    std::vector<PositionWithMetres> hinted;
    for (const auto& [k, max_metres] : {std::pair<std::size_t, double>{1, NO_MAX_DISTANCE}, {7, NO_MAX_DISTANCE},
                                        {7, 400'000.0}, {40, 0.0}}) {
        std::vector<geodetic::GeodeticPoint> queries;
        for (const LonLat& q : random_queries(rng, coords, 300)) {
            queries.push_back(point(q.lon, q.lat));
        }
        NearestHint hint;
        NearestHint wgs84_hint;
        std::size_t i = 0;
        for (const std::size_t row : locality_order(queries)) {
            if (++i % 50 == 0) {
                nearest_k(other, queries[row], k, max_metres, hinted, &hint);
                nearest_k_wgs84(other, queries[row], k, max_metres, hinted, &wgs84_hint);
            }
            nearest_k(tree, queries[row], k, max_metres, hits);
            nearest_k(tree, queries[row], k, max_metres, hinted, &hint);
            ASSERT_EQ(answer(hinted), answer(hits)) << k << ": " << queries[row].lon() << ", " << queries[row].lat();
            nearest_k_wgs84(tree, queries[row], k, max_metres, hits);
            nearest_k_wgs84(tree, queries[row], k, max_metres, hinted, &wgs84_hint);
            ASSERT_EQ(answer(hinted), answer(hits)) << k << ": " << queries[row].lon() << ", " << queries[row].lat();
        }
    }
}

TEST(NearestK, AgreesWithNearestPositionForKOne) {
    const auto [coords, tree, queries] = random_points_case(9, 1500, 200);
    std::vector<PositionWithMetres> hits;
    for (const LonLat& q : queries) {
        const auto one = nearest_position(tree, point(q.lon, q.lat));
        nearest_k(tree, point(q.lon, q.lat), 1, NO_MAX_DISTANCE, hits);
        ASSERT_EQ(hits.size(), 1U);
        ASSERT_EQ(hits[0].position, one->position);
        ASSERT_EQ(hits[0].metres, one->metres);
    }
}

TEST(NearestK, NothingForKZeroNegativeOrNaNLimitOrEmptyTree) {
    const PointTree tree = point_tree({{0, 0}, {1, 1}});
    const PointTree empty = point_tree({});
    std::vector<PositionWithMetres> hits{{5, 1.0}};
    for (const double max_metres : {-1.0, std::numeric_limits<double>::quiet_NaN()}) {
        nearest_k(tree, point(0, 0), 3, max_metres, hits);
        EXPECT_TRUE(hits.empty());
        nearest_k_wgs84(tree, point(0, 0), 3, max_metres, hits);
        EXPECT_TRUE(hits.empty());
    }
    nearest_k(tree, point(0, 0), 0, NO_MAX_DISTANCE, hits);
    EXPECT_TRUE(hits.empty());
    nearest_k(empty, point(0, 0), 3, NO_MAX_DISTANCE, hits);
    EXPECT_TRUE(hits.empty());
    nearest_k_wgs84(empty, point(0, 0), 3, NO_MAX_DISTANCE, hits);
    EXPECT_TRUE(hits.empty());
}

// Overlapping polygons all at 0 from a query inside them: the smallest positions win,
// whatever order the walk meets them in.
TEST(NearestK, PolygonsContainingTheQueryComeFirstBySmallerPosition) {
    std::vector<std::shared_ptr<const geodetic::GeodeticPolygon>> polygons;
    for (int i = 0; i < 40; ++i) {
        polygons.push_back(geodetic::testing::polygon(
            geodetic::testing::ring_around({179.5, 0.0}, 1.0 + 0.01 * (40 - i), 5)));
    }
    const auto tree = geodetic::testing::shared_tree(polygons);
    std::vector<PositionWithMetres> hits;
    nearest_k(tree, point(-180, 0), 3, NO_MAX_DISTANCE, hits);
    ASSERT_EQ(answer(hits), (Answer{{0.0, 0}, {0.0, 1}, {0.0, 2}}));
}

}  // namespace
}  // namespace sferix::indexed
