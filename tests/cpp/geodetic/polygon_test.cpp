#include "geodetic/polygon.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/embedding.hpp"
#include "predicates/orient3d.hpp"
#include "rtree/object.hpp"

namespace sferix::geodetic {
namespace {

static_assert(rtree::RTreeObject<GeodeticPolygon>);

UnitVec random_unit(std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    const UnitVec v{normal(rng), normal(rng), normal(rng)};
    return v / norm(v);
}

GeodeticRing ring(std::vector<LonLat> pairs) {
    auto result = GeodeticRing::try_from_lonlat(std::move(pairs));
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return std::move(result).value();
}

GeodeticPolygon polygon(std::vector<LonLat> exterior, std::vector<std::vector<LonLat>> holes = {}) {
    std::vector<GeodeticRing> interiors;
    for (auto& hole : holes) {
        interiors.push_back(ring(std::move(hole)));
    }
    return GeodeticPolygon::try_new(ring(std::move(exterior)), std::move(interiors)).value();
}

std::vector<LonLat> reversed(std::vector<LonLat> pairs) {
    std::reverse(pairs.begin(), pairs.end());
    return pairs;
}

// The ring started at open vertex k, closed again.
std::vector<LonLat> rotated(const std::vector<LonLat>& pairs, std::size_t k) {
    std::vector<LonLat> out(pairs.begin() + static_cast<std::ptrdiff_t>(k), pairs.end() - 1);
    out.insert(out.end(), pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(k));
    out.push_back(out.front());
    return out;
}

// Whether p is strictly left of every edge of a convex ring (the inside of a convex
// counterclockwise ring), and whether it lies exactly on an edge's great circle.
std::pair<bool, bool> left_of_all_edges(const std::vector<LonLat>& pairs, const UnitVec& p) {
    bool left = true;
    bool on = false;
    for (std::size_t k = 0; k + 1 < pairs.size(); ++k) {
        const UnitVec a = embed(pairs[k].lon, pairs[k].lat);
        const UnitVec b = embed(pairs[k + 1].lon, pairs[k + 1].lat);
        const int side = predicates::orient3d_sign({a.x, a.y, a.z}, {b.x, b.y, b.z}, {p.x, p.y, p.z});
        left = left && side > 0;
        on = on || side == 0;
    }
    return {left, on};
}

const std::vector<LonLat> NORTH_CAP = {{0, 80}, {90, 80}, {180, 80}, {-90, 80}, {0, 80}};  // counterclockwise
const std::vector<LonLat> SQUARE = {{-10, -10}, {10, -10}, {10, 10}, {-10, 10}, {-10, -10}};
const std::vector<LonLat> HOLE = {{-2, -2}, {2, -2}, {2, 2}, {-2, 2}, {-2, -2}};

TEST(GeodeticRing, KeepsTheClosingVertex) {
    const GeodeticRing triangle = ring({{0, 0}, {10, 0}, {10, 10}, {0, 0}});
    EXPECT_EQ(triangle.coords().size(), 4u);
    EXPECT_EQ(triangle.vectors().size(), 4u);
    EXPECT_EQ(triangle.vectors()[3], triangle.vectors()[0]);
    // -0.0 closes a ring opened with 0.0; repeats are fine while 3 distinct remain.
    EXPECT_TRUE(GeodeticRing::try_from_lonlat({{0, -0.0}, {10, 0}, {10, 0}, {10, 10}, {10, 0}, {0, 0}}).has_value());
}

struct RejectCase {
    std::vector<LonLat> pairs;
    std::string message;
};

class GeodeticRingRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(GeodeticRingRejects, FirstFailureInValidationOrder) {
    const auto result = GeodeticRing::try_from_lonlat(GetParam().pairs);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), GetParam().message);
}

const std::string UNCLOSED = "polygon ring is not closed (first vertex != last)";

