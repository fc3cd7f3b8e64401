#pragma once

#include <span>

#include "py_ref.hpp"
#include "python_api.hpp"

#include "geodetic/coord.hpp"
#include "geodetic/polygon.hpp"

namespace sferix::python {

// Geometries to the plain Python values of their __geo_interface__: coordinates are
// 2-tuples (lon, lat) of floats in degrees, vertex lists and rings are lists. Every
// call builds new objects; each returns an owned reference, or an empty PyRef with the
// interpreter's exception pending when it cannot allocate. Nothing is validated: the
// geometries were validated when built.

// (lon, lat).
[[nodiscard]] PyRef coordinate_tuple(double lon, double lat);

// [(lon, lat), ...], one tuple per vertex in order, repeated vertices included.
[[nodiscard]] PyRef vertex_list(std::span<const geodetic::GeodeticCoord> vertices);

// [[(lon, lat), ...], ...]: one vertex_list per ring of `rings`, in order.
[[nodiscard]] PyRef ring_lists(std::span<const geodetic::GeodeticRing> rings);

// The __geo_interface__ dicts, a new dict with the key "type" inserted first and
// "coordinates" second, and no other key:
//  {"type": "Point", "coordinates": (lon, lat)}
[[nodiscard]] PyRef point_mapping(double lon, double lat);
//  {"type": "LineString", "coordinates": vertex_list(vertices)}
[[nodiscard]] PyRef linestring_mapping(std::span<const geodetic::GeodeticCoord> vertices);
//  {"type": "Polygon", "coordinates": [exterior, interiors...]}, each ring a vertex
//  list, closed (its last vertex repeats the first).
[[nodiscard]] PyRef polygon_mapping(const geodetic::GeodeticPolygon& polygon);

}  // namespace sferix::python
