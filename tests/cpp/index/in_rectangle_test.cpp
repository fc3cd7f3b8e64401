#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "index/tree.hpp"
#include "indexed_testing.hpp"

namespace sferix::geodetic {
namespace {

using namespace testing;

struct Rectangle {
    double w;
    double s;
    double e;
    double n;
};

// 0 (180, 0), 1 (-180, 0), 2 (170, -10), 3 (-170, 10), 4 (175, 11), 5 (0, 0), 6 (10, 5),
// 7 (10, -90), 8 (-37, 90), 9 (169.5, 0), 10 (10, 20).
const std::vector<LonLat> PLACES = {{180, 0},   {-180, 0}, {170, -10}, {-170, 10}, {175, 11}, {0, 0},
                                    {10, 5},    {10, -90}, {-37, 90},  {169.5, 0}, {10, 20}};

struct RectangleCase {
    const char* name;
    Rectangle rectangle;
    Positions expected;  // sorted
};

class InRectangle : public ::testing::TestWithParam<RectangleCase> {};

TEST_P(InRectangle, SelectsByInclusiveLonLatWindow) {
    const PointTree tree = point_tree(PLACES);
    const auto [w, s, e, n] = GetParam().rectangle;
    EXPECT_EQ(sorted(positions(tree.locate_in_rectangle(rectangle(w, s, e, n)))), GetParam().expected);
    // The exact test alone agrees with the tree (the 3-D box loses nothing).
    Positions scanned;
    for (std::size_t i = 0; i < PLACES.size(); ++i) {
        if (lonlat_rectangle_contains(PLACES[i].lon, PLACES[i].lat, w, s, e, n)) {
            scanned.push_back(i);
        }
    }
    EXPECT_EQ(scanned, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    LocateInRectangle, InRectangle,
    ::testing::Values(
        RectangleCase{"AcrossTheAntimeridian", {170, -10, -170, 10}, {0, 1, 2, 3}},
        RectangleCase{"EndingAt180HoldsMinus180", {175, -1, 180, 1}, {0, 1}},
        RectangleCase{"StartingAtMinus180Holds180", {-180, -1, -175, 1}, {0, 1}},
        RectangleCase{"WholeWorld", {-180, -90, 180, 90}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        RectangleCase{"SingleMeridianAndItsPole", {10, -90, 10, 10}, {6, 7}},
        RectangleCase{"NorthPoleInAnyWindow", {100, 80, 101, 90}, {8}},
        RectangleCase{"SouthPoleInACrossingWindow", {179, -90, -179, -89}, {7}},
        RectangleCase{"BoundsAreInclusive", {169.5, -10, 170, 0}, {2, 9}},
        RectangleCase{"InvertedLatitudesGiveNothing", {-180, 20, 180, 10}, {}},
        RectangleCase{"InvertedPoleBandGivesNothing", {-180, 90, 180, 80}, {}}),
    [](const ::testing::TestParamInfo<RectangleCase>& param_info) { return std::string(param_info.param.name); });

TEST(LocateInRectangle, EmptyTreeGivesNothing) {
    EXPECT_TRUE(positions(point_tree({}).locate_in_rectangle(rectangle(-180, -90, 180, 90))).empty());
}

TEST(LocateInRectangle, MatchesBruteForce) {
    std::mt19937_64 rng(77);
    const std::vector<LonLat> coords = random_point_coords(rng, 3000);
    const PointTree tree = point_tree(coords);
    // Integer bounds so grid points fall exactly on them; w > e crosses the antimeridian.
    std::uniform_int_distribution<int> lon(-180, 180);
    std::uniform_int_distribution<int> lat(-90, 90);
    std::uniform_int_distribution<int> width(0, 40);
    for (int k = 0; k < 300; ++k) {
        const double w = lon(rng);
        const double e = k % 10 == 0 ? lon(rng) : wrap_lon(w + width(rng));
        const double s = lat(rng);
        const double n = std::min(90.0, s + width(rng));
        Positions expected;
        for (std::size_t i = 0; i < coords.size(); ++i) {
            if (lonlat_rectangle_contains(coords[i].lon, coords[i].lat, w, s, e, n)) {
                expected.push_back(i);
            }
        }
        ASSERT_EQ(sorted(positions(tree.locate_in_rectangle(rectangle(w, s, e, n)))), expected) << w << " " << s << " " << e << " " << n;
    }
}

}  // namespace
}  // namespace sferix::geodetic
