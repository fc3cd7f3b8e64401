// Radius 0 on small polygons takes one pass of shared-minor signs instead of the
// crossing count and the edge distances; these compare it with that full computation,
// written out here with orient3d_sign alone, on points placed to trip it.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <ostream>
#include <random>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/chain.hpp"
#include "geodetic/crossing.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/polygon.hpp"
#include "predicates/orient3d.hpp"

namespace sferix::geodetic {
namespace {

int orient(const UnitVec& a, const UnitVec& b, const UnitVec& c) {
    return predicates::orient3d_sign(as_vector3(a), as_vector3(b), as_vector3(c));
}

// The parity rule, one orient3d_sign call per sign.
std::size_t reference_crossings(const std::vector<UnitVec>& chain, const UnitVec& r, const UnitVec& p) {
    const auto side = [&](const UnitVec& v) { return orient(r, p, v) == 0 ? 1 : orient(r, p, v); };
    std::size_t n = 0;
    for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
        const int g = side(chain[k]);
        n += g * side(chain[k + 1]) < 0 && orient(chain[k], chain[k + 1], p) == g &&
             orient(chain[k], chain[k + 1], r) == -g;
    }
    return n;
}

std::vector<UnitVec> ring_vectors(const std::vector<LonLat>& pairs) {
    std::vector<UnitVec> out;
    for (const LonLat& v : pairs) {
        out.push_back(embed(v.lon, v.lat));
    }
    return out;
}

UnitVec unit(const UnitVec& v) { return v / norm(v); }

struct Shape {
    const char* name;
    std::vector<LonLat> exterior;
    std::vector<std::vector<LonLat>> holes;
};

void PrintTo(const Shape& shape, std::ostream* out) { *out << shape.name; }

const std::vector<Shape> SHAPES = {
    {"equator_and_meridian", {{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}}, {}},
    {"antimeridian", {{170, -5}, {-170, -5}, {-170, 5}, {180, 5}, {170, 5}, {170, -5}}, {}},
    {"around_pole", {{0, 89}, {90, 89}, {180, 89}, {-90, 89}, {0, 89}}, {}},
    {"vertex_at_pole", {{0, 80}, {120, 80}, {0, 90}, {0, 80}}, {}},
    {"hole", {{-10, -10}, {10, -10}, {10, 10}, {-10, 10}, {-10, -10}}, {{{-2, -2}, {2, -2}, {2, 2}, {-2, 2}, {-2, -2}}}},
    {"repeated_vertex", {{30, 30}, {31, 30}, {31, 30}, {31, 31}, {30, 30}}, {}},
};

// Vertices, edge midpoints, points pushed off edges by 1e-16 to 1e-9 radians on both
// sides, the poles, and random points around the ring.
std::vector<UnitVec> adversarial_points(const std::vector<std::vector<UnitVec>>& rings) {
    std::vector<UnitVec> out = {{0, 0, 1}, {0, 0, -1}};
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> jitter(-0.1, 0.1);
    for (const auto& chain : rings) {
        for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
            const UnitVec& a = chain[k];
            const UnitVec& b = chain[k + 1];
            out.push_back(a);
            if (a == b) {
                continue;
            }
            const UnitVec mid = unit(a + b);
            const UnitVec n = unit(cross(a, b));
            out.push_back(mid);
            for (double offset = 1e-16; offset < 1e-8; offset *= 10) {
                out.push_back(unit(mid + offset * n));
                out.push_back(unit(mid - offset * n));
                out.push_back(unit(a + offset * n));
            }
            out.push_back(unit(a + UnitVec{jitter(rng), jitter(rng), jitter(rng)}));
        }
    }
    return out;
}

class RadiusZero : public ::testing::TestWithParam<Shape> {};

TEST_P(RadiusZero, MatchesTheFullCountAndEdgeDistances) {
    const Shape& shape = GetParam();
    std::vector<GeodeticRing> holes;
    std::vector<std::vector<UnitVec>> rings = {ring_vectors(shape.exterior)};
    for (const auto& hole : shape.holes) {
        holes.push_back(GeodeticRing::try_from_lonlat(hole).value());
        rings.push_back(ring_vectors(hole));
    }
    const GeodeticPolygon polygon =
        GeodeticPolygon::try_new(GeodeticRing::try_from_lonlat(shape.exterior).value(), std::move(holes)).value();
    ASSERT_FALSE(polygon.has_edge_index());
    // The polygon's own reference point, computed as it is (its first edge has length).
    const UnitVec normal = cross(rings[0][0], rings[0][1]);
    const UnitVec r = unit(unit(rings[0][0] + rings[0][1]) +
                           GeodeticPolygon::REFERENCE_OFFSET_RADIANS * (normal / std::sqrt(norm_2(normal))));
    // The path from r to r crosses nothing, so this is the side the polygon gives r.
    const bool r_inside = polygon.contains_point_by_full_count(r);
    for (const UnitVec& p : adversarial_points(rings)) {
        std::size_t crossings = 0;
        double edges_2 = INFINITY;
        for (const auto& chain : rings) {
            crossings += reference_crossings(chain, r, p);
            const ChainScan scanned = scan_chain(chain, r, p);
            ASSERT_EQ(scanned.crossings, reference_crossings(chain, r, p));
            edges_2 = std::min(edges_2, chain_distance_2(chain, p));
            if (scanned.clear_of_edges) {
                ASSERT_GT(chain_distance_2(chain, p), 1e-30) << shape.name;
            }
        }
        const bool inside = (crossings % 2 == 0) == r_inside;
        ASSERT_EQ(polygon.contains_point(p), inside) << shape.name;
        for (const double bound : {0.0, 1e-290, 1e-30}) {
            const double full = inside ? 0.0 : edges_2;
            const std::optional<double> expected = full <= bound ? std::optional(full) : std::nullopt;
            ASSERT_EQ(polygon.distance_2_if_less_or_equal(p, bound), expected)
                << shape.name << " p=(" << p.x << ", " << p.y << ", " << p.z << ") bound " << bound;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SmallPolygons, RadiusZero, ::testing::ValuesIn(SHAPES),
                         [](const ::testing::TestParamInfo<Shape>& shape) { return std::string(shape.param.name); });

}  // namespace
}  // namespace sferix::geodetic
