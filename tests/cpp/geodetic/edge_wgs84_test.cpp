#include "geodetic/edge_wgs84.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/wgs84.hpp"

namespace sferix::geodetic {
namespace {

constexpr double DEGREES = 180.0 / std::numbers::pi;

GeodeticPoint point(double lon, double lat) { return GeodeticPoint::try_new(lon, lat).value(); }

// The geodesic metres from q to the arc point at fraction t (slerp).
double at_fraction(const GeodeticPoint& q, const UnitVec& a, const UnitVec& b, double t) {
    const double angle = std::atan2(norm(cross(a, b)), dot(a, b));
    const double sin_angle = std::sin(angle);
    const UnitVec x = sin_angle == 0.0 ? a
                                       : (std::sin((1 - t) * angle) / sin_angle) * a +
                                             (std::sin(t * angle) / sin_angle) * b;
    return geodesic_distance_wgs84(q.lon(), q.lat(), std::atan2(x.y, x.x) * DEGREES,
                                   std::atan2(x.z, std::hypot(x.x, x.y)) * DEGREES);
}

// Dense sampling, then golden-section search around the best few samples.
double brute_force(const GeodeticPoint& q, const UnitVec& a, const UnitVec& b) {
    constexpr int SAMPLES = 4000;
    std::vector<double> s(SAMPLES + 1);
    for (int i = 0; i <= SAMPLES; ++i) {
        s[i] = at_fraction(q, a, b, static_cast<double>(i) / SAMPLES);
    }
    double best = *std::min_element(s.begin(), s.end());
    for (int i = 0; i <= SAMPLES; ++i) {
        const bool local = (i == 0 || s[i] <= s[i - 1]) && (i == SAMPLES || s[i] <= s[i + 1]);
        if (!local) {
            continue;
        }
        double lo = std::max(0, i - 1) / double{SAMPLES};
        double hi = std::min(SAMPLES, i + 1) / double{SAMPLES};
        const double r = (std::sqrt(5.0) - 1) / 2;
        for (int step = 0; step < 80; ++step) {
            const double m1 = hi - r * (hi - lo);
            const double m2 = lo + r * (hi - lo);
            const double f1 = at_fraction(q, a, b, m1);
            const double f2 = at_fraction(q, a, b, m2);
            best = std::min({best, f1, f2});
            (f1 < f2 ? hi : lo) = f1 < f2 ? m2 : m1;
        }
    }
    return best;
}

TEST(ArcDistanceWgs84, MatchesBruteForceOnRandomEdges) {
    std::mt19937_64 random(27);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    EdgeSearchStats stats;
    for (int trial = 0; trial < 120; ++trial) {
        const double lon = -180 + 360 * unit(random);
        const double lat = std::asin(2 * unit(random) - 1) * DEGREES;
        // Lengths from 1 m to 5,000 km, log-uniform, in a random direction.
        const double length = std::pow(10.0, 6.7 * unit(random)) / 6371008.8;
        const double bearing = 2 * std::numbers::pi * unit(random);
        const UnitVec a = embed(lon, lat);
        const UnitVec east{-std::sin(lon / DEGREES), std::cos(lon / DEGREES), 0.0};
        const UnitVec north = cross(a, east);
        const UnitVec direction = std::cos(bearing) * north + std::sin(bearing) * east;
        const UnitVec b = std::cos(length) * a + std::sin(length) * direction;
        // Queries from on the edge to far away.
        const double offset = std::pow(10.0, 7.2 * unit(random)) / 6371008.8;
        const double along = unit(random) * 1.4 - 0.2;
        const UnitVec mid = std::cos(along * length) * a + std::sin(along * length) * direction;
        const UnitVec side = cross(direction, a);
        const UnitVec qv = std::cos(offset) * mid + std::sin(offset) * (trial % 2 == 0 ? side : -1.0 * side);
        const GeodeticPoint q =
            point(std::atan2(qv.y, qv.x) * DEGREES, std::asin(std::clamp(qv.z, -1.0, 1.0)) * DEGREES);
        const double found = arc_distance_wgs84(q, a, b, INFINITY, &stats);
        const double expected = brute_force(q, a, b);
        EXPECT_NEAR(found, expected, 1e-3) << "trial " << trial;
        // A bound at the answer changes nothing: radius and nearest queries agree.
        EXPECT_EQ(arc_distance_wgs84(q, a, b, found), found) << "trial " << trial;
    }
    // A handful of inverses an edge on average, not a scan.
    EXPECT_LT(stats.geodesic_inverses, 120u * 12u);
}

TEST(ArcDistanceWgs84, DegenerateEdgesAndCutoffs) {
    // A degenerate edge is its endpoints.
    EXPECT_NEAR(arc_distance_wgs84(point(1, 1), embed(0, 0), embed(0, 0), INFINITY),
                geodesic_distance_wgs84(1, 1, 0, 0), 1e-6);
    // Beyond the cutoff, decided on the sphere without an inverse.
    EdgeSearchStats stats;
    EXPECT_GT(arc_distance_wgs84(point(50, 50), embed(0, 0), embed(1, 0), 1000.0, &stats), 1000.0);
    EXPECT_EQ(stats.geodesic_inverses, 0u);
}

TEST(ItemDistanceWgs84, LinesAndPolygons) {
    std::vector<LonLat> pairs;
    for (int i = 0; i <= 100; ++i) {
        pairs.push_back({-10.0 + 0.2 * i, 40.0 + 5.0 * std::sin(i * 0.3)});
    }
    const GeodeticLineString line = GeodeticLineString::try_from_lonlat(pairs).value();
    ASSERT_TRUE(line.has_edge_index());
    const GeodeticPoint q = point(0.3, 43.0);
    double expected = INFINITY;
    for (std::size_t k = 0; k + 1 < line.vectors().size(); ++k) {
        expected = std::min(expected, brute_force(q, line.vectors()[k], line.vectors()[k + 1]));
    }
    EXPECT_NEAR(linestring_distance_wgs84(line, q, INFINITY), expected, 1e-3);
    EXPECT_GT(linestring_distance_wgs84(line, q, expected - 10.0), expected - 10.0);

    // A square with a square hole: 0 inside, to the hole's edge in the hole.
    const auto ring = [](double half) {
        return GeodeticRing::try_from_lonlat(
                   {{-half, -half}, {half, -half}, {half, half}, {-half, half}, {-half, -half}})
            .value();
    };
    const GeodeticPolygon polygon = GeodeticPolygon::try_new(ring(10), {ring(2)}).value();
    EXPECT_EQ(polygon_distance_wgs84(polygon, point(5, 5), INFINITY), 0.0);
    const double in_hole = polygon_distance_wgs84(polygon, point(0, 0.5), INFINITY);
    EXPECT_NEAR(in_hole, brute_force(point(0, 0.5), embed(2, 2), embed(-2, 2)), 1e-3);
    const double outside = polygon_distance_wgs84(polygon, point(12, 0), INFINITY);
    EXPECT_NEAR(outside, brute_force(point(12, 0), embed(10, -10), embed(10, 10)), 1e-3);
}

}  // namespace
}  // namespace sferix::geodetic
