#include "geo_input.hpp"

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>

#include "coordinates.hpp"
#include "numpy_arrays.hpp"
#include "shapely_input.hpp"
#include "support/huge_pages.hpp"
#include "toolkit/errors.hpp"

namespace sferix::python {

namespace {

LazyObject geodetic_error;

// Holds one level of the interpreter's recursion count while a feature's geometry is
// parsed, so a feature nested in itself ends in RecursionError instead of exhausting
// the C stack. Before 3.12 that count follows sys.setrecursionlimit, which programs
// raise far beyond what the C stack holds, so nesting is also capped here.
class RecursionGuard {
public:
    // Far deeper than any real data nests features, and a few hundred kilobytes of stack.
    static constexpr int MAX_FEATURE_NESTING = 1000;

    RecursionGuard() noexcept {
        if (depth_ >= MAX_FEATURE_NESTING) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while parsing a geometry");
            return;
        }
        entered_ = Py_EnterRecursiveCall(" while parsing a geometry") == 0;
        if (entered_) {
            ++depth_;
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) {
            --depth_;
            Py_LeaveRecursiveCall();
        }
    }

    // False when the limit was reached (RecursionError pending).
    [[nodiscard]] bool entered() const noexcept { return entered_; }

private:
    // Per thread: each thread parses its own input.
    static inline thread_local int depth_ = 0;
    bool entered_ = false;
};

// Builtin types whose instances never have a __geo_interface__ attribute: the types
// are immutable and their instances have no __dict__, so the lookup could only raise
// AttributeError, which geo_mapping drops. Skipping it saves raising one exception per
// coordinate or feature of a large input.
bool lacks_geo_interface(PyObject* obj) noexcept {
    return PyTuple_CheckExact(obj) || PyList_CheckExact(obj) || PyDict_CheckExact(obj);
}

bool type_is(PyObject* type /* borrowed str */, const char* name) noexcept {
    return PyUnicode_CompareWithASCIIString(type, name) == 0;
}

// What one geometry kind reads from a plain coordinate structure (or from the
// "coordinates" member of its geo mapping), and the type name of that mapping. Parts
// are validated but may still need assembling, which cannot fail and needs no GIL.
template <typename Parts>
struct GeometryKind {
    const char* type_name;
    std::optional<Parts> (*from_coordinates)(PyObject* obj);
    // The type whose "coordinates" list several of these as one tree item, or nullptr.
    const char* multi_type_name;
};

std::optional<geodetic::GeodeticPoint> point_from_coordinate(PyObject* obj) {
    const std::optional<geodetic::LonLat> pair = coord_pair(obj);
    if (!pair) {
        return std::nullopt;
    }
    return checked(geodetic::GeodeticPoint::try_new(pair->lon, pair->lat));
}

std::optional<geodetic::ValidatedLineString> linestring_from_coordinates(PyObject* obj) {
    std::optional<std::vector<geodetic::LonLat>> vertices = coord_list(obj);
    if (!vertices) {
        return std::nullopt;
    }
    return checked(geodetic::GeodeticLineString::try_validate_lonlat(std::move(*vertices)));
}

// Every ring read and validated in order while the rings are iterated, so the first
// bad ring is reported, exterior or not.
std::optional<PolygonRings> rings_from_coordinates(PyObject* obj) {
    std::optional<geodetic::GeodeticRing> exterior;
    std::vector<geodetic::GeodeticRing> interiors;
    const bool read = for_each_input_element(obj, [&](PyObject* element) {
        std::optional<std::vector<geodetic::LonLat>> vertices = coord_list(element);
        if (!vertices) {
            return false;
        }
        std::optional<geodetic::GeodeticRing> ring = checked(geodetic::GeodeticRing::try_from_lonlat(std::move(*vertices)));
        if (!ring) {
            return false;
        }
        if (!exterior) {
            exterior.emplace(std::move(*ring));
        } else {
            interiors.push_back(std::move(*ring));
        }
        return true;
    });
    if (!read) {
        return std::nullopt;
    }
    if (!exterior) {
        value_error("a polygon needs an exterior ring");
        return std::nullopt;
    }
    return PolygonRings{std::move(*exterior), std::move(interiors)};
}

// A MultiPoint in point data stays an error: points have no parts.
constexpr GeometryKind<geodetic::GeodeticPoint> POINT_KIND = {"Point", point_from_coordinate, nullptr};
constexpr GeometryKind<geodetic::ValidatedLineString> LINESTRING_KIND = {"LineString", linestring_from_coordinates,
                                                                         "MultiLineString"};
constexpr GeometryKind<PolygonRings> POLYGON_KIND = {"Polygon", rings_from_coordinates, "MultiPolygon"};

// The parts of a multipart geometry's "coordinates", each read as `kind` reads one
// geometry, in order; no part at all: ValueError "a MultiPolygon has no parts".
template <typename Parts>
std::optional<ItemParts<Parts>> multipart_from_coordinates(PyObject* coordinates, const GeometryKind<Parts>& kind) {
    std::vector<Parts> parts;
    const bool read = for_each_input_element(coordinates, [&](PyObject* element) {
        std::optional<Parts> part = kind.from_coordinates(element);
        if (!part) {
            return false;
        }
        parts.push_back(std::move(*part));
        return true;
    });
    if (!read) {
        return std::nullopt;
    }
    if (parts.empty()) {
        value_error(std::string("a ") + kind.multi_type_name + " has no parts");
        return std::nullopt;
    }
    auto rest = std::make_move_iterator(parts.begin() + 1);
    return ItemParts<Parts>{std::move(parts.front()), std::vector<Parts>(rest, std::make_move_iterator(parts.end())),
                            true};
}

// One geometry of `kind`, or with Multi, also a multipart one of its kind (a tree
// item), from a coordinate structure, a geo mapping or a feature.
template <bool Multi, typename Parts>
std::optional<ItemParts<Parts>> parse_parts(PyObject* obj, const GeometryKind<Parts>& kind) {
    const auto single = [](std::optional<Parts>&& parts) -> std::optional<ItemParts<Parts>> {
        if (!parts) {
            return std::nullopt;
        }
        return ItemParts<Parts>{std::move(*parts), {}, false};
    };
    const std::optional<PyRef> mapping = geo_mapping(obj);
    if (!mapping) {
        return std::nullopt;
    }
    if (!*mapping) {
        return single(kind.from_coordinates(obj));
    }
    const PyRef type = get_type(mapping->get());
    if (!type) {
        return std::nullopt;
    }
    if (type_is(type.get(), "Feature")) {
        const PyRef geometry = item(mapping->get(), geo_key::geometry);
        if (!geometry) {
            return std::nullopt;
        }
        const RecursionGuard guard;
        if (!guard.entered()) {
            return std::nullopt;
        }
        return parse_parts<Multi>(geometry.get(), kind);
    }
    const bool multi = Multi && kind.multi_type_name != nullptr && type_is(type.get(), kind.multi_type_name);
    if (multi || type_is(type.get(), kind.type_name)) {
        const PyRef coordinates = item(mapping->get(), geo_key::coordinates);
        if (!coordinates) {
            return std::nullopt;
        }
        if (multi) {
            return multipart_from_coordinates(coordinates.get(), kind);
        }
        return single(kind.from_coordinates(coordinates.get()));
    }
    type_mismatch(kind.type_name, type.get());
    return std::nullopt;
}

// The member holding the elements of a collection type, or nullptr for a type whose
// mapping is a single element.
InternedString* collection_member(PyObject* type /* borrowed str */) noexcept {
    if (type_is(type, "FeatureCollection")) {
        return &geo_key::features;
    }
    if (type_is(type, "GeometryCollection")) {
        return &geo_key::geometries;
    }
    if (type_is(type, "MultiPoint") || type_is(type, "MultiLineString") || type_is(type, "MultiPolygon")) {
        return &geo_key::coordinates;
    }
    return nullptr;
}

// The elements of a tree's data, each read as `kind` reads one geometry (with Multi, a
// tree item that may be multipart); the first bad one is marked with its position.
template <bool Multi, typename Parts>
auto collect(PyObject* data, const GeometryKind<Parts>& kind) {
    using Element = std::conditional_t<Multi, ItemParts<Parts>, Parts>;
    const std::optional<std::vector<PyRef>> elements = expand(data);
    if (!elements) {
        return std::optional<std::vector<Element>>();
    }
    std::vector<Element> read;
    read.reserve(elements->size());
    for (const PyRef& element : *elements) {
        std::optional<ItemParts<Parts>> parsed = parse_parts<Multi>(element.get(), kind);
        if (!parsed) {
            mark_input_item(read.size());
            return std::optional<std::vector<Element>>();
        }
        if constexpr (Multi) {
            read.push_back(std::move(*parsed));
        } else {
            read.push_back(std::move(parsed->first));
        }
    }
    return std::optional<std::vector<Element>>(std::move(read));
}

// Longitude, latitude, and at most altitude and measure: a wider array of points is
// almost surely [lons, lats] the wrong way round, which row by row would silently
// become a tree of two points with n numbers each.
constexpr std::size_t MAX_POINT_ARRAY_COLUMNS = 4;

}  // namespace

