#include "geodetic/arc.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "geodetic/embedding.hpp"

namespace sferix::geodetic {
namespace {

constexpr double RPD = RADIANS_PER_DEGREE;

UnitVec normalized(const UnitVec& v) { return v / norm(v); }

// The point at fraction t in [0, 1] of the angle along the shorter arc from a to b,
// built from the arc's definition (Gram-Schmidt and atan2), not from the code under test.
UnitVec arc_point(const UnitVec& a, const UnitVec& b, double t) {
    const UnitVec u = normalized(b - dot(a, b) * a);
    const double angle = t * std::atan2(norm(cross(a, b)), dot(a, b));
    return std::cos(angle) * a + std::sin(angle) * u;
}

UnitVec random_unit(std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    return normalized(UnitVec{normal(rng), normal(rng), normal(rng)});
}

TEST(ArcDistance, EquatorArcExamples) {
    const UnitVec a = embed(0, 0);
    const UnitVec b = embed(90, 0);
    EXPECT_NEAR(arc_distance_2(a, b, embed(45, 10)), 2 - 2 * std::cos(10 * RPD), 1e-15);
    const UnitVec beyond = embed(135, 0);
    EXPECT_EQ(arc_distance_2(a, b, beyond), chord_2(beyond, b));
    EXPECT_LT(arc_distance_2(a, b, embed(30, 0)), 1e-30);  // on the arc's plane, between the ends
    EXPECT_EQ(arc_distance_2(a, b, a), 0.0);
}

TEST(ArcDistance, RepeatedVertexMeasuresToTheVertex) {
    const UnitVec a = embed(12, 34);
    const UnitVec p = embed(-40, 5);
    EXPECT_EQ(arc_distance_2(a, a, p), chord_2(p, a));
}

TEST(ArcBoundingBox, RepeatedVertexIsThePointWidened) {
    const UnitVec a = embed(12, 34);
    const Envelope box = arc_bounding_box(a, a);
    EXPECT_EQ(box.lower(), (UnitVec{a.x - BOX_MARGIN, a.y - BOX_MARGIN, a.z - BOX_MARGIN}));
    EXPECT_EQ(box.upper(), (UnitVec{a.x + BOX_MARGIN, a.y + BOX_MARGIN, a.z + BOX_MARGIN}));
}

TEST(ArcBoundingBox, ReachesInteriorExtremaOnly) {
    const UnitVec west = embed(-60, 0);
    const UnitVec east = embed(60, 0);
    const Envelope box = arc_bounding_box(west, east);
    EXPECT_NEAR(box.upper().x, 1 + BOX_MARGIN, 1e-15);
    EXPECT_EQ(box.lower().x, std::min(west.x, east.x) - BOX_MARGIN);
    EXPECT_EQ(box.lower().y, west.y - BOX_MARGIN);
    EXPECT_EQ(box.upper().y, east.y + BOX_MARGIN);

    const Envelope polar = arc_bounding_box(embed(0, 80), embed(180, 80));
    EXPECT_NEAR(polar.upper().z, 1 + BOX_MARGIN, 1e-15);
    EXPECT_EQ(polar.lower().z, std::min(embed(0, 80).z, embed(180, 80).z) - BOX_MARGIN);
}

TEST(EdgeAdmissibility, RefusesNearlyAntipodalEnds) {
    const UnitVec origin = embed(0, 0);
    EXPECT_TRUE(is_admissible_edge(origin, origin));
    EXPECT_TRUE(is_admissible_edge(origin, embed(179.9, 0)));
    EXPECT_FALSE(is_admissible_edge(origin, embed(179.99, 0)));
    EXPECT_FALSE(is_admissible_edge(origin, embed(180, 0)));
    EXPECT_FALSE(is_admissible_edge(embed(0, 90), embed(0, -90)));
}

// Random admissible arcs: short ones, long ones up to ~179.8 degrees, ones over a pole.
struct RandomArc {
    UnitVec a;
    UnitVec b;
};

RandomArc random_arc(std::mt19937_64& rng, int kind) {
    const UnitVec a = random_unit(rng);
    while (true) {
        UnitVec b = random_unit(rng);
        if (kind == 0) {
            b = normalized(a + 0.05 * b);  // short
        } else if (kind == 1) {
            b = normalized(-1.0 * a + 0.01 * b);  // nearly antipodal
        }
        if (chord_2(a, b) < 3.99999) {
            return {a, b};
        }
    }
}

TEST(ArcDistance, MatchesDenseSamplingOfTheArc) {
    std::mt19937_64 rng(20240611);
    constexpr int SAMPLES = 4000;
    for (int trial = 0; trial < 300; ++trial) {
        const RandomArc arc = random_arc(rng, trial % 3);
        // Half the queries lie near the arc's circle, where cancellation would bite.
        UnitVec p = random_unit(rng);
        if (trial % 2 == 0) {
            std::uniform_real_distribution<double> along(-0.2, 1.2);
            p = normalized(arc_point(arc.a, arc.b, along(rng)) + 1e-6 * random_unit(rng));
        }
        // The squared chord along the arc is unimodal in t, so dense sampling followed
        // by a ternary refinement around the best sample finds the true minimum.
        int best_i = 0;
        double best = chord_2(p, arc.a);
        for (int i = 1; i <= SAMPLES; ++i) {
            const double d = chord_2(p, arc_point(arc.a, arc.b, static_cast<double>(i) / SAMPLES));
            if (d < best) {
                best = d;
                best_i = i;
            }
        }
        double lo = std::max(0.0, (best_i - 1.0) / SAMPLES);
        double hi = std::min(1.0, (best_i + 1.0) / SAMPLES);
        for (int step = 0; step < 200; ++step) {
            const double m1 = lo + (hi - lo) / 3;
            const double m2 = hi - (hi - lo) / 3;
            if (chord_2(p, arc_point(arc.a, arc.b, m1)) < chord_2(p, arc_point(arc.a, arc.b, m2))) {
                hi = m2;
            } else {
                lo = m1;
            }
        }
        best = std::min(best, chord_2(p, arc_point(arc.a, arc.b, lo)));
        const double exact = arc_distance_2(arc.a, arc.b, p);
        // Near-antipodal arcs lose a few digits in both computations (|b − (a·b)a| is
        // small), hence 1e-13 rather than a few ulps.
        EXPECT_LE(exact, best + 1e-13) << "trial " << trial;
        EXPECT_GE(exact, best - 1e-12) << "trial " << trial;
        EXPECT_LE(exact, std::min(chord_2(p, arc.a), chord_2(p, arc.b)));
    }
}

TEST(ArcBoundingBox, ContainsDenselySampledArcAndIsTight) {
    std::mt19937_64 rng(7);
    constexpr int SAMPLES = 20000;
    for (int trial = 0; trial < 200; ++trial) {
        const RandomArc arc = random_arc(rng, trial % 3);
        const Envelope box = arc_bounding_box(arc.a, arc.b);
        Envelope sampled = Envelope::from_point(arc.a);
        for (int i = 0; i <= SAMPLES; ++i) {
            const UnitVec q = arc_point(arc.a, arc.b, static_cast<double>(i) / SAMPLES);
            ASSERT_TRUE(box.contains_point(q)) << "trial " << trial << " sample " << i;
            sampled.merge(Envelope::from_point(q));
        }
        // Tight: no wider than the sampled extent plus margin and sampling resolution.
        for (std::size_t axis = 0; axis < 3; ++axis) {
            EXPECT_GE(box.lower()[axis], sampled.lower()[axis] - BOX_MARGIN - 1e-6) << "trial " << trial;
            EXPECT_LE(box.upper()[axis], sampled.upper()[axis] + BOX_MARGIN + 1e-6) << "trial " << trial;
        }
    }
}

}  // namespace
}  // namespace sferix::geodetic