INSTANTIATE_TEST_SUITE_P(
    Cases, GeodeticRingRejects,
    ::testing::Values(
        RejectCase{{{0, 0}, {10, 0}, {0, 0}}, "too few points: found 2, need at least 3"},
        RejectCase{{{0, 0}, {10, 0}, {0, 0}, {10, 0}, {0, 0}}, "too few points: found 2, need at least 3"},
        RejectCase{{{0, 0}, {10, 0}, {0, -0.0}, {0, 0}}, "too few points: found 2, need at least 3"},
        RejectCase{{{5, 5}, {5, 5}}, "too few points: found 1, need at least 3"},
        RejectCase{{{0, 0}, {10, 0}, {10, 10}}, UNCLOSED},
        RejectCase{{{0, 0}}, UNCLOSED},
        RejectCase{{}, UNCLOSED},
        RejectCase{{{180, 10}, {170, 0}, {170, 20}, {-180, 10}}, UNCLOSED},
        // Coordinates before closure, closure before the count, the count before edges.
        RejectCase{{{0, 0}, {10, 95}, {10, 10}}, "latitude 95 outside [-90.0, 90.0]"},
        RejectCase{{{0, 0}, {180, 0}, {1, 1}}, UNCLOSED},
        RejectCase{{{0, 0}, {180, 0}, {0, 0}}, "too few points: found 2, need at least 3"},
        RejectCase{{{0, 0}, {180, 0}, {90, 45}, {0, 0}},
                   "edge 0 spans about 179.9616 degrees or more; its shorter great-circle arc is undefined (densify it first)"},
        RejectCase{{{0, 0}, {10, 0}, {10, 10}, {180, 0}, {0, 0}},
                   "edge 3 spans about 179.9616 degrees or more; its shorter great-circle arc is undefined (densify it first)"}));

TEST(GeodeticPolygon, CapAroundThePoleInBothOrientations) {
    const GeodeticPolygon cap = polygon(NORTH_CAP);
    EXPECT_TRUE(cap.contains_point(embed(0, 90)));
    EXPECT_TRUE(cap.contains_point(embed(45, 85)));
    EXPECT_FALSE(cap.contains_point(embed(0, 0)));
    EXPECT_EQ(cap.envelope().upper().z, 1.0);  // no edge reaches the pole, the region does
    EXPECT_GT(cap.envelope().lower().z, 0.98);
    EXPECT_EQ(cap.distance_2(embed(0, 90)), 0.0);

    const GeodeticPolygon rest = polygon(reversed(NORTH_CAP));
    EXPECT_FALSE(rest.contains_point(embed(0, 90)));
    EXPECT_TRUE(rest.contains_point(embed(0, 0)));
    EXPECT_TRUE(rest.contains_point(embed(0, -90)));
    EXPECT_LT(rest.envelope().upper().z, 0.995);  // the arcs bulge to lat ~82.9
    EXPECT_EQ(rest.envelope().lower(), (UnitVec{-1, -1, -1}));
    EXPECT_EQ(rest.envelope().upper().x, 1.0);
    EXPECT_GT(rest.distance_2(embed(0, 90)), 0.0);
}

// Convex counterclockwise rings contain exactly the points left of every edge; the
// same ring listed clockwise contains the complement.
TEST(GeodeticPolygon, ContainmentMatchesHalfSpacesOfAConvexRing) {
    const std::vector<LonLat> pentagon = {{0, 0}, {40, -5}, {60, 30}, {20, 50}, {-15, 25}, {0, 0}};
    const GeodeticPolygon ccw = polygon(pentagon);
    const GeodeticPolygon cw = polygon(reversed(pentagon));
    std::mt19937_64 rng(5);
    int inside = 0;
    for (int i = 0; i < 4000; ++i) {
        const UnitVec p = random_unit(rng);
        bool left_of_all = true;
        bool near_boundary = false;
        for (std::size_t k = 0; k + 1 < ccw.exterior().vectors().size(); ++k) {
            const double side = dot(cross(ccw.exterior().vectors()[k], ccw.exterior().vectors()[k + 1]), p);
            left_of_all = left_of_all && side > 0;
            near_boundary = near_boundary || std::fabs(side) < 1e-9;
        }
        if (near_boundary) {
            continue;
        }
        inside += left_of_all;
        EXPECT_EQ(ccw.contains_point(p), left_of_all) << i;
        EXPECT_EQ(cw.contains_point(p), !left_of_all) << i;
        for (const GeodeticPolygon* poly : {&ccw, &cw}) {
            if (poly->contains_point(p)) {
                EXPECT_TRUE(poly->envelope().contains_point(p)) << i;
            }
            EXPECT_GE(poly->distance_2(p), poly->envelope().distance_2(p)) << i;
        }
    }
    EXPECT_GT(inside, 50);  // the sample really exercised both sides
}

