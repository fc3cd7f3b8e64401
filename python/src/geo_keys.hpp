#pragma once

#include "interned_string.hpp"

// The names of the GeoJSON-like dicts: the members read from a geo mapping, the
// attribute that offers one, and the geometry type names written into one.
namespace sferix::python::geo_key {

extern InternedString geo_interface;  // "__geo_interface__"
extern InternedString type;           // "type"
extern InternedString coordinates;    // "coordinates"
extern InternedString geometry;       // "geometry"
extern InternedString features;       // "features"
extern InternedString geometries;     // "geometries"

}  // namespace sferix::python::geo_key

namespace sferix::python::geo_type {

extern InternedString point;        // "Point"
extern InternedString linestring;   // "LineString"
extern InternedString polygon;      // "Polygon"

}  // namespace sferix::python::geo_type
