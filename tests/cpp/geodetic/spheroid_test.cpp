#include "geodetic/spheroid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace sferix::geodetic {
namespace {

// WGS84 reference lengths in metres, to ~1 mm.
constexpr double MERIDIAN_DEGREE_AT_EQUATOR = 110574.389;
constexpr double EQUATORIAL_DEGREE = 111319.491;
constexpr double HALF_MERIDIAN = 20003931.459;

TEST(GeodesicDistanceWgs84, ReferenceLengths) {
    EXPECT_EQ(geodesic_distance_wgs84(12.5, -40.25, 12.5, -40.25), 0.0);
    // Longitude first: a degree north and a degree east differ by ~745 m.
    EXPECT_NEAR(geodesic_distance_wgs84(0, 0, 0, 1), MERIDIAN_DEGREE_AT_EQUATOR, 1e-3);
    EXPECT_NEAR(geodesic_distance_wgs84(0, 0, 1, 0), EQUATORIAL_DEGREE, 1e-3);
    // Equatorial antipodes are joined over the poles, not along the longer equator.
    const double antipodal = geodesic_distance_wgs84(0, 0, 180, 0);
    EXPECT_NEAR(antipodal, HALF_MERIDIAN, 1e-3);
    EXPECT_NEAR(antipodal, geodesic_distance_wgs84(0, 90, 0, -90), 1e-6);
    EXPECT_LT(antipodal, std::acos(-1.0) * WGS84_A);
    // Longitudes are reduced by GeographicLib: -180 and 180 are one meridian.
    EXPECT_NEAR(geodesic_distance_wgs84(-180, 10, 180, 10), 0.0, 1e-6);
}

TEST(GeoidFor, SelectsThePredefinedWgs84ObjectOnlyOnExactBits) {
    const GeodesicHandle wgs84 = geoid_for(6378137.0, 1 / 298.257223563);
    ASSERT_NE(wgs84, nullptr);
    EXPECT_EQ(wgs84.get(), &GeographicLib::Geodesic::WGS84());
    EXPECT_EQ(geodesic_metres(*wgs84, 3, 4, 50, 60), geodesic_distance_wgs84(3, 4, 50, 60));

    const GeodesicHandle nearly = geoid_for(WGS84_A, std::nextafter(WGS84_F, 1.0));
    ASSERT_NE(nearly, nullptr);
    EXPECT_NE(nearly.get(), &GeographicLib::Geodesic::WGS84());
    EXPECT_NEAR(geodesic_metres(*nearly, 3, 4, 50, 60), geodesic_distance_wgs84(3, 4, 50, 60), 1e-6);
}

TEST(GeoidFor, ZeroFlatteningIsASphere) {
    const GeodesicHandle sphere = geoid_for(WGS84_A, 0.0);
    ASSERT_NE(sphere, nullptr);
    EXPECT_NEAR(geodesic_metres(*sphere, 0, 0, 1, 0), WGS84_A * std::acos(-1.0) / 180, 1e-6);
    EXPECT_NEAR(geodesic_metres(*sphere, 0, 0, 0, 1), WGS84_A * std::acos(-1.0) / 180, 1e-6);
}

TEST(GeoidFor, RefusedEllipsoidsGiveAnEmptyHandleInsteadOfThrowing) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double INF = std::numeric_limits<double>::infinity();
    const double refused[][2] = {{0, 0},   {-1, 0},   {NaN, 0}, {INF, 0},  {WGS84_A, 1},
                                 {WGS84_A, 2}, {WGS84_A, NaN}, {WGS84_A, -INF}, {1e308, -10}};
    for (const auto& [a, f] : refused) {
        EXPECT_EQ(geoid_for(a, f), nullptr) << a << " " << f;
    }
    EXPECT_NE(geoid_for(WGS84_A, -0.01), nullptr);  // prolate is fine
}

}  // namespace
}  // namespace sferix::geodetic
