#include "geodetic/relate.hpp"

#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/embedding.hpp"

namespace sferix::geodetic {
namespace {

// Exact rational vectors: the oracle below decides with them alone.
struct QVec {
    mpq_class x, y, z;
};
QVec exact(const UnitVec& v) { return {v.x, v.y, v.z}; }
QVec cross(const QVec& a, const QVec& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
mpq_class dot(const QVec& a, const QVec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
bool is_zero(const QVec& v) { return v.x == 0 && v.y == 0 && v.z == 0; }
QVec negated(const QVec& v) { return {-v.x, -v.y, -v.z}; }

// Whether the direction p lies on the shorter arc between the directions a and b:
// p = αa + βb with α, β ≥ 0, solved exactly; dependent a, b stand for their rays only.
bool in_cone(const QVec& a, const QVec& b, const QVec& p) {
    const QVec n = cross(a, b);
    if (is_zero(n)) {
        return (is_zero(cross(p, a)) && dot(p, a) > 0) || (is_zero(cross(p, b)) && dot(p, b) > 0);
    }
    return dot(n, p) == 0 && dot(cross(p, b), n) >= 0 && dot(cross(a, p), n) >= 0;
}

// Whether the arcs share a direction: on the line where their planes meet, or, in one
// plane, at an endpoint of one inside the other.
bool arcs_meet_exactly(const UnitVec& a, const UnitVec& b, const UnitVec& c, const UnitVec& d) {
    const QVec qa = exact(a), qb = exact(b), qc = exact(c), qd = exact(d);
    const QVec line = cross(cross(qa, qb), cross(qc, qd));
    if (is_zero(line)) {
        return in_cone(qa, qb, qc) || in_cone(qa, qb, qd) || in_cone(qc, qd, qa) || in_cone(qc, qd, qb);
    }
    for (const QVec& x : {line, negated(line)}) {
        if (in_cone(qa, qb, x) && in_cone(qc, qd, x)) {
            return true;
        }
    }
    return false;
}

// Small integer directions: coplanar, collinear, shared and repeated ones abound.
UnitVec small_direction(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> coordinate(-2, 2);
    for (;;) {
        const UnitVec v{double(coordinate(rng)), double(coordinate(rng)), double(coordinate(rng))};
        if (v != UnitVec{0, 0, 0}) {
            return v;
        }
    }
}

// Not antipodal directions, so that the shorter arc is defined.
bool is_arc(const UnitVec& a, const UnitVec& b) { return !(is_zero(cross(exact(a), exact(b))) && dot(a, b) < 0); }

TEST(ArcRelations, AgreeWithExactRationalsOnDegenerateIntegerDirections) {
    std::mt19937_64 rng(26);
    int met = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        const UnitVec a = small_direction(rng), b = small_direction(rng);
        const UnitVec c = small_direction(rng), d = small_direction(rng);
        if (!is_arc(a, b) || !is_arc(c, d)) {
            continue;
        }
        ASSERT_EQ(on_arc(a, b, c), in_cone(exact(a), exact(b), exact(c))) << trial;
        const bool expected = arcs_meet_exactly(a, b, c, d);
        ASSERT_EQ(arcs_meet(a, b, c, d), expected) << trial;
        ASSERT_EQ(arcs_meet(c, d, b, a), expected) << trial;
        met += expected;
    }
    EXPECT_GT(met, 1000);
}

// Short arcs around the poles and across the antimeridian, sharing vertices.
TEST(ArcRelations, AgreeWithExactRationalsNearPolesAndAntimeridian) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> lon(-1.0, 1.0);
    std::uniform_real_distribution<double> lat(-1.0, 1.0);
    for (const LonLat centre : {LonLat{180.0, 0.0}, LonLat{0.0, 89.5}, LonLat{-120.0, -89.5}}) {
        std::vector<UnitVec> pool;
        for (int i = 0; i < 12; ++i) {
            double x = centre.lon + lon(rng);
            x = x > 180.0 ? x - 360.0 : x;
            pool.push_back(embed(x, std::clamp(centre.lat + lat(rng), -90.0, 90.0)));
        }
        for (const UnitVec& a : pool) {
            for (const UnitVec& b : pool) {
                for (const UnitVec& c : pool) {
                    const UnitVec& d = pool[(&c - pool.data() + 5) % pool.size()];
                    ASSERT_EQ(arcs_meet(a, b, c, d), arcs_meet_exactly(a, b, c, d));
                }
            }
        }
    }
}

GeodeticPolygon polygon(std::vector<LonLat> exterior, std::vector<std::vector<LonLat>> holes = {}) {
    std::vector<GeodeticRing> interiors;
    for (auto& hole : holes) {
        interiors.push_back(GeodeticRing::try_from_lonlat(std::move(hole)).value());
    }
    return GeodeticPolygon::try_new(GeodeticRing::try_from_lonlat(std::move(exterior)).value(), std::move(interiors))
        .value();
}
GeodeticLineString line(std::vector<LonLat> pairs) { return GeodeticLineString::try_from_lonlat(std::move(pairs)).value(); }
UnitVec at(double lon, double lat) { return embed(lon, lat); }

struct Expected {
    bool intersects;
    bool a_covers_b;
    bool b_covers_a;
};

void expect_relations(const Part& a, const Part& b, const Expected& expected) {
    EXPECT_EQ(intersects(a, b), expected.intersects);
    EXPECT_EQ(intersects(b, a), expected.intersects);
    EXPECT_EQ(covers(a, b), expected.a_covers_b);
    EXPECT_EQ(covers(b, a), expected.b_covers_a);
    EXPECT_EQ(distance_2_within(a, b, 1.0) == std::optional<double>(0.0), expected.intersects);
}

// The equator and the prime meridian embed exactly in one plane, so edges on them are
// exactly collinear and vertices exactly on edges.
TEST(PartRelations, DegenerateContactsFollowTheClosedDefinitions) {
    const GeodeticPolygon north = polygon({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}});
    const GeodeticPolygon south = polygon({{0, 0}, {0, -10}, {10, -10}, {10, 0}, {0, 0}});
    const GeodeticPolygon inner = polygon({{0, 0}, {5, 0}, {5, 5}, {0, 5}, {0, 0}});
    const GeodeticPolygon holed = polygon({{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}},
                                          {{{2, 2}, {2, 4}, {4, 4}, {4, 2}, {2, 2}}});
    const GeodeticPolygon corner = polygon({{10, 10}, {20, 10}, {20, 20}, {10, 20}, {10, 10}});
    const GeodeticLineString along = line({{2, 0}, {8, 0}});         // on the shared edge
    const GeodeticLineString overhang = line({{5, 0}, {15, 0}});     // leaves the edge at lon 10
    const GeodeticLineString through_hole = line({{1, 3}, {9, 3}});  // crosses the hole

