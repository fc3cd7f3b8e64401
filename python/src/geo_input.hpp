#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "numpy_arrays.hpp"
#include "toolkit/gil.hpp"
#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"

#include "geodetic/error.hpp"
#include "geodetic/linestring.hpp"
#include "geodetic/point.hpp"
#include "geodetic/polygon.hpp"
#include "geodetic/relate.hpp"

namespace sferix::python {

// The names of the GeoJSON-like dicts, read from a geo mapping (and the attribute that
// offers one) or written into one.
namespace geo_key {
inline constinit InternedString geo_interface("__geo_interface__");
inline constinit InternedString type("type");
inline constinit InternedString coordinates("coordinates");
inline constinit InternedString geometry("geometry");
inline constinit InternedString features("features");
inline constinit InternedString geometries("geometries");
}  // namespace geo_key

// The geometry type names written into a geo mapping.
namespace geo_type {
inline constinit InternedString point("Point"), linestring("LineString"), polygon("Polygon");
inline constinit InternedString multilinestring("MultiLineString"), multipolygon("MultiPolygon");
}  // namespace geo_type

// Geometry input: Python objects to validated geometries. Three shapes are accepted,
// freely mixed:
//  - plain coordinate structures (coordinates.hpp): a point is one (lon, lat, ...)
//    sequence, a linestring an iterable of them, a polygon an iterable of rings, the
//    exterior first;
//  - objects with a __geo_interface__ attribute holding a GeoJSON-like dict, the
//    module's own Point, LineString and Polygon among them;
//  - GeoJSON-like dicts (dict or subclass with a "type" member) given directly,
//    including features and, at the top level of a tree's data, collections.
// Members of a geo mapping are read by plain dict lookup: a dict subclass's own
// __getitem__ or __missing__ is never consulted. A str is never a coordinate.
//
// Every function takes borrowed objects, keeps no reference to them once it returns,
// and gives its result or nullopt (an empty PyRef) with a Python exception pending.
// Malformed structure is a ValueError (or the interpreter's TypeError for something
// that cannot be iterated); invalid geometry is GeodeticError through map_error, with
// the library's message; exceptions of the input's own iterators propagate unchanged.

// sferix.GeodeticError (base ValueError), created once per process on first use.
// Returns a borrowed reference; a failure to create it panics.
PyObject* geodetic_error_type();

// Sets GeodeticError(message) as the pending exception, the message being the library
// error's text. Always returns nullptr. The one place library errors become Python ones.
std::nullptr_t map_error(const geodetic::GeodeticError& error);

// The value of a library constructor, or its error raised through map_error.
template <typename T>
std::optional<T> checked(geodetic::Result<T>&& result) {
    if (!result.has_value()) {
        map_error(result.error());
        return std::nullopt;
    }
    return std::move(result).value();
}

// Marks the pending exception as raised while reading the input item that gets tree
// position `position`: sets its attribute `item` to that int and adds the note
// "while reading item N" (add_note). Its type and message are left alone. Only an
// ordinary error (an Exception) is marked; an interrupt or exit request is not about
// one item. A failure to set the attribute is dropped. REQUIRES: an exception is pending.
void mark_input_item(std::size_t position);

// The geo mapping of `obj`:
//  - when the attribute lookup of __geo_interface__ succeeds: its value if that is a
//    dict (or subclass), whatever keys it holds; any other value (a method included):
//    ValueError "__geo_interface__ did not return a mapping";
//  - when the lookup raises (anything), that exception is dropped, and `obj` itself is
//    the mapping if it is a dict (or subclass) holding the key "type".
// Returns an owned reference to the mapping, an empty PyRef when `obj` has none (it is
// then a plain coordinate structure), or nullopt on error.
[[nodiscard]] std::optional<PyRef> geo_mapping(PyObject* obj);

// The member `key` of `mapping` (a dict or subclass), as an owned reference; absent:
// ValueError "geo mapping is missing 'KEY'".
[[nodiscard]] PyRef item(PyObject* mapping, InternedString& key);

// The "type" member of `mapping` (a dict or subclass), a str (or subclass), as an
// owned reference; absent: ValueError "geo mapping is missing 'type'"; not a str:
// TypeError "'T' object is not an instance of 'str'".
[[nodiscard]] PyRef get_type(PyObject* mapping);

// Raises ValueError "expected a KIND geometry, found 'FOUND'", `expected` being Point,
// LineString or Polygon and `found` the type name read (a str). Returns nullptr.
std::nullptr_t type_mismatch(const char* expected, PyObject* found /* borrowed str */);

// Whether `obj` may be read as longitude/latitude degrees, as far as its `crs`
// attribute tells (GeoSeries, GeoDataFrame): true without one, for None, for an object
// without a truthful `is_geographic`, and for a geographic CRS. For a CRS set and not
// geographic: ValueError "WHAT are in the projected CRS <str(crs)>, not
// longitude/latitude degrees; convert them first with .to_crs(4326)", and false (also
// for an exception of the lookups other than an ordinary error). Imports nothing.
[[nodiscard]] bool refuse_projected(PyObject* obj, const char* what);

// A tree item's validated parts: one geometry (`first`), or a multipart one, whose
// parts are `first` then `rest` in order. Movable.
template <typename Parts>
struct ItemParts {
    Parts first;
    std::vector<Parts> rest;
    // Whether the input was a multipart geometry (even of one part).
    bool multipart;
};

// One point. Without a geo mapping `obj` is a coordinate (coord_pair). A geo mapping
// of type "Point" has its "coordinates" read by coord_pair; one of type "Feature" is
// its "geometry", parsed by these same rules (features nest; a feature that contains
// itself raises RecursionError, not a crash); any other type: type_mismatch("Point").
// The pair becomes GeodeticPoint::try_new(lon, lat).
[[nodiscard]] std::optional<geodetic::GeodeticPoint> parse_point(PyObject* obj);

// A polygon's validated rings, not yet assembled: the exterior, then the holes in
// order. Movable.
struct PolygonRings {
    geodetic::GeodeticRing exterior;
    std::vector<geodetic::GeodeticRing> interiors;

