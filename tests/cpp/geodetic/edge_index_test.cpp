#include "geodetic/edge_index.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "geodetic/chain.hpp"
#include "geodetic/crossing.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/linestring.hpp"
#include "geodetic/polygon.hpp"

namespace sferix::geodetic {
namespace {

constexpr double DEG = std::numbers::pi / 180.0;

// n vertices at radius_deg (times 1 ± wiggle) around (lon0, lat0), counterclockwise, closed.
std::vector<LonLat> circle(double lon0, double lat0, double radius_deg, std::size_t n, double wiggle = 0.0,
                           unsigned seed = 1) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> jitter(1.0 - wiggle, 1.0 + wiggle);
    std::vector<LonLat> out;
    const double phi0 = lat0 * DEG;
    for (std::size_t k = 0; k < n; ++k) {
        const double delta = radius_deg * DEG * jitter(rng);
        const double bearing = (90.0 - 360.0 * static_cast<double>(k) / static_cast<double>(n)) * DEG;
        const double phi = std::asin(std::sin(phi0) * std::cos(delta) + std::cos(phi0) * std::sin(delta) * std::cos(bearing));
        const double lambda = lon0 * DEG + std::atan2(std::sin(bearing) * std::sin(delta) * std::cos(phi0),
                                                      std::cos(delta) - std::sin(phi0) * std::sin(phi));
        double lon = std::remainder(lambda / DEG, 360.0);
        out.push_back({lon, std::clamp(phi / DEG, -90.0, 90.0)});
    }
    out.push_back(out.front());
    return out;
}

std::vector<LonLat> reversed(std::vector<LonLat> pairs) {
    std::reverse(pairs.begin(), pairs.end());
    return pairs;
}

GeodeticRing ring(std::vector<LonLat> pairs) { return GeodeticRing::try_from_lonlat(std::move(pairs)).value(); }

struct Shape {
    std::string name;
    std::vector<LonLat> exterior;
    std::vector<std::vector<LonLat>> holes;
    Fill fill = Fill::LeftOfExterior;
};

std::vector<Shape> shapes() {
    return {
        {"Circle", circle(20.0, 40.0, 5.0, 5000), {}, Fill::LeftOfExterior},
        {"Jagged", circle(20.0, 40.0, 5.0, 3000, 0.3, 7), {}, Fill::LeftOfExterior},
        {"NorthPoleCap", circle(0.0, 90.0, 10.0, 2000, 0.05), {}, Fill::LeftOfExterior},
        {"SouthPoleClockwise", reversed(circle(0.0, -90.0, 20.0, 1000, 0.2)), {}, Fill::LeftOfExterior},
        {"Antimeridian", circle(180.0, -16.0, 3.0, 2000, 0.1), {}, Fill::LeftOfExterior},
        {"WithHoles",
         circle(-60.0, 10.0, 8.0, 3000, 0.1),
         {reversed(circle(-60.0, 10.0, 2.0, 500, 0.2, 3)), reversed(circle(-55.0, 12.0, 1.0, 100, 0.0))},
         Fill::LeftOfExterior},
        {"LargerThanAHemisphere", reversed(circle(100.0, 30.0, 60.0, 4000, 0.02)), {}, Fill::LeftOfExterior},
        {"SmallerRegionOfAClockwiseRing", reversed(circle(100.0, 30.0, 60.0, 4000, 0.02)), {}, Fill::SmallerRegion},
    };
}

UnitVec random_unit(std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    const UnitVec v{normal(rng), normal(rng), normal(rng)};
    return v / norm(v);
}

// Queries that stress the rule: random ones everywhere and near the boundary, the
// vertices, points on edges and on their great circles beyond them, antipodes of
// vertices, and the axis points.
std::vector<UnitVec> queries(const std::vector<std::vector<UnitVec>>& rings, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<UnitVec> out;
    for (int i = 0; i < 300; ++i) {
        out.push_back(random_unit(rng));
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (const auto& vectors : rings) {
        std::uniform_int_distribution<std::size_t> pick(0, vectors.size() - 2);
        for (int i = 0; i < 150; ++i) {
            const std::size_t k = pick(rng);
            const UnitVec& a = vectors[k];
            const UnitVec& b = vectors[k + 1];
            const UnitVec mid = (a + b) / norm(a + b);
            const UnitVec n = cross(a, b) / norm(cross(a, b));
            const double off = std::pow(10.0, -1.0 - 11.0 * unit(rng)) * (unit(rng) < 0.5 ? -1.0 : 1.0);
            const UnitVec near = mid + off * n;
            out.push_back(near / norm(near));
            out.push_back(a);
            out.push_back(-1.0 * a);
            out.push_back(mid);
            const UnitVec beyond = 3.0 * b - 2.0 * a;
            out.push_back(beyond / norm(beyond));
        }
    }
    for (const UnitVec axis : {UnitVec{1, 0, 0}, UnitVec{-1, 0, 0}, UnitVec{0, 1, 0}, UnitVec{0, -1, 0},
                               UnitVec{0, 0, 1}, UnitVec{0, 0, -1}}) {
        out.push_back(axis);
    }
    return out;
}

class PolygonEdgeIndex : public testing::TestWithParam<Shape> {};

TEST_P(PolygonEdgeIndex, AnswersExactlyAsTheFullScan) {
    const Shape& shape = GetParam();
    std::vector<GeodeticRing> holes;
    for (const auto& hole : shape.holes) {
        holes.push_back(ring(hole));
    }
    const GeodeticPolygon polygon = GeodeticPolygon::try_new(ring(shape.exterior), std::move(holes), shape.fill).value();
    ASSERT_TRUE(polygon.has_edge_index());
    std::vector<std::vector<UnitVec>> rings{polygon.exterior().vectors()};
    for (const GeodeticRing& hole : polygon.interiors()) {
        rings.push_back(hole.vectors());
    }
    Envelope box = Envelope::new_empty();
    for (const auto& vectors : rings) {
        merge_arc_boxes(vectors, box);
    }
    std::size_t inside = 0;
    for (const UnitVec& q : queries(rings, 11)) {
        const bool expected = polygon.contains_point_by_full_count(q);
        ASSERT_EQ(polygon.contains_point(q), expected) << q.x << " " << q.y << " " << q.z;
        double scan_2 = std::numeric_limits<double>::infinity();
        for (const auto& vectors : rings) {
            scan_2 = std::min(scan_2, chain_distance_2(vectors, q));
        }
        const double want_2 = expected ? 0.0 : scan_2;
        ASSERT_EQ(polygon.distance_2(q), want_2);
        for (const double bound : {0.0, want_2, std::nextafter(want_2, 0.0), 1e-6, 4.0}) {
            const std::optional<double> within = polygon.distance_2_if_less_or_equal(q, bound);
            ASSERT_EQ(within.has_value(), want_2 <= bound);
            if (within) {
                ASSERT_EQ(*within, want_2);
            }
        }
        inside += expected;
    }
    EXPECT_GT(inside, 0u);
    // The envelope is the union of the arc boxes, extended only by contained axis points.
    for (std::size_t axis = 0; axis < 3; ++axis) {
        EXPECT_LE(polygon.envelope().lower()[axis], box.lower()[axis]);
        EXPECT_GE(polygon.envelope().upper()[axis], box.upper()[axis]);
    }
}

INSTANTIATE_TEST_SUITE_P(Rings, PolygonEdgeIndex, testing::ValuesIn(shapes()),
                         [](const testing::TestParamInfo<Shape>& shape) { return shape.param.name; });

TEST(LineStringEdgeIndex, MeasuresExactlyAsTheFullScan) {
    std::vector<LonLat> path = circle(170.0, 60.0, 25.0, 3000, 0.4, 5);
    path.pop_back();
    const GeodeticLineString line = GeodeticLineString::try_from_lonlat(path).value();
    ASSERT_TRUE(line.has_edge_index());
    EXPECT_EQ(line.envelope().lower(), arc_aware_bounding_box(line.vectors()).lower());
    EXPECT_EQ(line.envelope().upper(), arc_aware_bounding_box(line.vectors()).upper());
    for (const UnitVec& q : queries({line.vectors()}, 12)) {
        const double want_2 = chain_distance_2(line.vectors(), q);
        ASSERT_EQ(line.distance_2(q), want_2);
        for (const double bound : {0.0, want_2, std::nextafter(want_2, 0.0)}) {
            ASSERT_EQ(line.distance_2_if_less_or_equal(q, bound).has_value(), want_2 <= bound);
        }
    }
    EXPECT_FALSE(line.distance_2_if_less_or_equal(line.vectors()[0], std::nan("")).has_value());
}

TEST(LineStringEdgeIndex, SmallLinesKeepNoIndex) {
    std::vector<LonLat> path = circle(0.0, 0.0, 1.0, EdgeIndex::MIN_INDEXED_EDGES);
    path.pop_back();
    EXPECT_FALSE(GeodeticLineString::try_from_lonlat(path).value().has_edge_index());
    path.push_back(path.front());
    EXPECT_TRUE(GeodeticLineString::try_from_lonlat(path).value().has_edge_index());
}

// The vectors of a jagged ring of 999 edges round (0, 0), 30 degrees in radius.
std::vector<UnitVec> jagged_ring() {
    return embed_all(GeodeticRing::try_from_lonlat(circle(0.0, 0.0, 30.0, 999, 0.5, 9)).value().coords());
}

// Runs visited for an arc must include every edge with a point in the arc's box and
// plane: checked against the edges the four-sign test finds crossing random arcs.
TEST(EdgeIndex, VisitsEveryRunAnArcCrosses) {
    const std::vector<UnitVec> chain = jagged_ring();
    const std::span<const UnitVec> span(chain);
    const EdgeIndex index = EdgeIndex::build(std::span(&span, 1));
    std::mt19937_64 rng(3);
    for (int i = 0; i < 300; ++i) {
        const UnitVec s = random_unit(rng);
        UnitVec t = s + 0.5 * random_unit(rng);
        t = t / norm(t);
        std::vector<bool> visited(chain.size(), false);
        index.for_each_run_near_arc(Envelope::from_corners(UnitVec{-2, -2, -2}, UnitVec{2, 2, 2}), cross(s, t),
                                    [&](const EdgeRun& run, const Envelope&) {
                                        for (std::size_t k = run.first; k < run.end; ++k) {
                                            visited[k] = true;
                                        }
                                    });
        for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
            const double da = dot(cross(s, t), chain[k]);
            const double db = dot(cross(s, t), chain[k + 1]);
            if ((da < 0.0) != (db < 0.0)) {
                ASSERT_TRUE(visited[k]) << "edge " << k << " meets the plane but was not visited";
            }
        }
    }
}

// The shortcuts taken before an exact sign must not change an answer: the edge-circle
// test of a point against the path from it to itself, and antiparallel pairs told by
// their rounded products, on vertices (always on an edge's circle), points near edges
// and exact and one-bit-off antipodes.
TEST(EdgeIndex, ShortcutsAnswerAsTheExactTests) {
    const std::vector<UnitVec> chain = jagged_ring();
    const std::span<const UnitVec> span(chain);
    const EdgeIndex index = EdgeIndex::build(std::span(&span, 1));
    const ChainSource chains{&span, [](const void* owner, std::uint32_t) noexcept {
                                 return *static_cast<const std::span<const UnitVec>*>(owner);
                             }};
    std::mt19937_64 rng(5);
    for (std::size_t k = 0; k + 1 < chain.size(); k += 7) {
        UnitVec middle = chain[k] + chain[k + 1];
        middle = middle / norm(middle);
        for (const UnitVec& p : {chain[k], middle, random_unit(rng)}) {
            ASSERT_EQ(on_edge_circle_near(index, chains, p), count_crossings_near(index, chains, p, p).end_on_edge_circle);
        }
        const UnitVec a = random_unit(rng);
        UnitVec off = -1.0 * a;
        off.y = std::nextafter(off.y, 2.0);
        EXPECT_TRUE(are_antiparallel(a, -1.0 * a));
        EXPECT_FALSE(are_antiparallel(a, off));
    }
    EXPECT_TRUE(are_antiparallel(UnitVec{0, 0, 1}, UnitVec{0, 0, -1}));
    EXPECT_FALSE(are_antiparallel(UnitVec{0, 0, 1}, UnitVec{0, 1e-300, -1}));
}

}  // namespace
}  // namespace sferix::geodetic