bool refuse_wide_point_array(const MatrixShape& shape) {
    if (!shape.is_matrix || shape.columns <= MAX_POINT_ARRAY_COLUMNS) {
        return true;
    }
    value_error("an array of points must have shape (n, 2), one (lon, lat) row per point, not (" +
                std::to_string(shape.rows) + ", " + std::to_string(shape.columns) + ")");
    return false;
}

namespace {

// How deep the coordinates of `obj` nest, read from the first element at each level:
// 1 for a coordinate (its first element is no sequence), 2 for a linestring, 3 for a
// polygon's rings; 0, with nothing pending, when it cannot be read.
int coordinate_depth(PyObject* obj) {
    PyRef level = PyRef::new_ref(obj);
    for (int depth = 1; depth <= 3; ++depth) {
        if (!PySequence_Check(level.get()) || PyUnicode_Check(level.get()) || PySequence_Size(level.get()) <= 0) {
            PyErr_Clear();
            return 0;
        }
        PyRef first = PyRef::steal(PySequence_GetItem(level.get(), 0));
        if (!first) {
            PyErr_Clear();
            return 0;
        }
        if (!PySequence_Check(first.get()) || PyUnicode_Check(first.get())) {
            return depth;
        }
        level = std::move(first);
    }
    return 0;
}

// Appends the parts of one query geometry (see parse_query_geometry) to `out`.
bool read_query_geometry(PyObject* obj, QueryParts& out) {
    const auto push = [](auto& into, auto&& part) {
        if (!part) {
            return false;
        }
        into.push_back(std::move(*part));
        return true;
    };
    const auto read_kind = [&](PyObject* coordinates, int depth, bool multi) {
        const auto one = [&](PyObject* element) {
            switch (depth) {
                case 1:
                    return push(out.points, point_from_coordinate(element));
                case 2:
                    return push(out.lines, linestring_from_coordinates(element));
                default:
                    return push(out.polygons, rings_from_coordinates(element));
            }
        };
        return multi ? for_each_input_element(coordinates, one) : one(coordinates);
    };
    const std::optional<PyRef> mapping = geo_mapping(obj);
    if (!mapping) {
        return false;
    }
    if (!*mapping) {
        const int depth = coordinate_depth(obj);
        if (depth == 0) {
            value_error("a query geometry must be a point, a linestring or a polygon, as coordinates or a geo mapping");
            return false;
        }
        return read_kind(obj, depth, false);
    }
    const PyRef type = get_type(mapping->get());
    if (!type) {
        return false;
    }
    const bool feature = type_is(type.get(), "Feature");
    if (feature || type_is(type.get(), "GeometryCollection")) {
        const PyRef member = item(mapping->get(), feature ? geo_key::geometry : geo_key::geometries);
        if (!member) {
            return false;
        }
        const RecursionGuard guard;
        if (!guard.entered()) {
            return false;
        }
        if (feature) {
            return read_query_geometry(member.get(), out);
        }
        return for_each_input_element(member.get(), [&](PyObject* element) { return read_query_geometry(element, out); });
    }
    static constexpr const char* NAMES[] = {"Point", "LineString", "Polygon"};
    for (int depth = 1; depth <= 3; ++depth) {
        const char* name = NAMES[depth - 1];
        const bool multi = type_is(type.get(), (std::string("Multi") + name).c_str());
        if (multi || type_is(type.get(), name)) {
            const PyRef coordinates = item(mapping->get(), geo_key::coordinates);
            return coordinates && read_kind(coordinates.get(), depth, multi);
        }
    }
    type_mismatch("Point, LineString or Polygon", type.get());
    return false;
}

}  // namespace