    expect_relations(Part::of(north), Part::of(south), {true, false, false});
    expect_relations(Part::of(north), Part::of(inner), {true, true, false});
    expect_relations(Part::of(north), Part::of(corner), {true, false, false});
    expect_relations(Part::of(north), Part::of(along), {true, true, false});
    expect_relations(Part::of(south), Part::of(along), {true, true, false});
    expect_relations(Part::of(north), Part::of(overhang), {true, false, false});
    expect_relations(Part::of(north), Part::of(through_hole), {true, true, false});
    expect_relations(Part::of(holed), Part::of(through_hole), {true, false, false});
    expect_relations(Part::of(holed), Part::of(inner), {true, false, false});
    expect_relations(Part::of(overhang), Part::of(along), {true, false, false});
    expect_relations(Part::of(line({{0, 0}, {10, 0}})), Part::of(along), {true, true, false});
    expect_relations(Part::of(north), Part::of(at(5, 0)), {true, true, false});  // on an edge
    expect_relations(Part::of(north), Part::of(at(10, 10)), {true, true, false});  // a vertex
    expect_relations(Part::of(holed), Part::of(at(3, 3)), {false, false, false});  // in the hole
    expect_relations(Part::of(holed), Part::of(at(2, 3)), {true, true, false});    // hole's edge
    expect_relations(Part::of(along), Part::of(at(5, 0)), {true, true, false});
    expect_relations(Part::of(at(5, 0)), Part::of(at(5, 0)), {true, true, true});
    // An edge crossing another edge of its own line still lies along the line.
    const GeodeticLineString crossing_itself = line({{0, 1}, {4, 1}, {2, 3}, {2, -1}});
    expect_relations(Part::of(crossing_itself), Part::of(crossing_itself), {true, true, true});
}

TEST(PartRelations, PolesAndTheAntimeridian) {
    const GeodeticPolygon cap = polygon({{0, 80}, {90, 80}, {180, 80}, {-90, 80}, {0, 80}});
    const GeodeticPolygon pacific = polygon({{170, -10}, {-170, -10}, {-170, 10}, {170, 10}, {170, -10}});
    expect_relations(Part::of(cap), Part::of(at(0, 90)), {true, true, false});
    expect_relations(Part::of(cap), Part::of(line({{-45, 85}, {135, 85}})), {true, true, false});
    expect_relations(Part::of(pacific), Part::of(line({{175, 0}, {-175, 0}})), {true, true, false});
    expect_relations(Part::of(pacific), Part::of(line({{160, 0}, {-175, 0}})), {true, false, false});
    expect_relations(Part::of(pacific), Part::of(at(180, 5)), {true, true, false});
    expect_relations(Part::of(pacific), Part::of(cap), {false, false, false});
}

// The distance off an intersection against a dense sampling of both geometries: never
// above the sampled minimum, and within the sampling step of it.
TEST(PartRelations, DistanceAgreesWithDenseSampling) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> lon(170.0, 190.0);
    std::uniform_real_distribution<double> lat(80.0, 89.0);
    const auto wrap = [](double x) { return x > 180.0 ? x - 360.0 : x; };
    constexpr int STEPS = 400;
    const auto samples = [&](const GeodeticLineString& l) {
        std::vector<UnitVec> out;
        for (std::size_t k = 0; k + 1 < l.vectors().size(); ++k) {
            const UnitVec& a = l.vectors()[k];
            const UnitVec& b = l.vectors()[k + 1];
            for (int i = 0; i <= STEPS; ++i) {
                const UnitVec v = (1.0 - i / double(STEPS)) * a + (i / double(STEPS)) * b;
                out.push_back(v / norm(v));
            }
        }
        return out;
    };
    for (int trial = 0; trial < 40; ++trial) {
        const GeodeticLineString a = line({{wrap(lon(rng)), lat(rng)}, {wrap(lon(rng)), lat(rng)}, {wrap(lon(rng)), lat(rng)}});
        const GeodeticLineString b = line({{wrap(lon(rng)), lat(rng)}, {wrap(lon(rng)), lat(rng)}});
        const std::optional<double> d = distance_2_within(Part::of(a), Part::of(b), 4.0);
        ASSERT_TRUE(d.has_value());
        double sampled = std::numeric_limits<double>::infinity();
        for (const UnitVec& p : samples(a)) {
            for (const UnitVec& q : samples(b)) {
                sampled = std::min(sampled, chord_2(p, q));
            }
        }
        EXPECT_LE(std::sqrt(*d), std::sqrt(sampled) + 1e-12);
        EXPECT_NEAR(std::sqrt(*d), std::sqrt(sampled), 2e-4);
        EXPECT_EQ(*d == 0.0, intersects(Part::of(a), Part::of(b)));
        EXPECT_FALSE(distance_2_within(Part::of(a), Part::of(b), *d * 0.99).has_value() && *d > 0.0);
    }
}