// Only vertices and points of the equator and of meridian 0 lie exactly on an edge's
// great circle after embedding (z = 0, y = 0); elsewhere rounding picks a side.
TEST(GeodeticPolygon, PointsExactlyOnAConvexBoundaryAreInside) {
    const GeodeticPolygon square = polygon({{0, 10}, {0, 0}, {20, 0}, {20, 10}, {0, 10}});
    EXPECT_TRUE(square.contains_point(embed(10, 0)));
    EXPECT_TRUE(square.contains_point(embed(0, 5)));
    EXPECT_TRUE(square.contains_point(embed(20, 10)));
    EXPECT_TRUE(square.contains_point(embed(0, 0)));
    EXPECT_FALSE(square.contains_point(embed(10, -1e-9)));
}

TEST(GeodeticPolygon, HoleIsOutsideWhateverItsOrientation) {
    for (const auto& hole : {HOLE, reversed(HOLE)}) {
        const GeodeticPolygon holed = polygon(SQUARE, {hole});
        const UnitVec in_hole = embed(0.5, 0);
        EXPECT_FALSE(holed.contains_point(in_hole));
        double nearest_edge = std::numeric_limits<double>::infinity();
        for (const GeodeticRing* r : {&holed.exterior(), &holed.interiors()[0]}) {
            for (std::size_t k = 0; k + 1 < r->vectors().size(); ++k) {
                nearest_edge = std::min(nearest_edge, arc_distance_2(r->vectors()[k], r->vectors()[k + 1], in_hole));
            }
        }
        EXPECT_GT(holed.distance_2(in_hole), 0.0);
        EXPECT_EQ(holed.distance_2(in_hole), nearest_edge);
        EXPECT_EQ(nearest_edge, arc_distance_2(embed(2, -2), embed(2, 2), in_hole));  // the hole's east side
        EXPECT_TRUE(holed.contains_point(embed(5, 5)));
        EXPECT_EQ(holed.distance_2(embed(5, 5)), 0.0);
        const UnitVec outside = embed(20, 0);
        EXPECT_EQ(holed.distance_2(outside), arc_distance_2(embed(10, -10), embed(10, 10), outside));
    }
}

// Regression: with vertex 0 repeated, the first edge has no direction, so the reference
// point must come from the first edge of non-zero length.
TEST(GeodeticPolygon, RepeatedFirstVertexClassifiesLikeTheRingWithoutIt) {
    const GeodeticPolygon plain = polygon({{0, 0}, {30, 0}, {30, 30}, {0, 30}, {0, 0}});
    const GeodeticPolygon repeated = polygon({{0, 0}, {0, 0}, {0, 0}, {30, 0}, {30, 30}, {0, 30}, {0, 0}});
    EXPECT_EQ(repeated.envelope().lower(), plain.envelope().lower());
    EXPECT_EQ(repeated.envelope().upper(), plain.envelope().upper());
    std::mt19937_64 rng(9);
    for (int i = 0; i < 4000; ++i) {
        const UnitVec p = random_unit(rng);
        EXPECT_EQ(repeated.contains_point(p), plain.contains_point(p)) << i;
    }
    EXPECT_TRUE(repeated.contains_point(embed(15, 15)));
    EXPECT_FALSE(repeated.contains_point(embed(-15, 15)));
}

// Distinct coordinates can embed to one vector (a latitude of 5e-324 degrees becomes 0
// radians); such an exterior bounds no area.
TEST(GeodeticPolygon, ExteriorWithoutAreaContainsNothing) {
    const GeodeticPolygon dot_polygon = polygon({{0, 0}, {0, 5e-324}, {0, -5e-324}, {0, 0}});
    EXPECT_FALSE(dot_polygon.contains_point(UnitVec{1, 0, 0}));
    EXPECT_FALSE(dot_polygon.contains_point(embed(100, -40)));
    EXPECT_EQ(dot_polygon.distance_2(UnitVec{1, 0, 0}), 0.0);  // measured to its edges
    EXPECT_EQ(dot_polygon.envelope().upper().x, 1 + BOX_MARGIN);
}

