#include "geodetic/wgs84.hpp"

#include <gtest/gtest.h>

#include <cmath>

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

}  // namespace
}  // namespace sferix::geodetic
