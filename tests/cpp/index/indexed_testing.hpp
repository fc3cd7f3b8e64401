#pragma once

// Shared helpers for the geodetic tree and nearest-position tests: geometry and tree
// builders, seeded random data with ties and duplicates, and brute-force answers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "geodetic/coord.hpp"
#include "geodetic/distance.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/linestring.hpp"
#include "geodetic/multipart.hpp"
#include "geodetic/point.hpp"
#include "geodetic/polygon.hpp"
#include "geodetic/rectangle.hpp"
#include "index/tree.hpp"

namespace sferix::geodetic {

// The trees and their leaves live in the index; the tests here name them as geometry.
using indexed::GeodeticLeaf;
using indexed::GeodeticRTree;
using indexed::LineStringLeaf;
using indexed::LineStringTree;
using indexed::PointLeaf;
using indexed::PointTree;
using indexed::PolygonLeaf;
using indexed::PolygonTree;

}  // namespace sferix::geodetic

namespace sferix::geodetic::testing {

using Positions = std::vector<std::uint64_t>;

inline GeodeticPoint point(double lon, double lat) {
    auto result = GeodeticPoint::try_new(lon, lat);
    EXPECT_TRUE(result.has_value()) << lon << ", " << lat;
    return std::move(result).value();
}

// Whether (lon, lat) can become a query position at all.
inline bool is_query(double lon, double lat) { return GeodeticPoint::try_new(lon, lat).has_value(); }

inline LonLatRectangle rectangle(double w, double s, double e, double n) {
    return {point(w, s).coord(), point(e, n).coord()};
}

inline std::shared_ptr<const GeodeticLineString> linestring(std::vector<LonLat> pairs) {
    auto result = GeodeticLineString::try_from_lonlat(std::move(pairs));
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return std::make_shared<const GeodeticLineString>(std::move(result).value());
}

inline GeodeticRing ring(std::vector<LonLat> pairs) {
    auto result = GeodeticRing::try_from_lonlat(std::move(pairs));
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return std::move(result).value();
}

inline std::shared_ptr<const GeodeticPolygon> polygon(std::vector<LonLat> exterior,
                                                      std::vector<std::vector<LonLat>> holes = {}) {
    std::vector<GeodeticRing> interiors;
    for (auto& hole : holes) {
        interiors.push_back(ring(std::move(hole)));
    }
    return std::make_shared<const GeodeticPolygon>(
        GeodeticPolygon::try_new(ring(std::move(exterior)), std::move(interiors)).value());
}

inline PointTree point_tree(const std::vector<LonLat>& coords) {
    std::vector<GeodeticPoint> points;
    points.reserve(coords.size());
    for (const LonLat& c : coords) {
        points.push_back(point(c.lon, c.lat));
    }
    return PointTree::from_points(points);
}

// A single-part tree item holding a copy of `geometry`.
template <typename G>
std::shared_ptr<const MultiPart<G>> single_item(const std::shared_ptr<const G>& geometry) {
    return std::make_shared<const MultiPart<G>>(*geometry);
}

template <typename G>
GeodeticRTree<indexed::IndexedLeaf<G>> shared_tree(const std::vector<std::shared_ptr<const G>>& geometries) {
    std::vector<indexed::IndexedLeaf<G>> leaves;
    leaves.reserve(geometries.size());
    for (std::size_t i = 0; i < geometries.size(); ++i) {
        leaves.emplace_back(geometries[i], i);
    }
    return GeodeticRTree<indexed::IndexedLeaf<G>>::bulk_load(std::move(leaves));
}

// The input positions of a lazy sequence, in its order, for any of the element kinds
// (a leaf, or a pair whose .leaf points at one).
template <typename Sequence>
Positions positions(Sequence&& sequence) {
    Positions out;
    for (const auto& item : sequence) {
        if constexpr (requires { item.leaf; }) {
            out.push_back(item.leaf->data());
        } else {
            out.push_back(item.data());
        }
    }
    return out;
}

inline Positions sorted(Positions values) {
    std::sort(values.begin(), values.end());
    return values;
}

// (position, distance) pairs, sorted for comparing sets.
using Measured = std::vector<std::pair<std::uint64_t, double>>;

inline Measured sorted(Measured values) {
    std::sort(values.begin(), values.end());
    return values;
}

// Wraps an out-of-range longitude back into [-180, 180].
inline double wrap_lon(double lon) {
    if (lon > 180.0) {
        return lon - 360.0;
    }
    if (lon < -180.0) {
        return lon + 360.0;
    }
    return lon;
}

// Uniform on the sphere.
inline LonLat random_position(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    std::uniform_real_distribution<double> z(-1.0, 1.0);
    return {lon(rng), std::asin(z(rng)) / RADIANS_PER_DEGREE};
}

// A mix that makes ties happen: uniform positions, integer-degree grid positions
// (lon ±180 and the poles included; exactly on rectangle bounds), and exact
// duplicates of earlier entries, all shuffled so duplicates get any position.
inline std::vector<LonLat> random_point_coords(std::mt19937_64& rng, std::size_t count) {
    std::vector<LonLat> coords;
    coords.reserve(count);
    std::uniform_int_distribution<int> grid_lon(-180, 180);
    std::uniform_int_distribution<int> grid_lat(-90, 90);
    std::uniform_int_distribution<int> kind(0, 9);
    while (coords.size() < count) {
        const int k = kind(rng);
        if (k < 6 || coords.empty()) {
            coords.push_back(random_position(rng));
        } else if (k < 8) {
            coords.push_back({static_cast<double>(grid_lon(rng)), static_cast<double>(grid_lat(rng))});
        } else {
            std::uniform_int_distribution<std::size_t> earlier(0, coords.size() - 1);
            coords.push_back(coords[earlier(rng)]);
        }
    }
    std::shuffle(coords.begin(), coords.end(), rng);
    return coords;
}

// Queries: uniform positions, stored positions (exact hits and duplicates), and the
// places where embeddings are delicate.
inline std::vector<LonLat> random_queries(std::mt19937_64& rng, const std::vector<LonLat>& stored, std::size_t count) {
    std::vector<LonLat> queries = {{0, 90}, {45, -90}, {180, 0}, {-180, 0}, {180, 45.5}, {0, 0}};
    std::uniform_int_distribution<std::size_t> pick(0, stored.empty() ? 0 : stored.size() - 1);
    while (queries.size() < count) {
        if (!stored.empty() && queries.size() % 2 == 0) {
            queries.push_back(stored[pick(rng)]);
        } else {
            queries.push_back(random_position(rng));
        }
    }
    return queries;
}

// A tree of `count` random points (random_point_coords) and `query_count` queries among
// them (random_queries), drawn in that order from one generator seeded `seed`.
struct RandomPointsCase {
    std::vector<LonLat> coords;
    PointTree tree;
    std::vector<LonLat> queries;
};

inline RandomPointsCase random_points_case(std::uint64_t seed, std::size_t count, std::size_t query_count) {
    std::mt19937_64 rng(seed);
    std::vector<LonLat> coords = random_point_coords(rng, count);
    PointTree tree = point_tree(coords);
    std::vector<LonLat> queries = random_queries(rng, coords, query_count);
    return {std::move(coords), std::move(tree), std::move(queries)};
}

// Short linestrings of 2 to 5 vertices within about a degree of a random centre;
// some cross the antimeridian, some have a repeated vertex.
inline std::vector<std::shared_ptr<const GeodeticLineString>> random_linestrings(std::mt19937_64& rng,
                                                                                 std::size_t count) {
    std::vector<std::shared_ptr<const GeodeticLineString>> out;
    std::uniform_int_distribution<int> vertices(2, 5);
    std::uniform_real_distribution<double> offset(-1.0, 1.0);
    while (out.size() < count) {
        const LonLat centre = random_position(rng);
        if (std::fabs(centre.lat) > 88.0) {
            continue;
        }
        std::vector<LonLat> pairs;
        const int n = vertices(rng);
        for (int i = 0; i < n; ++i) {
            pairs.push_back({wrap_lon(centre.lon + offset(rng)), centre.lat + offset(rng)});
        }
        if (out.size() % 7 == 0) {
            pairs.push_back(pairs.back());
        }
        out.push_back(linestring(std::move(pairs)));
    }
    return out;
}

// A counterclockwise ring of `corners` vertices at `radius` degrees around a centre
// (reversed: clockwise), closed by an exact copy of the first vertex.
inline std::vector<LonLat> ring_around(const LonLat& centre, double radius, int corners, bool reversed = false) {
    std::vector<LonLat> pairs;
    for (int i = 0; i < corners; ++i) {
        const double t = 2.0 * 3.141592653589793 * i / corners * (reversed ? -1.0 : 1.0);
        pairs.push_back({wrap_lon(centre.lon + radius * std::cos(t) / std::cos(centre.lat * RADIANS_PER_DEGREE)),
                         centre.lat + radius * std::sin(t)});
    }
    pairs.push_back(pairs.front());
    return pairs;
}

// Small polygons (0.1 to 2 degrees across) around random centres, every third one
// with a hole, plus a cap around each pole, whose boxes reach z = ±1.
inline std::vector<std::shared_ptr<const GeodeticPolygon>> random_polygons(std::mt19937_64& rng, std::size_t count) {
    std::vector<std::shared_ptr<const GeodeticPolygon>> out;
    out.push_back(polygon({{0, 80}, {90, 80}, {180, 80}, {-90, 80}, {0, 80}}));
    out.push_back(polygon({{0, -80}, {-90, -80}, {180, -80}, {90, -80}, {0, -80}}));
    std::uniform_real_distribution<double> radius(0.05, 1.0);
    std::uniform_int_distribution<int> corners(3, 7);
    while (out.size() < count) {
        const LonLat centre = random_position(rng);
        if (std::fabs(centre.lat) > 85.0) {
            continue;
        }
        const double r = radius(rng);
        const int n = corners(rng);
        if (out.size() % 3 == 0) {
            out.push_back(polygon(ring_around(centre, r, n), {ring_around(centre, r / 3.0, 4, out.size() % 2 == 0)}));
        } else {
            out.push_back(polygon(ring_around(centre, r, n)));
        }
    }
    std::shuffle(out.begin(), out.end(), rng);
    return out;
}

// Brute force: every leaf's (position, distance_2) whose reported metres are within
// a radius.
template <typename Distance>
Measured brute_within(std::size_t count, Distance&& distance_2_of, double radius_metres) {
    Measured out;
    for (std::size_t i = 0; i < count; ++i) {
        const double d = distance_2_of(i);
        if (squared_chord_to_metres(d) <= radius_metres) {
            out.emplace_back(i, d);
        }
    }
    return out;
}

}  // namespace sferix::geodetic::testing

// The index tests see the geodetic names and helpers they are written in by one
// using-directive, rather than each repeating the same list of declarations.
namespace sferix::indexed::testing {
using namespace geodetic;
using namespace geodetic::testing;
}  // namespace sferix::indexed::testing