// Check fix for the reference point being assumed inside: 0.64 m left of a 1 cm first
// edge at the wedge's tip it lies outside, which inverted every answer.
TEST(GeodeticPolygon, NarrowTipAtTheFirstEdgeFromEveryStart) {
    const std::vector<LonLat> wedge = {{0, 0}, {1e-7, 0}, {-1, 0.2}, {-1, -0.2}, {0, 0}};
    for (std::size_t k = 0; k + 1 < wedge.size(); ++k) {
        for (const Fill fill : {Fill::LeftOfExterior, Fill::SmallerRegion}) {
            const GeodeticPolygon p =
                GeodeticPolygon::try_new(ring(rotated(wedge, k)), {}, fill).value();
            EXPECT_TRUE(p.contains_point(embed(-0.5, 0))) << k;
            EXPECT_TRUE(p.contains_point(embed(-0.99, 0.19))) << k;
            EXPECT_FALSE(p.contains_point(embed(90, 0))) << k;
            EXPECT_FALSE(p.contains_point(embed(-0.5, 0.2))) << k;
            EXPECT_GT(p.envelope().lower().x, 0.99) << k;  // no axis point but (1, 0, 0) inside
        }
        EXPECT_FALSE(polygon(reversed(rotated(wedge, k))).contains_point(embed(-0.5, 0))) << k;
    }
}

// Triangles 0.1 to 0.5 m across (all came out inverted before), from every start vertex
// and both directions, against the half-spaces of their edges.
TEST(GeodeticPolygon, TinyTrianglesFromEveryStartAndDirection) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> lon(-179, 179);
    std::uniform_real_distribution<double> lat(-80, 80);
    std::uniform_real_distribution<double> offset(-3e-6, 3e-6);  // degrees; 3e-6 deg is 0.33 m
    for (int t = 0; t < 200; ++t) {
        const double lon0 = lon(rng);
        const double lat0 = lat(rng);
        std::vector<LonLat> tri = {{lon0, lat0}, {lon0 + offset(rng), lat0 + offset(rng)},
                                   {lon0 + offset(rng), lat0 + offset(rng)}};
        tri.push_back(tri.front());
        const UnitVec a = embed(tri[0].lon, tri[0].lat);
        if (dot(cross(a, embed(tri[1].lon, tri[1].lat)), embed(tri[2].lon, tri[2].lat)) < 0) {
            tri = reversed(tri);  // counterclockwise
        }
        std::vector<UnitVec> probes = {embed(lon0 + 90, -lat0)};
        for (int i = 0; i < 20; ++i) {
            probes.push_back(embed(lon0 + offset(rng), lat0 + offset(rng)));
        }
        for (std::size_t k = 0; k < 3; ++k) {
            const std::vector<LonLat> ccw = rotated(tri, k);
            const GeodeticPolygon given = polygon(ccw);
            const GeodeticPolygon cw = polygon(reversed(ccw));
            const GeodeticPolygon cw_smaller =
                GeodeticPolygon::from_rings(ring(reversed(ccw)), {}, Fill::SmallerRegion);
            for (const UnitVec& q : probes) {
                const auto [inside, near] = left_of_all_edges(ccw, q);
                if (near) {
                    continue;
                }
                EXPECT_EQ(given.contains_point(q), inside) << t << " " << k;
                EXPECT_EQ(cw.contains_point(q), !inside) << t << " " << k;
                EXPECT_EQ(cw_smaller.contains_point(q), inside) << t << " " << k;
            }
        }
    }
}

// Check fix for a hole 0.33 m from the first exterior edge of a 1.1 km square, which
// put the assumed-inside reference point in the hole.
TEST(GeodeticPolygon, HoleNextToTheFirstEdge) {
    const std::vector<LonLat> square = {{0, 0}, {0.01, 0}, {0.01, 0.01}, {0, 0.01}, {0, 0}};
    const std::vector<LonLat> hole = {{0.004, 3e-6}, {0.006, 3e-6}, {0.006, 0.001}, {0.004, 0.001}, {0.004, 3e-6}};
    for (std::size_t k = 0; k < 4; ++k) {
        const GeodeticPolygon p = polygon(rotated(square, k), {hole});
        EXPECT_TRUE(p.contains_point(embed(0.002, 0.005))) << k;
        EXPECT_FALSE(p.contains_point(embed(0.005, 0.0005))) << k;
        EXPECT_FALSE(p.contains_point(embed(0.02, 0.005))) << k;
    }
}

