#include "index/location_grid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "index/batch_queries.hpp"
#include "index/within_distance.hpp"
#include "indexed_testing.hpp"

namespace sferix::indexed {
namespace {

using geodetic::GeodeticPoint;
using geodetic::LonLat;
using geodetic::UnitVec;
using geodetic::testing::point;
using geodetic::testing::polygon;
using geodetic::testing::shared_tree;

std::vector<LonLat> circle(double lon, double lat, double radius_degrees, int vertices) {
    std::vector<LonLat> ring;
    for (int k = 0; k <= vertices; ++k) {
        const double angle = 2 * M_PI * (k % vertices) / vertices;
        ring.push_back({lon + radius_degrees * std::cos(angle) / std::cos(lat * M_PI / 180),
                        lat + radius_degrees * std::sin(angle)});
    }
    return ring;
}

// Regions whose answers a grid could get wrong: a cap round a pole, rings across the
// antimeridian, a hole, overlaps, a ring wound clockwise (the rest of the world), long
// slanting edges, an indexed ring (its own containment grid) with a nested ring, and
// small islands.
auto tricky_tree() {
    std::vector<std::shared_ptr<const geodetic::GeodeticPolygon>> polygons = {
        polygon({{0, 80}, {120, 80}, {-120, 80}, {0, 80}}),
        polygon({{170, -20}, {-170, -20}, {-170, 10}, {170, 10}, {170, -20}}),
        polygon({{-40, -40}, {40, -40}, {40, 40}, {-40, 40}, {-40, -40}},
                {{{-10, -10}, {10, -10}, {10, 10}, {-10, 10}, {-10, -10}}}),
        polygon({{0, 0}, {60, -30}, {20, 30}, {0, 0}}),
        polygon({{100, -60}, {100, -50}, {110, -50}, {110, -60}, {100, -60}}),  // clockwise
        polygon({{-100, -70}, {-10, 70}, {-120, 60}, {-100, -70}}),
        polygon(circle(-60, -20, 8, 300)),
        polygon(circle(-60, -20, 3, 5)),
    };
    // Enough leaves for batches to use a grid: islands along the equator and 60 degrees.
    for (int k = 0; k < 60; ++k) {
        const double lon = -175.0 + 5.9 * k;
        const double lat = k % 2 == 0 ? 0.5 : 60.5;
        polygons.push_back(polygon({{lon, lat}, {lon + 2, lat}, {lon + 2, lat + 1}, {lon, lat + 1}, {lon, lat}}));
    }
    return shared_tree(polygons);
}

// Places where cells, blocks and faces meet (u or v on a multiple of 1/256), the
// poles, the antimeridian, points on and a hair off the polygons' edges, then random.
std::vector<UnitVec> tricky_points(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> line(0, 512);
    std::vector<UnitVec> out = {geodetic::embed(0, 90), geodetic::embed(0, -90), geodetic::embed(180, 0),
                                geodetic::embed(-180, -15), geodetic::embed(180, 5)};
    for (int k = 0; k < 20000; ++k) {
        double c[3];
        const int a = k % 3;
        c[a] = k % 2 == 0 ? 1.0 : -1.0;
        const double on_line = line(rng) / 256.0 - 1.0;
        c[(a + 1) % 3] = k % 4 < 2 ? on_line : unit(rng);
        c[(a + 2) % 3] = k % 4 < 2 ? unit(rng) : on_line;
        const double n = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        out.push_back({c[0] / n, c[1] / n, c[2] / n});
    }
    const LonLat corners[] = {{0, 80}, {170, -20}, {-170, 10}, {-40, 40}, {-10, -10}, {60, -30}, {110, -50}, {-10, 70}};
    for (const LonLat& c : corners) {
        for (const double off : {0.0, 1e-9, -1e-9, 1e-6, -1e-6}) {
            out.push_back(geodetic::embed(c.lon + off, c.lat + off));
            out.push_back(geodetic::embed(c.lon + off, c.lat));
        }
    }
    for (int k = 0; k < 20000; ++k) {
        out.push_back(geodetic::embed(180 * unit(rng), std::asin(unit(rng)) * 180 / M_PI));
    }
    return out;
}

TEST(LocationGrid, AnswersAsTheWalkWhereverItAnswers) {
    std::mt19937_64 rng(5);
    const auto tree = tricky_tree();
    const auto walk = [&](const GeodeticPoint& q, std::vector<PositionWithMetres>& hits) {
        within_distance(tree, q, 0.0, true, hits);
    };
    const std::optional<LocationGrid> grid = make_location_grid(tree);
    ASSERT_TRUE(grid.has_value());
    std::vector<PositionWithMetres> hits;
    std::size_t answered = 0;
    const std::vector<UnitVec> points = tricky_points(rng);
    for (const UnitVec& p : points) {
        // Asked at the query point nearest p: within a rounding of the cell borders.
        const GeodeticPoint q =
            point(std::atan2(p.y, p.x) * 180 / M_PI, std::atan2(p.z, std::hypot(p.x, p.y)) * 180 / M_PI);
        const auto answer = grid->answer(q.vector());
        if (!answer) {
            continue;
        }
        ++answered;
        walk(q, hits);
        ASSERT_EQ(answer->size(), hits.size()) << q.lon() << ", " << q.lat();
        for (std::size_t k = 0; k < hits.size(); ++k) {
            EXPECT_EQ((*answer)[k].position, hits[k].position) << q.lon() << ", " << q.lat();
            EXPECT_EQ((*answer)[k].metres, hits[k].metres);
        }
    }
    EXPECT_GT(answered, points.size() / 2);
}

TEST(LocationGrid, BatchesAnswerAsTheWalkWithTheGrid) {
    std::mt19937_64 rng(7);
    const auto tree = tricky_tree();
    const std::optional<LocationGrid> grid = make_location_grid(tree);
    ASSERT_TRUE(grid.has_value());
    ASSERT_GE(tree.size(), LOCATION_MIN_ITEMS);
    std::vector<GeodeticPoint> queries;
    std::uniform_real_distribution<double> unit(-1, 1);
    for (int k = 0; k < 3000; ++k) {
        queries.push_back(point(180 * unit(rng), std::asin(unit(rng)) * 180 / M_PI));
    }
    // Radius 0 for most, a few others the grid must leave to the walk.
    std::vector<double> radii(queries.size(), 0.0);
    for (std::size_t k = 0; k < radii.size(); k += 7) {
        radii[k] = 50'000.0;
    }
    std::vector<bool> made;
    const auto location = [&](bool make) {
        made.push_back(make);
        return &*grid;
    };
    for (const bool return_distance : {false, true}) {
        WithinHits walked(return_distance);
        WithinHits located(return_distance);
        const WithinOptions options{.return_distance = return_distance};
        ASSERT_EQ(query_within_distance(tree, queries, radii, options, walked), support::RunOutcome::Finished);
        ASSERT_EQ(query_within_distance(tree, queries, radii, options, located, {.workers = 2}, NoCoverage{}, location),
                  support::RunOutcome::Finished);
        ASSERT_EQ(walked.size(), located.size());
        std::vector<std::int64_t> q1(walked.size()), p1(walked.size()), q2(walked.size()), p2(walked.size());
        std::vector<double> m1(return_distance ? walked.size() : 0), m2(m1.size());
        walked.write(q1, p1, m1);
        located.write(q2, p2, m2);
        EXPECT_EQ(q1, q2);
        EXPECT_EQ(p1, p2);
        EXPECT_EQ(m1, m2);
    }
    EXPECT_EQ(made, (std::vector<bool>{false, false}));
}

}  // namespace
}  // namespace sferix::indexed