bool refuse_projected(PyObject* obj, const char* what) {
    // Builtin containers have no such attribute; they skip the failed lookup.
    if (lacks_geo_interface(obj)) {
        return true;
    }
    const PyRef crs = PyRef::steal(PyObject_GetAttrString(obj, "crs"));
    if (!crs) {
        return discard_ordinary_error();
    }
    if (crs.get() == Py_None) {
        return true;
    }
    const PyRef geographic = PyRef::steal(PyObject_GetAttrString(crs.get(), "is_geographic"));
    if (!geographic) {
        // Not a CRS object this can judge: read as before.
        return discard_ordinary_error();
    }
    const int is_geographic = PyObject_IsTrue(geographic.get());
    if (is_geographic != 0) {
        return is_geographic > 0;
    }
    const PyRef name = PyRef::steal(PyObject_Str(crs.get()));
    if (!name) {
        return false;
    }
    const PyRef message = PyRef::steal(PyUnicode_FromFormat(
        "%s are in the projected CRS %U, not longitude/latitude degrees; convert them first with .to_crs(4326)",
        what, name.get()));
    if (message) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
    return false;
}

PyObject* geodetic_error_type() {
    return exception_type(
        geodetic_error, "sferix.GeodeticError",
        "Raised when coordinates or a geometry fail validation (out-of-range longitude or latitude, "
        "a non-finite value, too few vertices, an edge spanning half the sphere, or an unclosed ring).",
        PyExc_ValueError);
}

