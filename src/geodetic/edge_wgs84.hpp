#pragma once

#include <cstdint>

#include "geodetic/linestring.hpp"
#include "geodetic/point.hpp"
#include "geodetic/polygon.hpp"
#include "geodetic/unit_vec.hpp"

// WGS84 geodesic metres from a point to the edges of linestrings and polygons. The shapes
// stay the sphere's: an edge is the great-circle arc between its vertices' unit vectors,
// each point of it read as the geodetic longitude and latitude of its direction, and a
// polygon contains exactly the points the sphere's test accepts. Only the measure changes:
// the distance to an edge is the smallest geodesic distance (GeographicLib's inverse, the
// query first) to any point of the arc.
//
//   const GeodeticPoint q = ...;
//   double d = arc_distance_wgs84(q, a, b, INFINITY);          // one edge
//   double d = linestring_distance_wgs84(line, q, 50'000.0);    // > 50 km: some value above it
//   double d = polygon_distance_wgs84(polygon, q, INFINITY);    // 0 inside
//
// Accuracy: within WGS84_EDGE_TOLERANCE_METRES (0.5 mm) plus GeographicLib's 15 nm of the
// true minimum over the arc, never below it by more than the 15 nm (every value reported
// is a geodesic distance to a point of the arc). See edge_wgs84.cpp for how the search
// guarantees it.

namespace sferix::geodetic {

// How far above the true minimum the search may stop.
inline constexpr double WGS84_EDGE_TOLERANCE_METRES = 0.0005;

// Work counters of WGS84 edge searches, for tests and benchmarks.
struct EdgeSearchStats {
    std::uint64_t edges_searched = 0;     // edges whose arc got at least one inverse
    std::uint64_t geodesic_inverses = 0;  // GeographicLib inverse problems solved
};

// The smallest geodesic metres from q to the arc from a to b (unit vectors, an admissible
// edge) when it is ≤ cutoff_metres (inclusive); otherwise some value > cutoff_metres
// (+infinity when the sphere already proves the arc farther, without any inverse). A
// degenerate arc (see arc_distance_2) measures to its endpoints. A value ≤ the cutoff is
// the same for every cutoff, so that radius and nearest queries agree to the bit.
[[nodiscard]] double arc_distance_wgs84(const GeodeticPoint& q, const UnitVec& a, const UnitVec& b,
                                        double cutoff_metres, EdgeSearchStats* stats = nullptr) noexcept;

// The smallest over the line's edges, as arc_distance_wgs84 (≤ cutoff_metres, else some
// larger value). Only edges whose sphere distance could beat the best geodesic bound are
// searched, nearest on the sphere first; a line with an edge index reads only the edges
// near q.
[[nodiscard]] double linestring_distance_wgs84(const GeodeticLineString& line, const GeodeticPoint& q,
                                               double cutoff_metres, EdgeSearchStats* stats = nullptr) noexcept;

// 0 when the polygon contains q (contains_point, the sphere's test exactly); otherwise the
// smallest over the edges of every ring, as linestring_distance_wgs84.
[[nodiscard]] double polygon_distance_wgs84(const GeodeticPolygon& polygon, const GeodeticPoint& q,
                                            double cutoff_metres, EdgeSearchStats* stats = nullptr) noexcept;

// The one name the tree walks call, for either geometry.
[[nodiscard]] inline double distance_wgs84(const GeodeticLineString& line, const GeodeticPoint& q,
                                           double cutoff_metres, EdgeSearchStats* stats = nullptr) noexcept {
    return linestring_distance_wgs84(line, q, cutoff_metres, stats);
}
[[nodiscard]] inline double distance_wgs84(const GeodeticPolygon& polygon, const GeodeticPoint& q,
                                           double cutoff_metres, EdgeSearchStats* stats = nullptr) noexcept {
    return polygon_distance_wgs84(polygon, q, cutoff_metres, stats);
}

}  // namespace sferix::geodetic
