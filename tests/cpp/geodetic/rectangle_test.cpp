#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "geodetic/arc.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/rectangle.hpp"

namespace sferix::geodetic {
namespace {

double cos_deg(double degrees) { return std::cos(degrees * RADIANS_PER_DEGREE); }
double sin_deg(double degrees) { return std::sin(degrees * RADIANS_PER_DEGREE); }

TEST(RectangleBoundingBox, WindowAroundTheOrigin) {
    const Envelope box = rectangle_bounding_box(-10, -10, 10, 10);
    EXPECT_EQ(box.upper().x, 1 + BOX_MARGIN);
    EXPECT_EQ(box.lower().x, cos_deg(10) * cos_deg(10) - BOX_MARGIN);
    EXPECT_EQ(box.lower().y, sin_deg(-10) - BOX_MARGIN);
    EXPECT_EQ(box.upper().y, sin_deg(10) + BOX_MARGIN);
    EXPECT_EQ(box.lower().z, sin_deg(-10) - BOX_MARGIN);
    EXPECT_EQ(box.upper().z, sin_deg(10) + BOX_MARGIN);
}

TEST(RectangleBoundingBox, WindowAcrossTheAntimeridian) {
    const Envelope box = rectangle_bounding_box(170, 0, -170, 10);
    EXPECT_EQ(box.lower().x, -1 - BOX_MARGIN);
    EXPECT_EQ(box.upper().x, cos_deg(10) * cos_deg(170) + BOX_MARGIN);
    EXPECT_EQ(box.lower().y, sin_deg(-170) - BOX_MARGIN);
    EXPECT_EQ(box.upper().y, sin_deg(170) + BOX_MARGIN);
    EXPECT_EQ(box.lower().z, -BOX_MARGIN);
    EXPECT_EQ(box.upper().z, sin_deg(10) + BOX_MARGIN);
}

TEST(RectangleBoundingBox, WholeRangePoleAndSingleMeridian) {
    const Envelope whole = rectangle_bounding_box(-180, 20, 180, 40);
    EXPECT_EQ(whole.lower(), (UnitVec{-cos_deg(20) - BOX_MARGIN, -cos_deg(20) - BOX_MARGIN, sin_deg(20) - BOX_MARGIN}));
    EXPECT_EQ(whole.upper(), (UnitVec{cos_deg(20) + BOX_MARGIN, cos_deg(20) + BOX_MARGIN, sin_deg(40) + BOX_MARGIN}));

    const Envelope pole = rectangle_bounding_box(-30, 90, 60, 90);
    EXPECT_EQ(pole.lower().z, 1 - BOX_MARGIN);
    EXPECT_EQ(pole.upper().z, 1 + BOX_MARGIN);
    for (std::size_t axis = 0; axis < 2; ++axis) {
        EXPECT_NEAR(pole.lower()[axis], -BOX_MARGIN, 1e-16);
        EXPECT_NEAR(pole.upper()[axis], BOX_MARGIN, 1e-16);
    }

    const Envelope meridian = rectangle_bounding_box(30, 10, 30, 20);
    EXPECT_EQ(meridian.lower().x, cos_deg(20) * cos_deg(30) - BOX_MARGIN);
    EXPECT_EQ(meridian.upper().x, cos_deg(10) * cos_deg(30) + BOX_MARGIN);
    EXPECT_EQ(meridian.lower().y, cos_deg(20) * sin_deg(30) - BOX_MARGIN);
    EXPECT_EQ(meridian.upper().y, cos_deg(10) * sin_deg(30) + BOX_MARGIN);
}

// Random windows, crossing ones included: the box holds a dense grid of the
// rectangle's positions and is no wider than the grid's extent plus margin and grid
// resolution.
TEST(RectangleBoundingBox, ContainsSampledRectanglesAndIsTight) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> lon(-180, 180);
    std::uniform_real_distribution<double> lat(-90, 90);
    constexpr int STEPS = 200;
    for (int trial = 0; trial < 100; ++trial) {
        const double w = lon(rng);
        const double e = lon(rng);
        double s = lat(rng);
        double n = lat(rng);
        if (s > n) {
            std::swap(s, n);
        }
        const Envelope box = rectangle_bounding_box(w, s, e, n);
        const double span = w <= e ? e - w : 360 - (w - e);
        Envelope sampled = Envelope::from_point(embed(w, s));
        for (int i = 0; i <= STEPS; ++i) {
            double l = w + span * i / STEPS;
            if (l > 180) {
                l -= 360;
            }
            for (int j = 0; j <= STEPS; ++j) {
                const UnitVec q = embed(l, s + (n - s) * j / STEPS);
                ASSERT_TRUE(box.contains_point(q)) << trial << " " << i << " " << j;
                sampled.merge(Envelope::from_point(q));
            }
        }
        for (std::size_t axis = 0; axis < 3; ++axis) {
            EXPECT_GE(box.lower()[axis], sampled.lower()[axis] - BOX_MARGIN - 1e-3) << trial;
            EXPECT_LE(box.upper()[axis], sampled.upper()[axis] + BOX_MARGIN + 1e-3) << trial;
        }
    }
}

}  // namespace
}  // namespace sferix::geodetic
