#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "geodetic/radius.hpp"
#include "geodetic/wgs84.hpp"
#include "index/tree.hpp"
#include "indexed_testing.hpp"

namespace sferix::geodetic {
namespace {

using namespace testing;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr std::uint64_t SEED = 20261207;

// Check fix for: a radius equal to a distance just reported left the point out, since
// the radius became a chord through sin and the report came back through asin.
TEST(RadiusBoundary, ReportedDistanceIsInsideAndTheNextDoubleDownIsNot) {
    const PointTree tree = point_tree({{0.0, 0.0}});
    const double d = tree.nearest_neighbor_with_distance(point(0.1, 0.2))->metres;
    EXPECT_EQ(positions(tree.locate_within_distance(point(0.1, 0.2), d)), (Positions{0}));
    EXPECT_TRUE(positions(tree.locate_within_distance(point(0.1, 0.2), std::nextafter(d, 0.0))).empty());
}

// The chord shortcuts agree with comparing metres, on chords a few ulps around each
// radius's own chord and at the extremes, for radii from nanometres to the antipode.
TEST(RadiusBoundary, ChordShortcutsAgreeWithMetres) {
    std::mt19937_64 rng(SEED + 4);
    std::uniform_real_distribution<double> exponent(-9.0, std::log10(half_circumference_metres()));
    std::uniform_real_distribution<double> near_antipode(half_circumference_metres() - 50.0,
                                                         half_circumference_metres());
    for (int i = 0; i < 20000; ++i) {
        const double radius = i % 4 == 0 ? near_antipode(rng) : std::pow(10.0, exponent(rng));
        const SphereRadius test(radius);
        double chord = metres_to_squared_chord(radius);
        for (int step = 0; step < 8; ++step) {
            chord = std::nextafter(chord, 0.0);
        }
        for (int step = 0; step < 16; ++step, chord = std::nextafter(chord, INF)) {
            ASSERT_EQ(test.admits(chord), squared_chord_to_metres(chord) <= radius) << radius << ' ' << chord;
        }
        for (double extreme : {0.0, 1e-300, 4.0, std::nextafter(4.0, INF)}) {
            ASSERT_EQ(test.admits(extreme), squared_chord_to_metres(extreme) <= radius) << radius << ' ' << extreme;
        }
    }
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
        EXPECT_EQ(sorted(positions(tree.locate_within_distance_wgs84(query, radius))),
                  (Positions{0, 1, 2, 3}));
        EXPECT_EQ(
            sorted(positions(tree.locate_within_distance_wgs84_unmeasured(query, radius))),
            (Positions{0, 1, 2, 3}));
    }
}

TEST(Wgs84Bounds, BracketTheGeodesicByTheGreatCircle) {
    const double lower = WGS84_SPHERE_LOWER_BOUND;
    const double upper = WGS84_SPHERE_UPPER_BOUND;
    EXPECT_EQ(upper, 1.0111660409909273);
    const StretchBounds tight = WGS84_TIGHT_STRETCH;
    EXPECT_LT(lower, tight.lower);
    EXPECT_LT(tight.upper, upper);
    std::mt19937_64 rng(SEED + 2);
    std::uniform_real_distribution<double> near(-0.01, 0.01);
    for (int i = 0; i < 20000; ++i) {
        const LonLat a = random_position(rng);
        LonLat b = random_position(rng);
        if (i % 4 == 1) {  // nearly antipodal
            b = {wrap_lon(a.lon + 180.0 + near(rng)), std::clamp(-a.lat + near(rng), -90.0, 90.0)};
        } else if (i % 4 == 2) {  // short
            b = {wrap_lon(a.lon + near(rng)), std::clamp(a.lat + near(rng), -90.0, 90.0)};
        }
        const double sphere = squared_chord_to_metres(chord_2(embed(a.lon, a.lat), embed(b.lon, b.lat)));
        const double geodesic = geodesic_distance_wgs84(a.lon, a.lat, b.lon, b.lat);
        ASSERT_LE(lower * sphere, geodesic) << a.lon << ' ' << a.lat << ' ' << b.lon << ' ' << b.lat;
        ASSERT_LE(geodesic, upper * sphere) << a.lon << ' ' << a.lat << ' ' << b.lon << ' ' << b.lat;
        ASSERT_LE(tight.lower * sphere, geodesic) << a.lon << ' ' << a.lat << ' ' << b.lon << ' ' << b.lat;
        ASSERT_LE(geodesic, tight.upper * sphere) << a.lon << ' ' << a.lat << ' ' << b.lon << ' ' << b.lat;
    }
}

// Points clustered where the bounds are tested hardest: the poles, the equator, and
// around the antipode of the query.
std::vector<LonLat> clustered_points(std::mt19937_64& rng, const LonLat& query, std::size_t count) {
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    std::uniform_real_distribution<double> spread(-2.0, 2.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<LonLat> coords;
    while (coords.size() < count) {
        switch (coords.size() % 4) {
            case 0: coords.push_back({lon(rng), 90.0 - std::fabs(spread(rng))}); break;
            case 1: coords.push_back({lon(rng), -90.0 + std::fabs(spread(rng))}); break;
            case 2: coords.push_back({lon(rng), spread(rng) * 0.01}); break;
            default: {
                const double scale = std::pow(10.0, -6.0 * unit(rng));
                coords.push_back({wrap_lon(query.lon + 180.0 + spread(rng) * scale),
                                  std::clamp(-query.lat + spread(rng) * scale, -90.0, 90.0)});
            }
        }
    }
    return coords;
}

TEST(LocateWithinDistanceWgs84, UnmeasuredMatchesBruteForceAndSolvesOnlyTheBand) {
    const std::vector<double> radii = {1.0, 10.0, 1'000.0, 100'000.0, 1'000'000.0, 5'000'000.0,
                                       10'000'000.0, 19'000'000.0, 20'000'000.0};
    const std::vector<LonLat> queries = {{0, 0}, {0, 90}, {30, -90}, {180, 0}, {12.5, 0.001}, {-70, 45}};
    std::mt19937_64 rng(SEED + 3);
    std::uint64_t measured_inverses = 0;
    std::uint64_t unmeasured_inverses = 0;
    for (const LonLat& q : queries) {
        std::vector<LonLat> coords = clustered_points(rng, q, 2000);
        // Points exactly at some radii from the query along the meridian and the equator.
        for (double radius : radii) {
            const double lat = std::clamp(q.lat + radius / 111'000.0, -90.0, 90.0);
            coords.push_back({q.lon, lat});
            coords.push_back({wrap_lon(q.lon + radius / 111'000.0), q.lat});
        }
        const PointTree tree = point_tree(coords);
        const GeodeticPoint query = point(q.lon, q.lat);
        std::vector<double> geodesic;
        for (const LonLat& c : coords) {
            geodesic.push_back(geodesic_distance_wgs84(q.lon, q.lat, c.lon, c.lat));
        }
        std::vector<double> all_radii = radii;
        for (std::size_t i = coords.size() - 2 * radii.size(); i < coords.size(); ++i) {
            all_radii.push_back(geodesic[i]);  // exactly on the boundary
        }
        for (double radius : all_radii) {
            Positions expected;
            for (std::size_t i = 0; i < coords.size(); ++i) {
                if (geodesic[i] <= radius) {
                    expected.push_back(i);
                }
            }
            auto measured = tree.locate_within_distance_wgs84(query, radius);
            auto unmeasured = tree.locate_within_distance_wgs84_unmeasured(query, radius);
            const Positions measured_positions = positions(measured);
            const Positions unmeasured_positions = positions(unmeasured);
            ASSERT_EQ(unmeasured_positions, measured_positions) << q.lon << ", " << q.lat << " radius " << radius;
            ASSERT_EQ(sorted(unmeasured_positions), expected) << q.lon << ", " << q.lat << " radius " << radius;
            measured_inverses += measured.geodesic_inverses();
            unmeasured_inverses += unmeasured.geodesic_inverses();
        }
    }
    EXPECT_LT(unmeasured_inverses * 2, measured_inverses);
}

}  // namespace
}  // namespace sferix::geodetic
