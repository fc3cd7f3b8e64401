#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "geodetic/distance.hpp"
#include "geodetic/embedding.hpp"

namespace sferix::geodetic {
namespace {

constexpr double PI = 3.141592653589793;

TEST(Embed, AxesPointWhereTheyShould) {
    const UnitVec x = embed(0, 0);
    EXPECT_EQ(x, (UnitVec{1, 0, 0}));
    const UnitVec y = embed(90, 0);
    EXPECT_NEAR(y.x, 0, 1e-16);
    EXPECT_EQ(y.y, 1);
    EXPECT_EQ(embed(180, 0).x, -1);
}

// Check fix for one place embedding to several vectors (cos of the rounded π/2 is 6e-17,
// sin(-π) and sin(π) differ in the last bit): ties between them went by rounding noise.
TEST(Embed, EverySpellingOfOnePlaceGivesOneVector) {
    for (const double lon : {-180.0, -123.4, 0.0, 45.0, 180.0}) {
        EXPECT_EQ(embed(lon, 90), (UnitVec{0, 0, 1})) << lon;
        EXPECT_EQ(embed(lon, -90), (UnitVec{0, 0, -1})) << lon;
    }
    for (const double lat : {-89.9, -10.0, 0.0, 10.0, 89.9}) {
        EXPECT_EQ(embed(-180, lat), embed(180, lat)) << lat;
    }
    // Elsewhere the formula is unchanged.
    EXPECT_EQ(embed(-179.9, 10).y, std::cos(10 * RADIANS_PER_DEGREE) * std::sin(-179.9 * RADIANS_PER_DEGREE));
    EXPECT_EQ(embed(10, 89.9).x, std::cos(89.9 * RADIANS_PER_DEGREE) * std::cos(10 * RADIANS_PER_DEGREE));
}

TEST(Embed, CoordOverloadMatchesRaw) {
    const auto coord = GeodeticCoord::try_new(12.5, -33.25).value();
    EXPECT_EQ(embed(coord), embed(12.5, -33.25));
    EXPECT_NEAR(norm(embed(coord)), 1.0, 1e-15);
}

TEST(SquaredChordToMetres, ClampsBelowZeroAndAboveFour) {
    EXPECT_EQ(squared_chord_to_metres(-1), 0);
    EXPECT_EQ(squared_chord_to_metres(0), 0);
    EXPECT_EQ(squared_chord_to_metres(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(squared_chord_to_metres(4), std::asin(1.0) * EARTH_DIAMETER_METRES);
    EXPECT_EQ(squared_chord_to_metres(5), std::asin(1.0) * EARTH_DIAMETER_METRES);
    EXPECT_NEAR(squared_chord_to_metres(4), PI * EARTH_RADIUS_METRES, 1e-6);
}

TEST(MetresToSquaredChord, ClampsAndRoundTrips) {
    EXPECT_EQ(metres_to_squared_chord(0), 0);
    EXPECT_EQ(metres_to_squared_chord(-5), 0);
    EXPECT_EQ(metres_to_squared_chord(3e7), 4);
    EXPECT_EQ(metres_to_squared_chord(std::numeric_limits<double>::infinity()), 4);
    const double s = std::sin(1000.0 / (2 * EARTH_RADIUS_METRES));
    EXPECT_NEAR(metres_to_squared_chord(1000), 4 * s * s, 1e-24);
    EXPECT_NEAR(squared_chord_to_metres(metres_to_squared_chord(1000)), 1000, 1e-6);
}

}  // namespace
}  // namespace sferix::geodetic
