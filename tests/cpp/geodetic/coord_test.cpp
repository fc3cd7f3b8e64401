#include "geodetic/coord.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace sferix::geodetic {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

TEST(GeodeticCoord, AcceptsRangeEndsAndKeepsValuesAsGiven) {
    for (const auto& [lon, lat] : {std::pair{180.0, 90.0}, {-180.0, -90.0}, {0.0, -0.0}}) {
        const auto coord = GeodeticCoord::try_new(lon, lat);
        ASSERT_TRUE(coord.has_value());
        EXPECT_EQ(coord.value().lon(), lon);
        EXPECT_EQ(std::signbit(coord.value().lat()), std::signbit(lat));
    }
}

TEST(GeodeticCoord, AHairPastTheRangeIsTheBound) {
    for (const double slack : {1e-12, 9e-10, 1e-9}) {
        const auto east = GeodeticCoord::try_new(180.0 + slack, -90.0 - slack);
        ASSERT_TRUE(east.has_value());
        EXPECT_EQ(east.value().lon(), 180.0);
        EXPECT_EQ(east.value().lat(), -90.0);
        const auto west = GeodeticCoord::try_new(-180.0 - slack, 90.0 + slack);
        ASSERT_TRUE(west.has_value());
        EXPECT_EQ(west.value().lon(), -180.0);
        EXPECT_EQ(west.value().lat(), 90.0);
    }
    EXPECT_FALSE(GeodeticCoord::try_new(180.0 + 2e-9, 0.0).has_value());
    EXPECT_FALSE(GeodeticCoord::try_new(0.0, -90.0 - 2e-9).has_value());
}

struct RejectCase {
    double lon;
    double lat;
    GeodeticError::Kind kind;
    std::string message;
};

class GeodeticCoordRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(GeodeticCoordRejects, InValidationOrderWithExactMessage) {
    const auto coord = GeodeticCoord::try_new(GetParam().lon, GetParam().lat);
    ASSERT_FALSE(coord.has_value());
    EXPECT_EQ(coord.error().kind(), GetParam().kind);
    EXPECT_EQ(coord.error().message(), GetParam().message);
}

using Kind = GeodeticError::Kind;
INSTANTIATE_TEST_SUITE_P(
    Cases, GeodeticCoordRejects,
    ::testing::Values(
        RejectCase{180.0000001, 0, Kind::LongitudeOutOfRange, "longitude 180.0000001 outside [-180.0, 180.0]"},
        RejectCase{200, 100, Kind::LongitudeOutOfRange, "longitude 200 outside [-180.0, 180.0]"},
        RejectCase{0, 100, Kind::LatitudeOutOfRange, "latitude 100 outside [-90.0, 90.0]"},
        RejectCase{0, 90.5, Kind::LatitudeOutOfRange, "latitude 90.5 outside [-90.0, 90.0]"},
        RejectCase{NaN, 0, Kind::NonFinite, "longitude or latitude was NaN or infinite"},
        RejectCase{0, INF, Kind::NonFinite, "longitude or latitude was NaN or infinite"},
        RejectCase{-INF, 1000, Kind::NonFinite, "longitude or latitude was NaN or infinite"},
        RejectCase{1000, NaN, Kind::NonFinite, "longitude or latitude was NaN or infinite"}));

TEST(GeodeticError, MessagesOfTheCountedKinds) {
    EXPECT_EQ(GeodeticError::too_few_points(1, 2).message(), "too few points: found 1, need at least 2");
    EXPECT_EQ(GeodeticError::antipodal_edge(0).message(),
              "edge 0 spans about 179.9616 degrees or more; its shorter great-circle arc is undefined (densify it first)");
    EXPECT_EQ(GeodeticError::unclosed_ring().message(), "polygon ring is not closed (first vertex != last)");
    EXPECT_EQ(GeodeticError::longitude_out_of_range(1e300).message(),
              "longitude 1" + std::string(300, '0') + " outside [-180.0, 180.0]");
}

}  // namespace
}  // namespace sferix::geodetic
