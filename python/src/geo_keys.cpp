#include "geo_keys.hpp"

namespace sferix::python::geo_key {

constinit InternedString geo_interface("__geo_interface__");
constinit InternedString type("type");
constinit InternedString coordinates("coordinates");
constinit InternedString geometry("geometry");
constinit InternedString features("features");
constinit InternedString geometries("geometries");

}  // namespace sferix::python::geo_key

namespace sferix::python::geo_type {

constinit InternedString point("Point");
constinit InternedString linestring("LineString");
constinit InternedString polygon("Polygon");

}  // namespace sferix::python::geo_type