std::nullptr_t map_error(const geodetic::GeodeticError& error) {
    const std::string message = error.message();
    PyErr_SetString(geodetic_error_type(), message.c_str());
    return nullptr;
}

void mark_input_item(std::size_t position) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return;
    }
    set_error_index("item", position);
    add_note("while reading item " + std::to_string(position));
}

std::optional<PyRef> geo_mapping(PyObject* obj) {
    if (!lacks_geo_interface(obj)) {
        PyObject* name = geo_key::geo_interface.get();  // borrowed, process-wide
        if (name == nullptr) {
            return std::nullopt;
        }
        PyRef value = PyRef::steal(PyObject_GetAttr(obj, name));
        if (value) {
            if (!PyDict_Check(value.get())) {
                value_error("__geo_interface__ did not return a mapping");
                return std::nullopt;
            }
            return value;
        }
        if (!discard_ordinary_error()) {
            return std::nullopt;
        }
    }
    if (!PyDict_Check(obj)) {
        return PyRef();
    }
    PyObject* type_key = geo_key::type.get();  // borrowed, process-wide
    if (type_key == nullptr) {
        return std::nullopt;
    }
    const int has_type = PyDict_Contains(obj, type_key);
    if (has_type < 0) {
        return std::nullopt;
    }
    return has_type == 1 ? PyRef::new_ref(obj) : PyRef();
}

PyRef item(PyObject* mapping, InternedString& key) {
    PyObject* key_object = key.get();  // borrowed, process-wide
    if (key_object == nullptr) {
        return PyRef();
    }
    // Borrowed from the dict; owned below, as parsing it may run code that changes the dict.
    PyObject* value = PyDict_GetItemWithError(mapping, key_object);
    if (value == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            value_error(std::string("geo mapping is missing '") + key.text() + "'");
        }
        return PyRef();
    }
    return PyRef::new_ref(value);
}

PyRef get_type(PyObject* mapping) {
    PyRef type = item(mapping, geo_key::type);
    if (type && !PyUnicode_Check(type.get())) {
        raise_not_instance(type.get(), "str");
        return PyRef();
    }
    return type;
}

std::nullptr_t type_mismatch(const char* expected, PyObject* found) {
    // Formatted from the str itself: any text, even one that has no UTF-8 form.
    const PyRef message = PyRef::steal(PyUnicode_FromFormat("expected a %s geometry, found '%U'", expected, found));
    if (message) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
    return nullptr;
}

