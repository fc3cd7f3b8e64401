#include <array>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "predicates/orient3d.hpp"

namespace sferix::predicates {
namespace {

struct KnownSign {
    Vector3 a;
    Vector3 b;
    Vector3 c;
    int sign;
};

// Hand-checked determinants, several below the filter's reach.
const std::vector<KnownSign> kKnownSigns = {
    {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, 1},
    {{0, 1, 0}, {1, 0, 0}, {0, 0, 1}, -1},
    {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}, -1},
    // Coplanar axis-aligned points: all on the equator.
    {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, 0},
    {{1, 0, 0}, {0, 1, 0}, {0.6, 0.8, 0}, 0},
    // c = a + b exactly.
    {{0.5, 0.25, 0.125}, {0.25, 0.5, 0.75}, {0.75, 0.75, 0.875}, 0},
    // Antipode of a: on every great circle through a.
    {{0.6, 0.8, 0}, {0, 0.6, 0.8}, {-0.6, -0.8, -0}, 0},
    // Near-pole vectors with tiny x, y: the determinant is about ±1e-34.
    {{1e-17, 0, 1}, {0, 1e-17, 1}, {0, 0, 1}, 1},
    {{1e-17, 0, 1}, {0, 1e-17, 1}, {1e-17, 1e-17, 1}, -1},
    // Just off the equator by the smallest component the exactness range allows.
    {{1, 0, 0}, {0, 1, 0}, {0.6, 0.8, 0x1p-300}, 1},
    {{1, 0, 0}, {0, 1, 0}, {0.6, 0.8, -0x1p-300}, -1},
    // Signed zeros are zeros.
    {{-0.0, 1, 0}, {0, -0.0, 1}, {1, 0, -0.0}, 1},
};

TEST(Orient3d, KnownSigns) {
    for (const KnownSign& k : kKnownSigns) {
        EXPECT_EQ(orient3d_sign(k.a, k.b, k.c), k.sign)
            << "(" << k.a[0] << "," << k.a[1] << "," << k.a[2] << ") (" << k.b[0] << "," << k.b[1]
            << "," << k.b[2] << ") (" << k.c[0] << "," << k.c[1] << "," << k.c[2] << ")";
    }
}

// Swaps negate, cyclic shifts keep, and repeats give 0, for each of the known triples.
TEST(Orient3d, Symmetries) {
    for (const KnownSign& k : kKnownSigns) {
        const int s = orient3d_sign(k.a, k.b, k.c);
        EXPECT_EQ(orient3d_sign(k.b, k.c, k.a), s);
        EXPECT_EQ(orient3d_sign(k.c, k.a, k.b), s);
        EXPECT_EQ(orient3d_sign(k.b, k.a, k.c), -s);
        EXPECT_EQ(orient3d_sign(k.a, k.c, k.b), -s);
        EXPECT_EQ(orient3d_sign(k.c, k.b, k.a), -s);
        EXPECT_EQ(orient3d_sign(k.a, k.a, k.c), 0);
        EXPECT_EQ(orient3d_sign(k.a, k.b, k.b), 0);
        EXPECT_EQ(orient3d_sign(k.c, k.b, k.c), 0);
    }
}

}  // namespace
}  // namespace sferix::predicates