    // GeodeticPolygon::from_rings of these rings: cannot fail on the input, needs no
    // GIL, and costs the polygon's whole construction (its side, envelope and index).
    [[nodiscard]] geodetic::GeodeticPolygon assemble(geodetic::Fill fill) &&;
};

// The elements of a tree's input, one level deep and whatever kind of geometry the
// caller wants: sequence(data) without a geo mapping; sequence() of the "features" of a
// "FeatureCollection", of the "geometries" of a "GeometryCollection", of the
// "coordinates" of a "MultiPoint", "MultiLineString" or "MultiPolygon"; for any other
// type one element, `data` itself (not its mapping). A geopandas GeoSeries gives its
// geometries, and a GeoDataFrame those of its active geometry column, without their
// __geo_interface__.
[[nodiscard]] std::optional<std::vector<PyRef>> expand(PyObject* data);

// The geometries of a tree's input in element order (element i is input position i):
// expand(data) takes every element before any is parsed, so an exception of the
// input's iterator is reported before any parse error; then the elements are parsed in
// order and the first failure ends collection. That failure is marked with the input
// position of the element that raised it (mark_input_item), which for an expanded
// collection is the element's position among the collection's members, the position
// the tree would have given it; its type and message stay as parsing raised them.
// Everything is validated here, with the GIL held: building the tree afterwards
// cannot fail on one item. Linestrings and polygons come as validated parts, which the
// tree assembles (GeodeticLineString::from_validated, PolygonRings::assemble) after
// releasing the GIL, as that is where their cost lies.
// collect_point_coords gives the points' validated lon/lat (their vectors are left to
// the tree, which embeds without the GIL). It first refuses an exact numpy.ndarray of
// two dimensions (any dtype) with more than four columns, such as a (2, n) array of
// [lons, lats]: ValueError "an array of points must have shape (n, 2), one (lon, lat)
// row per point, not (R, C)". Fewer than two columns fail as the rows would, at the
// first row. An (n, k) float64 array is read from its bytes, with no Python object
// per number.
[[nodiscard]] std::optional<std::vector<geodetic::GeodeticCoord>> collect_point_coords(PyObject* data);
// That refusal of a wider array (given its shape), which the array queries share; false
// with the ValueError pending.
[[nodiscard]] bool refuse_wide_point_array(const MatrixShape& shape);
// Linestring and polygon data may hold multipart elements: an element that is a
// "MultiLineString" (or "MultiPolygon"), or a feature whose geometry is one, is one
// item, its parts read in order as single geometries are (no part at all: ValueError
// "a MultiPolygon has no parts"). A multipart mapping given as `data` itself is
// expanded as above, one item per member. Every collect_* first refuses data in a
// projected CRS (refuse_projected).
[[nodiscard]] std::optional<std::vector<ItemParts<geodetic::ValidatedLineString>>> collect_linestrings(PyObject* data);
[[nodiscard]] std::optional<std::vector<ItemParts<PolygonRings>>> collect_polygons(PyObject* data);

// A query geometry's validated parts, not yet assembled, by kind in input order: what
// a tree is asked with by query and query_many. Movable.
struct QueryParts {
    std::vector<geodetic::GeodeticPoint> points;
    std::vector<geodetic::ValidatedLineString> lines;
    std::vector<PolygonRings> polygons;

    // The geometry to ask with: cannot fail on the input, needs no GIL, and costs the
    // construction of its linestrings and polygons (their edge indexes included).
    [[nodiscard]] geodetic::Shape assemble(geodetic::Fill fill) &&;
};

// One query geometry of any kind. A geo mapping of type "Point", "LineString",
// "Polygon", their "Multi" forms or "GeometryCollection" gives its parts ("Feature":
// its "geometry", as in parse_point); any other type: type_mismatch("Point, LineString
// or Polygon"). Without a geo mapping `obj` is a coordinate structure whose nesting,
// read from the first element at each level, tells a point (numbers), a linestring (a
// sequence of coordinates) or a polygon (a sequence of rings); one whose nesting cannot
// be read (not a sequence, or empty) is ValueError "a query geometry must be a point, a
// linestring or a polygon, as coordinates or a geo mapping"; a geometry of no parts
// (an empty collection) is ValueError "a query geometry has no parts".
[[nodiscard]] std::optional<QueryParts> parse_query_geometry(PyObject* obj);

// The query geometries of `data`, one per element as expand gives them (a sequence, a
// GeoSeries, an array of shapely geometries, a collection), each by
// parse_query_geometry; a failure is marked with its element's index (mark_input_item).
// Refuses data in a projected CRS first (refuse_projected, as "geometries").
[[nodiscard]] std::optional<std::vector<QueryParts>> collect_query_geometries(PyObject* data);

}  // namespace sferix::python