// Indexed geometries (a circle of many vertices) answer as every edge pair would.
TEST(PartRelations, IndexedGeometriesAgreeWithEveryEdgePair) {
    std::vector<LonLat> circle;
    constexpr int N = 5000;
    for (int i = 0; i <= N; ++i) {
        const double t = 2 * M_PI * (i % N) / N;
        circle.push_back({20.0 * std::cos(t), 20.0 * std::sin(t)});
    }
    const GeodeticPolygon big = polygon(circle);
    const GeodeticLineString ring_line = line(circle);
    ASSERT_TRUE(big.has_edge_index());
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> coordinate(-25.0, 25.0);
    for (int trial = 0; trial < 300; ++trial) {
        const GeodeticLineString probe = line({{coordinate(rng), coordinate(rng)}, {coordinate(rng), coordinate(rng)}});
        const UnitVec& s = probe.vectors()[0];
        const UnitVec& t = probe.vectors()[1];
        bool pair_met = false;
        for (std::size_t k = 0; k + 1 < ring_line.vectors().size(); ++k) {
            pair_met = pair_met || arcs_meet(ring_line.vectors()[k], ring_line.vectors()[k + 1], s, t);
        }
        EXPECT_EQ(intersects(Part::of(ring_line), Part::of(probe)), pair_met);
        EXPECT_EQ(intersects(Part::of(big), Part::of(probe)), pair_met || big.contains_point(s));
        EXPECT_EQ(covers(Part::of(big), Part::of(probe)), !pair_met && big.contains_point(s));
    }
}