// A spike out and back along one arc bounds nothing, from whichever vertex the ring
// starts, also at the spike's tip.
TEST(GeodeticPolygon, SpikeFromEveryStart) {
    const std::vector<LonLat> spiked = {{0, 0}, {10, 0}, {10, 5}, {20, 5}, {10, 5}, {10, 10}, {0, 10}, {0, 0}};
    for (std::size_t k = 0; k + 1 < spiked.size(); ++k) {
        for (const Fill fill : {Fill::LeftOfExterior, Fill::SmallerRegion}) {
            const GeodeticPolygon p = GeodeticPolygon::try_new(ring(rotated(spiked, k)), {}, fill).value();
            EXPECT_TRUE(p.contains_point(embed(5, 5))) << k;
            EXPECT_FALSE(p.contains_point(embed(15, 4))) << k;
            EXPECT_FALSE(p.contains_point(embed(-100, 0))) << k;
        }
    }
}

// Check fix for a spike of Sudan in Natural Earth: the arc after the spike's base
// crosses the arc into its tip (great-circle arcs bow away from the straight lines the
// data was drawn with), so the ring is left of the sliver at the tip but right of it
// everywhere else. Judged at the tip, the polygon came out as the rest of the world.
TEST(GeodeticPolygon, SpikeWhoseNeighbourCrossesItFromEveryStart) {
    const std::vector<LonLat> spiked = {
        {24.567369012152085, 8.229187933785468},  {23.886979580860668, 8.619729712933065},
        {24.19406772118765, 8.728696472403897},   {24.53741516360202, 8.91753756573172},
        {24.5, 12},                               {23, 12},
        {23.459012892355986, 8.954285793488893},  {23.805813429466752, 8.666318874542526},
        {24.567369012152085, 8.229187933785468},
    };
    for (std::size_t k = 0; k + 1 < spiked.size(); ++k) {
        const GeodeticPolygon p = polygon(rotated(spiked, k));
        EXPECT_TRUE(p.contains_point(embed(23.8, 10.5))) << k;
        EXPECT_FALSE(p.contains_point(embed(150, -20))) << k;
        EXPECT_FALSE(p.contains_point(embed(-30, 30))) << k;
    }
}

// Rings bounding more than a hemisphere are taken as the other side with SmallerRegion;
// those bounding less are kept, in either direction.
TEST(GeodeticPolygon, SmallerRegionPicksTheSideUnderAHemisphere) {
    const auto band = [](double lat) {
        std::vector<LonLat> pairs;
        for (int lon = 0; lon < 360; lon += 30) {
            pairs.push_back({lon > 180 ? lon - 360.0 : double(lon), lat});
        }
        pairs.push_back(pairs.front());
        return pairs;
    };
    for (const double lat : {10.0, -10.0, 60.0, -60.0}) {
        const bool north_is_smaller = lat > 0;
        for (const auto& pairs : {band(lat), reversed(band(lat))}) {
            const GeodeticPolygon p = GeodeticPolygon::try_new(ring(pairs), {}, Fill::SmallerRegion).value();
            EXPECT_EQ(p.contains_point(UnitVec{0, 0, 1}), north_is_smaller) << lat;
            EXPECT_EQ(p.contains_point(UnitVec{0, 0, -1}), !north_is_smaller) << lat;
        }
    }
    // No hemisphere holds a ring zigzagging around the equator; the area sum decides.
    std::vector<LonLat> zigzag;
    for (int lon = -180; lon < 180; lon += 30) {
        zigzag.push_back({double(lon), lon % 60 == 0 ? 0.0 : 20.0});
    }
    zigzag.push_back(zigzag.front());
    for (const auto& pairs : {zigzag, reversed(zigzag)}) {
        const GeodeticPolygon p = GeodeticPolygon::try_new(ring(pairs), {}, Fill::SmallerRegion).value();
        EXPECT_TRUE(p.contains_point(UnitVec{0, 0, 1}));
        EXPECT_FALSE(p.contains_point(UnitVec{0, 0, -1}));
    }
    // A hole keeps its meaning: the part of the smaller region outside it.
    const GeodeticPolygon holed =
        GeodeticPolygon::try_new(ring(reversed(SQUARE)), {ring(HOLE)}, Fill::SmallerRegion).value();
    EXPECT_TRUE(holed.contains_point(embed(5, 5)));
    EXPECT_FALSE(holed.contains_point(embed(0, 0)));
    EXPECT_FALSE(holed.contains_point(embed(90, 0)));
}

}  // namespace
}  // namespace sferix::geodetic