std::optional<geodetic::GeodeticPoint> parse_point(PyObject* obj) {
    std::optional<ItemParts<geodetic::GeodeticPoint>> parsed = parse_parts<false>(obj, POINT_KIND);
    if (!parsed) {
        return std::nullopt;
    }
    return std::move(parsed->first);
}

geodetic::GeodeticPolygon PolygonRings::assemble(geodetic::Fill fill) && {
    return geodetic::GeodeticPolygon::from_rings(std::move(exterior), std::move(interiors), fill);
}

namespace {

InternedString geopandas_name("geopandas");
InternedString geoseries_name("GeoSeries");
InternedString geodataframe_name("GeoDataFrame");
InternedString geometry_column_name("geometry");

// The geometries of a geopandas GeoSeries, or of a GeoDataFrame's active geometry
// column, as the series itself (iterating it gives its shapely geometries, the same
// ones its __geo_interface__ describes, in the same order); nothing (no exception) for
// anything else. Their __geo_interface__ would first copy every coordinate into a
// GeoJSON dict, which takes longer than reading them. Only a program that imported
// geopandas can pass its frames; geopandas is never imported here.
std::optional<PyRef> geopandas_geometries(PyObject* data) {
    const std::optional<PyRef> geopandas = imported_module(geopandas_name);
    if (!geopandas || !*geopandas) {
        return geopandas ? std::optional<PyRef>(PyRef()) : std::nullopt;
    }
    for (InternedString* kind : {&geoseries_name, &geodataframe_name}) {
        const PyRef type = attribute(geopandas->get(), *kind);
        if (!type) {
            return discard_ordinary_error() ? std::optional<PyRef>(PyRef()) : std::nullopt;
        }
        const int is_kind = PyObject_IsInstance(data, type.get());
        if (is_kind < 0) {
            return std::nullopt;
        }
        if (is_kind == 1) {
            if (kind == &geoseries_name) {
                return PyRef::new_ref(data);
            }
            PyRef geometry = attribute(data, geometry_column_name);
            if (!geometry && !discard_ordinary_error()) {
                return std::nullopt;
            }
            return geometry;
        }
    }
    return PyRef();
}

}  // namespace

std::optional<std::vector<PyRef>> expand(PyObject* data) {
    const std::optional<PyRef> series = geopandas_geometries(data);
    if (!series) {
        return std::nullopt;
    }
    if (*series) {
        return sequence(series->get());
    }
    const std::optional<PyRef> mapping = geo_mapping(data);
    if (!mapping) {
        return std::nullopt;
    }
    if (!*mapping) {
        return sequence(data);
    }
    const PyRef type = get_type(mapping->get());
    if (!type) {
        return std::nullopt;
    }
    InternedString* member = collection_member(type.get());
    if (member == nullptr) {
        std::vector<PyRef> single;
        single.push_back(PyRef::new_ref(data));
        return single;
    }
    const PyRef elements = item(mapping->get(), *member);
    if (!elements) {
        return std::nullopt;
    }
    return sequence(elements.get());
}

