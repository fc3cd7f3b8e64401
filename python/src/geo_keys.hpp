#pragma once

#include "toolkit/gil.hpp"

// The names of the GeoJSON-like dicts: the members read from a geo mapping, the
// attribute that offers one, and the geometry type names written into one.
namespace sferix::python::geo_key {

inline constinit InternedString geo_interface("__geo_interface__");
inline constinit InternedString type("type");
inline constinit InternedString coordinates("coordinates");
inline constinit InternedString geometry("geometry");
inline constinit InternedString features("features");
inline constinit InternedString geometries("geometries");

}  // namespace sferix::python::geo_key

namespace sferix::python::geo_type {

inline constinit InternedString point("Point");
inline constinit InternedString linestring("LineString");
inline constinit InternedString polygon("Polygon");
inline constinit InternedString multilinestring("MultiLineString");
inline constinit InternedString multipolygon("MultiPolygon");

}  // namespace sferix::python::geo_type
