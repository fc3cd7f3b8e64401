#pragma once

#include <memory>
#include <span>
#include <utility>

#include "toolkit/python_api.hpp"

#include "geodetic/linestring.hpp"
#include "geodetic/multipart.hpp"
#include "geodetic/point.hpp"
#include "geodetic/polygon.hpp"

namespace sferix::python {

// The value classes Point, LineString and Polygon: read-only Python views of a
// geometry a tree stores. Each instance holds one shared handle to the geometry and
// copies nothing; it keeps the geometry alive after the tree is gone. Type names
// "sferix.Point" etc.; not instantiable from Python, not subclassable, no __dict__,
// no weak references, not garbage-collected. No equality or hashing of their own.

// The process-wide type objects, created on first use: borrowed, or nullptr with an
// exception pending. REQUIRES: the GIL is held (as for everything below).
PyTypeObject* point_type();
PyTypeObject* linestring_type();
PyTypeObject* polygon_type();
PyTypeObject* multilinestring_type();
PyTypeObject* multipolygon_type();

// A new instance of the matching class sharing `geometry` (one more reference to it),
// as a new reference; every call makes a new object, even for the same geometry. On
// failure the handle is released and nullptr returned with the allocation's exception
// pending. REQUIRES: `geometry` is not null.
PyObject* new_point(std::shared_ptr<const geodetic::GeodeticPoint> geometry);
PyObject* new_linestring(std::shared_ptr<const geodetic::GeodeticLineString> geometry);
PyObject* new_polygon(std::shared_ptr<const geodetic::GeodeticPolygon> geometry);

// A new list with one new instance per handle, in order (for a tree's geometries());
// nullptr with an exception pending at the first failure, the partial list released.
// A tree's std::vector<std::shared_ptr<const T>> converts to the span.
PyObject* new_point_list(std::span<const std::shared_ptr<const geodetic::GeodeticPoint>> geometries);
PyObject* new_linestring_list(std::span<const std::shared_ptr<const geodetic::GeodeticLineString>> geometries);
PyObject* new_polygon_list(std::span<const std::shared_ptr<const geodetic::GeodeticPolygon>> geometries);

// The same, overloaded on the geometry type, for code generic over the kind.
inline PyObject* new_value(std::shared_ptr<const geodetic::GeodeticPoint> geometry) {
    return new_point(std::move(geometry));
}
inline PyObject* new_value(std::shared_ptr<const geodetic::GeodeticLineString> geometry) {
    return new_linestring(std::move(geometry));
}
inline PyObject* new_value(std::shared_ptr<const geodetic::GeodeticPolygon> geometry) {
    return new_polygon(std::move(geometry));
}
inline PyObject* new_value_list(std::span<const std::shared_ptr<const geodetic::GeodeticPoint>> geometries) {
    return new_point_list(geometries);
}
inline PyObject* new_value_list(std::span<const std::shared_ptr<const geodetic::GeodeticLineString>> geometries) {
    return new_linestring_list(geometries);
}
inline PyObject* new_value_list(std::span<const std::shared_ptr<const geodetic::GeodeticPolygon>> geometries) {
    return new_polygon_list(geometries);
}

// A tree item's value: the LineString or Polygon of a single geometry (sharing the
// item), a MultiLineString or MultiPolygon of a multipart one; and the list of them.
PyObject* new_value(std::shared_ptr<const geodetic::LineStringItem> item);
PyObject* new_value(std::shared_ptr<const geodetic::PolygonItem> item);
PyObject* new_value_list(std::span<const std::shared_ptr<const geodetic::LineStringItem>> items);
PyObject* new_value_list(std::span<const std::shared_ptr<const geodetic::PolygonItem>> items);

}  // namespace sferix::python