// Clusters of points round the boundary (its vertices among them, so some lie exactly
// on it), each cluster's box decided whole and its points through the edges near it,
// against each point's own covers_point.
TEST(BoxPlaces, AgreeWithEveryPointOfTheBox) {
    std::vector<LonLat> circle;
    std::vector<LonLat> hole;
    for (int k = 0; k < 90; ++k) {
        const double turn = 2 * M_PI * k / 90;
        circle.push_back({10 + 3 * std::cos(turn) * (k % 2 == 0 ? 1.0 : 0.8), 45 + 3 * std::sin(turn)});
        hole.push_back({10.5 + std::cos(-turn), 45 + std::sin(-turn)});
    }
    circle.push_back(circle.front());
    hole.push_back(hole.front());
    const GeodeticPolygon indexed = polygon(circle, {hole});
    const GeodeticPolygon small = polygon({{170, -5}, {-170, -5}, {-170, 5}, {170, 5}, {170, -5}});
    const GeodeticPolygon polar = polygon({{0, 80}, {120, 80}, {-120, 80}, {0, 80}});
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    for (const GeodeticPolygon* shape : {&indexed, &small, &polar}) {
        const Part part = Part::of(*shape);
        const std::vector<UnitVec>& ring = shape->exterior().vectors();
        for (int trial = 0; trial < 400; ++trial) {
            const UnitVec& v = ring[static_cast<std::size_t>(trial) % (ring.size() - 1)];
            const double spread = std::pow(10.0, -1.0 - 5.0 * (trial % 7) / 6.0);
            std::vector<UnitVec> points = {v};
            for (int i = 0; i < 12; ++i) {
                const UnitVec p = v + spread * UnitVec{normal(rng), normal(rng), normal(rng)};
                points.push_back(p / norm(p));
            }
            for (const UnitVec& w : ring) {
                if (chord_2(w, v) < spread * spread) {
                    points.push_back(w);
                }
            }
            std::rotate(points.begin(), points.begin() + trial % static_cast<int>(points.size()), points.end());
            Envelope box = Envelope::new_empty();
            for (const UnitVec& p : points) {
                box.merge(Envelope::from_point(p));
            }
            const BoxPlace place = place_of_box(part, box, points.front());
            NearBoundary near;
            const bool gathered = near.gather(part, box, points.front(), 64);
            for (const UnitVec& p : points) {
                const bool covered = part.covers_point(p);
                if (place != BoxPlace::Unknown) {
                    EXPECT_EQ(covered, place == BoxPlace::Inside);
                    EXPECT_FALSE(part.on_boundary(p));
                }
                if (gathered) {
                    EXPECT_EQ(near.covers(p).value_or(covered), covered);
                }
            }
        }
    }
}

}  // namespace
}  // namespace sferix::geodetic