std::optional<std::vector<geodetic::GeodeticCoord>> collect_point_coords(PyObject* data) {
    if (!refuse_projected(data, "data")) {
        return std::nullopt;
    }
    const std::optional<MatrixShape> shape = matrix_shape(data);
    if (!shape || !refuse_wide_point_array(*shape)) {
        return std::nullopt;
    }
    // An (n, k) array of doubles: the rows are read from its bytes, giving the points
    // and the first error that parsing each row would give. Such an array has no
    // __geo_interface__, so expand would iterate its rows. The bytes come a slice at a
    // time: a copy of the whole would add 16 bytes a point to the build's peak, and the
    // allocator may keep a mid-sized one after it is freed.
    constexpr std::size_t ROWS_PER_SLICE = 1024;
    std::optional<Float64Matrix> matrix = float64_matrix(data, 0, ROWS_PER_SLICE);
    if (!matrix) {
        return std::nullopt;
    }
    if (!matrix->qualifies()) {
        const std::optional<std::vector<geodetic::GeodeticPoint>> points = collect<false>(data, POINT_KIND);
        if (!points) {
            return std::nullopt;
        }
        std::vector<geodetic::GeodeticCoord> coords;
        support::reserve_huge(coords, points->size());
        for (const geodetic::GeodeticPoint& point : *points) {
            coords.push_back(point.coord());
        }
        return coords;
    }
    std::vector<geodetic::GeodeticCoord> coords;
    if (shape->rows == 0) {
        return coords;
    }
    if (matrix->columns() < 2) {
        raise_too_few_numbers();
        mark_input_item(0);
        return std::nullopt;
    }
    // Only checked here; the tree embeds them later, without the GIL.
    support::reserve_huge(coords, shape->rows);
    for (std::size_t first = 0; first < shape->rows; first += ROWS_PER_SLICE) {
        if (first != 0 && !(matrix = float64_matrix(data, first, ROWS_PER_SLICE))) {
            return std::nullopt;
        }
        // Reading a slice runs no Python code of ours, but the array is not ours either.
        if (!matrix->qualifies() || matrix->columns() != shape->columns ||
            matrix->rows() != std::min(ROWS_PER_SLICE, shape->rows - first)) {
            PyErr_SetString(PyExc_RuntimeError, "array changed while it was read");
            return std::nullopt;
        }
        for (std::size_t row = 0; row < matrix->rows(); ++row) {
            const std::optional<geodetic::GeodeticCoord> coord =
                checked(geodetic::GeodeticCoord::try_new(matrix->at(row, 0), matrix->at(row, 1)));
            if (!coord) {
                mark_input_item(first + row);
                return std::nullopt;
            }
            coords.push_back(*coord);
        }
    }
    return coords;
}

std::optional<std::vector<ItemParts<geodetic::ValidatedLineString>>> collect_linestrings(PyObject* data) {
    if (!refuse_projected(data, "data")) {
        return std::nullopt;
    }
    return collect<true>(data, LINESTRING_KIND);
}

std::optional<std::vector<ItemParts<PolygonRings>>> collect_polygons(PyObject* data) {
    if (!refuse_projected(data, "data")) {
        return std::nullopt;
    }
    return collect<true>(data, POLYGON_KIND);
}

std::optional<QueryParts> parse_query_geometry(PyObject* obj) {
    QueryParts parts;
    if (!read_query_geometry(obj, parts)) {
        return std::nullopt;
    }
    if (parts.points.empty() && parts.lines.empty() && parts.polygons.empty()) {
        value_error("a query geometry has no parts");
        return std::nullopt;
    }
    return parts;
}

std::optional<std::vector<QueryParts>> collect_query_geometries(PyObject* data) {
    if (!refuse_projected(data, "geometries")) {
        return std::nullopt;
    }
    const std::optional<std::vector<PyRef>> elements = expand(data);
    if (!elements) {
        return std::nullopt;
    }
    std::optional<BulkQueryGeometries> bulk = read_shapely_query_geometries(*elements);
    if (!bulk) {
        return std::nullopt;
    }
    if (bulk->read) {
        return std::move(bulk->geometries);
    }
    std::vector<QueryParts> geometries;
    geometries.reserve(elements->size());
    for (const PyRef& element : *elements) {
        std::optional<QueryParts> parsed = parse_query_geometry(element.get());
        if (!parsed) {
            mark_input_item(geometries.size());
            return std::nullopt;
        }
        geometries.push_back(std::move(*parsed));
    }
    return geometries;
}

geodetic::Shape QueryParts::assemble(geodetic::Fill fill) && {
    std::vector<geodetic::UnitVec> vectors;
    vectors.reserve(points.size());
    for (const geodetic::GeodeticPoint& point : points) {
        vectors.push_back(point.vector());
    }
    std::vector<geodetic::GeodeticLineString> assembled_lines;
    assembled_lines.reserve(lines.size());
    for (geodetic::ValidatedLineString& line : lines) {
        assembled_lines.push_back(geodetic::GeodeticLineString::from_validated(std::move(line)));
    }
    std::vector<geodetic::GeodeticPolygon> assembled_polygons;
    assembled_polygons.reserve(polygons.size());
    for (PolygonRings& rings : polygons) {
        assembled_polygons.push_back(std::move(rings).assemble(fill));
    }
    return geodetic::Shape(std::move(vectors), std::move(assembled_lines), std::move(assembled_polygons));
}

}  // namespace sferix::python
