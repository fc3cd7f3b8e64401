#include "index/coverage_grid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "geodetic/embedding.hpp"
#include "geodetic/radius.hpp"

namespace sferix::indexed {
namespace {

using geodetic::Envelope;
using geodetic::UnitVec;

UnitVec normalized(double x, double y, double z) {
    const double n = std::sqrt(x * x + y * y + z * z);
    return {x / n, y / n, z / n};
}

// A point about `chord` from c in a random direction.
UnitVec near(std::mt19937_64& rng, const UnitVec& c, double chord) {
    std::normal_distribution<double> gauss;
    const double rx = gauss(rng);
    const double ry = gauss(rng);
    const double rz = gauss(rng);
    const double along = rx * c.x + ry * c.y + rz * c.z;
    const UnitVec t = normalized(rx - along * c.x, ry - along * c.y, rz - along * c.z);
    return normalized(c.x + chord * t.x, c.y + chord * t.y, c.z + chord * t.z);
}

// Places where the grid's faces and cells meet, the poles and the antimeridian, then
// random ones.
std::vector<UnitVec> centres(std::mt19937_64& rng, std::size_t random_count) {
    std::vector<UnitVec> out = {
        geodetic::embed(0, 90),    geodetic::embed(0, -90),  geodetic::embed(180, 0),  geodetic::embed(-180, 10),
        geodetic::embed(45, 0),    geodetic::embed(-135, 0), geodetic::embed(45, 35.26438968275465),
        normalized(1, 1, 1),       normalized(-1, 1, -1),    normalized(1, 0, 1),      normalized(0, -1, 1),
        geodetic::embed(0, 0),     geodetic::embed(90, 0),   geodetic::embed(179.99, -45)};
    std::uniform_real_distribution<double> lon(-180, 180);
    std::uniform_real_distribution<double> z(-1, 1);
    for (std::size_t i = 0; i < random_count; ++i) {
        out.push_back(geodetic::embed(lon(rng), std::asin(z(rng)) * 180 / M_PI));
    }
    return out;
}

// The property every unmarked cell must have: no box within the largest radius the
// grid answers for, as the walk measures it.
TEST(CoverageGrid, RejectsOnlyQueriesFarFromEveryBox) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<Envelope> boxes;
    CoverageGrid grid;
    for (const UnitVec& c : centres(rng, 300)) {
        // Boxes of a few points from a metre to 50 km across (one in ten up to 2,000 km).
        const double size = std::pow(10.0, unit(rng) * (unit(rng) < 0.1 ? 5.5 : 4.0)) / 6.371e6;
        Envelope box = Envelope::from_point(near(rng, c, size * unit(rng)));
        for (int k = 0; k < 4; ++k) {
            box.merge(Envelope::from_point(near(rng, c, size * unit(rng))));
        }
        boxes.push_back(box);
        grid.cover(box);
    }
    const double outer_2 = geodetic::SphereRadius(1000.0).outer_2();
    std::size_t rejected = 0;
    std::size_t uniform_rejected = 0;
    const std::vector<UnitVec> uniform = centres(rng, 3000);
    std::vector<UnitVec> queries = uniform;
    for (const Envelope& box : boxes) {
        const UnitVec corner = normalized(box.lower().x, box.lower().y, box.lower().z);
        for (const double chord : {0.0, 1e-9, 1e-4, 1.5e-4, 1.6e-4, 3e-4, 6.3e-4, 1e-3, 3e-3}) {
            queries.push_back(near(rng, corner, chord));
        }
    }
    for (std::size_t q = 0; q < queries.size(); ++q) {
        if (grid.may_reach(queries[q])) {
            continue;
        }
        ++rejected;
        uniform_rejected += q < uniform.size() ? 1 : 0;
        for (const Envelope& box : boxes) {
            ASSERT_GT(box.distance_2(queries[q]), outer_2) << "query " << q;
        }
    }
    // And it does reject: most of the sphere is far from 314 small boxes.
    EXPECT_GT(uniform_rejected, uniform.size() / 2);
    EXPECT_GT(rejected, uniform_rejected);
}

TEST(CoverageGrid, EmptyRejectsEverythingAndBrokenBoxesNothing) {
    std::mt19937_64 rng(3);
    CoverageGrid empty;
    CoverageGrid inverted;
    inverted.cover(Envelope::new_empty());
    CoverageGrid nan_box;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    nan_box.cover(Envelope::from_point(UnitVec{nan, 0, 0}));
    for (const UnitVec& p : centres(rng, 200)) {
        EXPECT_FALSE(empty.may_reach(p));
        EXPECT_TRUE(inverted.may_reach(p));
        EXPECT_TRUE(nan_box.may_reach(p));
    }
    EXPECT_TRUE(empty.may_reach(UnitVec{nan, nan, nan}));
}

TEST(CoverageGrid, AppliesFromZeroToOneKilometre) {
    for (const double radius : {0.0, 1e-300, 50.0, 1000.0}) {
        EXPECT_TRUE(CoverageGrid::applies_to(radius)) << radius;
    }
    for (const double radius : {-1.0, 1000.001, 1e7, std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_FALSE(CoverageGrid::applies_to(radius)) << radius;
    }
}

}  // namespace
}  // namespace sferix::indexed
