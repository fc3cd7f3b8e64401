#include "index/coverage_grid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "geodetic/embedding.hpp"
#include "geodetic/radius.hpp"
#include "index/leaf_coverage.hpp"
#include "indexed_testing.hpp"

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
// grid answers for, as the walk measures it; and every such box is listed, in order.
TEST(CoverageGrid, RejectsOnlyQueriesFarFromEveryBoxAndListsTheNearOnes) {
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
        grid.cover(box, static_cast<std::uint32_t>(boxes.size()));
        boxes.push_back(box);
    }
    grid.finish();
    ASSERT_TRUE(grid.keeps_lists());
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
        const std::span<const std::uint32_t> listed = grid.candidates(queries[q]).value();
        ASSERT_TRUE(std::is_sorted(listed.begin(), listed.end()));
        for (std::uint32_t id = 0; id < boxes.size(); ++id) {
            if (boxes[id].distance_2(queries[q]) <= outer_2) {
                ASSERT_TRUE(std::binary_search(listed.begin(), listed.end(), id)) << "query " << q << " box " << id;
            }
        }
        if (grid.may_reach(queries[q])) {
            continue;
        }
        ASSERT_TRUE(listed.empty());
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

// Boxes that would each list thousands of cells drop the lists; rejecting still works.
TEST(CoverageGrid, LargeBoxesDropTheLists) {
    CoverageGrid grid;
    for (std::uint32_t id = 0; id < 10; ++id) {
        grid.cover(Envelope::from_corners(UnitVec{0.3, -0.8, -0.6}, UnitVec{1.0, 0.8, 0.6}), id);
    }
    grid.finish();
    EXPECT_FALSE(grid.keeps_lists());
    EXPECT_FALSE(grid.candidates(geodetic::embed(0, 0)).has_value());
    EXPECT_TRUE(grid.may_reach(geodetic::embed(0, 0)));
    EXPECT_FALSE(grid.may_reach(geodetic::embed(180, 0)));
}

// Thousands of boxes around nearly the whole sphere (clockwise rings read as the rest
// of the world) mark everything once the marking passes its budget, leaving every
// query to the walk, instead of a pass over most cells per box.
TEST(CoverageGrid, ManyWorldSizedBoxesMarkEverything) {
    CoverageGrid grid;
    for (std::uint32_t id = 0; id < 5000; ++id) {
        grid.cover(Envelope::from_corners(UnitVec{-1.0, -1.0, -0.99}, UnitVec{1.0, 1.0, 1.0}), id);
    }
    grid.finish();
    EXPECT_FALSE(grid.keeps_lists());
    std::mt19937_64 rng(5);
    for (const UnitVec& p : centres(rng, 100)) {
        EXPECT_TRUE(grid.may_reach(p));
    }
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

// The answers of the grid are the walk's: the same leaves, distances and order, on
// polygons (holes, caps around the poles) and linestrings (some across ±180), for
// queries on, beside and far from them; radii the grid does not cover are refused.
template <typename G>
void expect_walk_answers(const indexed::GeodeticRTree<IndexedLeaf<G>>& tree, const std::vector<UnitVec>& near_points,
                         std::mt19937_64& rng) {
    const LeafCoverage<IndexedLeaf<G>> coverage(tree);
    ASSERT_TRUE(coverage.grid().keeps_lists());
    std::vector<geodetic::GeodeticPoint> queries;
    std::uniform_real_distribution<double> lon(-180, 180);
    std::uniform_real_distribution<double> z(-1, 1);
    for (std::size_t i = 0; i < 1500; ++i) {
        queries.push_back(geodetic::testing::point(lon(rng), std::asin(z(rng)) * 180 / M_PI));
    }
    for (const UnitVec& v : near_points) {
        for (const double chord : {0.0, 1e-5, 1.5e-4}) {
            const UnitVec q = near(rng, v, chord);
            queries.push_back(geodetic::testing::point(std::atan2(q.y, q.x) * 180 / M_PI, std::asin(q.z) * 180 / M_PI));
        }
    }
    std::size_t answered = 0;
    std::size_t found = 0;
    for (const geodetic::GeodeticPoint& query : queries) {
        for (const double radius : {0.0, 1.0, 800.0, 1000.0, 1000.5, -1.0}) {
            std::vector<std::pair<std::uint64_t, double>> got;
            const bool done = coverage.within_distance(tree, query, radius, [&](const auto& leaf, double distance_2) {
                got.emplace_back(leaf.data(), distance_2);
            });
            ASSERT_EQ(done, CoverageGrid::applies_to(radius));
            if (!done) {
                ASSERT_TRUE(got.empty());
                continue;
            }
            std::vector<std::pair<std::uint64_t, double>> walked;
            for (const auto& [leaf, distance_2] : tree.locate_within_distance(query, radius)) {
                walked.emplace_back(leaf->data(), distance_2);
            }
            ASSERT_EQ(got, walked) << query.lon() << " " << query.lat() << " radius " << radius;
            ++answered;
            found += got.size();
        }
    }
    EXPECT_GT(found, near_points.size());
    EXPECT_GT(answered, queries.size());
}

// Where many boxes crowd one cell, the cell is left to the walk; elsewhere the lists
// still answer.
TEST(CoverageGrid, CrowdedCellsAreLeftToTheWalk) {
    std::mt19937_64 rng(8);
    CoverageGrid grid;
    const UnitVec city = geodetic::embed(2.35, 48.86);
    const UnitVec village = geodetic::embed(-60, -20);
    for (std::uint32_t id = 0; id < 200; ++id) {
        grid.cover(Envelope::from_point(near(rng, id < 190 ? city : village, 1e-4)), id);
    }
    grid.finish();
    EXPECT_FALSE(grid.candidates(city).has_value());
    EXPECT_TRUE(grid.may_reach(city));
    EXPECT_EQ(grid.candidates(village).value().size(), 10U);
    EXPECT_TRUE(grid.candidates(geodetic::embed(100, 10)).value().empty());
}

TEST(LeafCoverage, AnswersAsTheWalk) {
    std::mt19937_64 rng(17);
    const auto polygons = geodetic::testing::random_polygons(rng, 2000);
    std::vector<UnitVec> vertices;
    for (const auto& polygon : polygons) {
        vertices.push_back(polygon->exterior().vectors().front());
    }
    expect_walk_answers(geodetic::testing::shared_tree(polygons), vertices, rng);
    const auto lines = geodetic::testing::random_linestrings(rng, 2000);
    vertices.clear();
    for (const auto& line : lines) {
        vertices.push_back(line->vectors().back());
    }
    expect_walk_answers(geodetic::testing::shared_tree(lines), vertices, rng);
}

}  // namespace
}  // namespace sferix::indexed
