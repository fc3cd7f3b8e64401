#pragma once

// The tree classes GeodeticPointTree, GeodeticLineStringTree and GeodeticPolygonTree:
// static R-trees built once from Python input by their constructor and then only
// queried. Type names "sferix.GeodeticPointTree" etc.; constructible, not
// subclassable, no __dict__, no weak references, not garbage-collected.
//
// What the three classes have in common is written here once over the tree kind: the
// instance state, the argument descriptions, __len__, __getitem__, geometry,
// geometries, the queries and their WGS84 forms, the docstrings made from the kind's
// item name, and the class's method table, slots and type object. Each class's .cpp file
// instantiates these for its kind.
//
// A kind describes one class:
//
//     struct PointTreeKind {
//         using Geometry = geodetic::GeodeticPoint;
//         using Tree = indexed::PointTree;
//         using State = PointTreeState;   // with item_count, item_value, item_list
//         static constexpr std::string_view NAME = "GeodeticPointTree";
//         static PyTypeObject* type();   // the class, borrowed
//         static std::optional<PositionWithMetres> nearest(const Tree&, const geodetic::GeodeticPoint& query);
//         // and the binary form: encode, decode (see TravellingClass)
//     };
//
// Every entry point runs inside run_entry and holds the GIL throughout; only the
// constructors give it up, for everything after reading their input. Built trees are
// immutable, so queries from several threads need no lock of their own.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "array_queries.hpp"
#include "binary_form.hpp"
#include "geo_input.hpp"
#include "results.hpp"
#include "toolkit/arguments.hpp"
#include "toolkit/gil.hpp"
#include "toolkit/errors.hpp"
#include "toolkit/python_api.hpp"
#include "toolkit/types.hpp"
#include "values.hpp"

#include "geodetic/distance.hpp"
#include "index/batch_queries.hpp"
#include "index/geometry_query.hpp"

namespace sferix::python {

// The process-wide type objects, created on first use: borrowed, or nullptr with an
// exception pending. REQUIRES: the GIL is held.
PyTypeObject* point_tree_type();
PyTypeObject* linestring_tree_type();
PyTypeObject* polygon_tree_type();

// The state of a linestring or polygon tree instance: the tree, and one shared
// geometry per input item in input order (element i is input position i). Both are
// fixed at construction; the slot of their coverage is filled by coverage_of.
template <typename Tree, typename Geometry>
struct TreeState {
    Tree tree;
    std::vector<std::shared_ptr<const Geometry>> geometries;
    std::unique_ptr<CoverageSlot<typename Tree::LeafType>> coverage;
};

// The items of a state, for the shared methods: how many, the value object at input
// position `index` (< item_count) as a new reference, and the list of all of them
// (nullptr with an exception pending on failure). A state type with its items stored
// differently defines the same three functions next to it.
template <typename Tree, typename Geometry>
std::size_t item_count(const TreeState<Tree, Geometry>& state) noexcept {
    return state.geometries.size();
}
template <typename Tree, typename Geometry>
PyObject* item_value(const TreeState<Tree, Geometry>& state, std::size_t index) {
    return new_value(state.geometries[index]);
}
template <typename Tree, typename Geometry>
PyObject* item_list(const TreeState<Tree, Geometry>& state) {
    return new_value_list(state.geometries);
}

template <typename Kind>
concept TreeKind = TravellingClass<Kind> && requires(const typename Kind::Tree& tree,
                                                     const geodetic::GeodeticPoint& query) {
    typename Kind::Geometry;
    { Kind::nearest(tree, query) } -> std::same_as<std::optional<PositionWithMetres>>;
};

template <TreeKind Kind>
using StateOf = typename Kind::State;

// Parameter lists. Every parameter is positional-or-keyword.
inline constexpr const char* const DATA_PARAMETERS[] = {"data"};
inline constexpr const char* const INDEX_PARAMETERS[] = {"index"};
inline constexpr const char* const QUERY_PARAMETERS[] = {"query"};
inline constexpr const char* const WITHIN_PARAMETERS[] = {"query", "radius_metres", "return_distance"};

template <TreeKind Kind>
inline constexpr FunctionDescription NEW_DESCRIPTION{Kind::NAME, "__new__", DATA_PARAMETERS, 0, 1};

// The value object for input position `index_object` (converted as 'index'): a new
// Point/LineString/Polygon sharing the stored geometry, or IndexError past the end.
template <TreeKind Kind>
PyObject* geometry_at(const StateOf<Kind>& state, PyObject* index_object /* borrowed */) {
    const std::optional<std::uint64_t> index = convert_index(index_object, "index");
    if (!index) {
        return nullptr;
    }
    if (*index >= item_count(state)) {
        PyErr_SetString(PyExc_IndexError, "geometry index out of range");
        return nullptr;
    }
    return item_value(state, static_cast<std::size_t>(*index));
}

// The shared entry points, in the signatures the type slots and method table expect.
// The queries are written once for both geodesies: the `_wgs84` methods of the point
// tree are their WGS84 forms.

template <TreeKind Kind>
Py_ssize_t tree_length(PyObject* self) {
    return with_state<Kind>(self, [](const StateOf<Kind>& state) {
        return static_cast<Py_ssize_t>(item_count(state));
    });
}

template <TreeKind Kind>
PyObject* tree_subscript(PyObject* self, PyObject* index /* borrowed */) {
    return with_state<Kind>(self, [index](const StateOf<Kind>& state) { return geometry_at<Kind>(state, index); });
}

template <TreeKind Kind>
PyObject* tree_geometry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{Kind::NAME, "geometry", INDEX_PARAMETERS, 0, 1};
    const auto body = [](const StateOf<Kind>& state, auto& slots) { return geometry_at<Kind>(state, slots[0]); };
    return run_method<Kind, 1>(self, description, args, nargs, kwnames, body);
}

template <TreeKind Kind>
PyObject* tree_geometries(PyObject* self, PyObject* /* unused */) {
    return with_state<Kind>(self, [](const StateOf<Kind>& state) { return item_list(state); });
}

// nearest and nearest_with_distance: bind `query`, parse it, search (Kind::nearest, or
// Kind::nearest_wgs84) and return None, the position, or (position, metres).
template <TreeKind Kind, indexed::Geodesy G, bool WithDistance>
PyObject* tree_nearest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{
        Kind::NAME,
        WithDistance ? query_name(G, "nearest_with_distance", "nearest_with_distance_wgs84")
                     : query_name(G, "nearest", "nearest_wgs84"),
        QUERY_PARAMETERS, 0, 1};
    const auto body = [](const StateOf<Kind>& state, auto& slots) -> PyObject* {
        const std::optional<geodetic::GeodeticPoint> query = parse_point(slots[0]);
        if (!query) {
            return nullptr;
        }
        if constexpr (G == WGS84) {
            return nearest_result(Kind::nearest_wgs84(state.tree, *query), WithDistance);
        } else {
            return nearest_result(Kind::nearest(state.tree, *query), WithDistance);
        }
    };
    return run_method<Kind, 1>(self, description, args, nargs, kwnames, body);
}

// within_distance, in this order: bind; convert radius_metres; convert return_distance
// strictly, only when given (default False); parse query; run indexed::within_distance_on;
// build the list. So a bad radius is reported before a bad query, and a negative or NaN
// radius is not an error (the query gives nothing).
template <TreeKind Kind, indexed::Geodesy G>
PyObject* tree_within_distance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{
        Kind::NAME, query_name(G, "within_distance", "within_distance_wgs84"), WITHIN_PARAMETERS, 0, 2};
    const auto body = [](const StateOf<Kind>& state, auto& slots) -> PyObject* {
        std::optional<double> radius_metres;
        std::optional<bool> return_distance;
        std::optional<geodetic::GeodeticPoint> query;
        if (!(radius_metres = convert_double(slots[1], "radius_metres")) ||
            !(return_distance = parse_return_distance(slots[2])) || !(query = parse_point(slots[0]))) {
            return nullptr;
        }
        std::vector<PositionWithMetres> hits;
        indexed::within_distance_on(G, state.tree, *query, *radius_metres, *return_distance, hits);
        return within_result(hits, *return_distance);
    };
    return run_method<Kind, 3>(self, description, args, nargs, kwnames, body);
}

inline constexpr const char* const QUERY_GEOMETRY_PARAMETERS[] = {"geometry", "predicate", "distance",
                                                                   "return_distance", "oriented"};
inline constexpr const char* const QUERY_MANY_PARAMETERS[] = {"geometries", "predicate", "distance", "workers",
                                                              "oriented"};

// predicate: absent is "intersects"; else one of the four names, ValueError "predicate
// must be one of 'intersects', 'covered_by', 'covers', 'dwithin', not 'X'"; not a str:
// the cast-rule TypeError "'T' object is not an instance of 'str'".
inline std::optional<indexed::GeometryPredicate> parse_predicate(PyObject* predicate /* may be null */) {
    using indexed::GeometryPredicate;
    if (predicate == nullptr) {
        return GeometryPredicate::Intersects;
    }
    if (!PyUnicode_Check(predicate)) {
        raise_not_instance(predicate, "str");
        return std::nullopt;
    }
    static constexpr std::pair<const char*, GeometryPredicate> NAMES[] = {
        {"intersects", GeometryPredicate::Intersects},
        {"covered_by", GeometryPredicate::CoveredBy},
        {"covers", GeometryPredicate::Covers},
        {"dwithin", GeometryPredicate::DWithin},
    };
    for (const auto& [name, value] : NAMES) {
        if (PyUnicode_CompareWithASCIIString(predicate, name) == 0) {
            return value;
        }
    }
    if (const std::optional<std::string> text = utf8_text(predicate)) {
        set_error_text(PyExc_ValueError,
                       "predicate must be one of 'intersects', 'covered_by', 'covers', 'dwithin', not '" + *text + "'");
    }
    return std::nullopt;
}

// Whether `distance` is given as the predicate wants it: "dwithin" needs one (ValueError
// "predicate 'dwithin' needs a distance in metres"), the others take none (ValueError
// "distance is only for predicate 'dwithin'"). None counts as not given.
inline bool check_distance_given(PyObject* distance /* may be null */, indexed::GeometryPredicate predicate) {
    const bool given = distance != nullptr && distance != Py_None;
    if (predicate == indexed::GeometryPredicate::DWithin && !given) {
        value_error("predicate 'dwithin' needs a distance in metres");
        return false;
    }
    if (predicate != indexed::GeometryPredicate::DWithin && given) {
        value_error("distance is only for predicate 'dwithin'");
        return false;
    }
    return true;
}

// oriented (keyword-only, strictly a bool, default True), as the polygon tree's
// constructor reads it, to the region its query polygons fill.
inline std::optional<geodetic::Fill> parse_oriented(PyObject* oriented /* may be null */) {
    if (oriented == nullptr) {
        return geodetic::Fill::LeftOfExterior;
    }
    const std::optional<bool> given = convert_bool(oriented, "oriented");
    if (!given) {
        return std::nullopt;
    }
    return *given ? geodetic::Fill::LeftOfExterior : geodetic::Fill::SmallerRegion;
}

// How many parts the item at each position has: what the state keeps, or one each.
template <typename State>
auto part_counts(const State& state) {
    if constexpr (requires { state.geometries[0]->part_count(); }) {
        return [&state](std::uint64_t position) { return state.geometries[position]->part_count(); };
    } else {
        return indexed::OnePart{};
    }
}

// query, in this order: bind; predicate; distance (as the predicate wants it, then a
// float); return_distance; oriented; the geometry. The geometry is assembled and asked
// with the GIL held, as the other single queries are. The positions as an int64 array,
// and with return_distance the float64 array of their metres.
template <TreeKind Kind>
PyObject* tree_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{Kind::NAME, "query", QUERY_GEOMETRY_PARAMETERS, 0, 1, 1};
    return run_method<Kind, 5>(self, description, args, nargs, kwnames,
                               [](const StateOf<Kind>& state, auto& slots) -> PyObject* {
        std::optional<indexed::GeometryPredicate> predicate;
        std::optional<double> distance = 0.0;
        std::optional<bool> return_distance;
        std::optional<geodetic::Fill> fill;
        std::optional<QueryParts> parts;
        if (!(predicate = parse_predicate(slots[1])) || !check_distance_given(slots[2], *predicate) ||
            (*predicate == indexed::GeometryPredicate::DWithin && !(distance = convert_double(slots[2], "distance"))) ||
            !(return_distance = parse_return_distance(slots[3])) || !(fill = parse_oriented(slots[4])) ||
            !(parts = parse_query_geometry(slots[0]))) {
            return nullptr;
        }
        const geodetic::Shape shape = std::move(*parts).assemble(*fill);
        std::vector<PositionWithMetres> hits;
        indexed::query_geometry(state.tree, shape,
                                {.predicate = *predicate, .distance_metres = *distance,
                                 .return_distance = *return_distance},
                                part_counts(state), hits);
        const std::size_t m = hits.size();
        std::optional<ResultArrays> results = allocate_results(m, *return_distance ? m : 0, std::to_string(m) + " items",
                                                               *return_distance ? 2 : 1, static_cast<double>(m));
        if (!results) {
            return nullptr;
        }
        for (std::size_t i = 0; i < m; ++i) {
            results->positions.elements()[i] = static_cast<std::int64_t>(hits[i].position);
            if (*return_distance) {
                results->metres.elements()[i] = hits[i].metres;
            }
        }
        const std::array<std::size_t, 1> shape_of{m};
        return *return_distance ? results->to_numpy(shape_of, shape_of) : results->positions.to_numpy(shape_of);
    });
}

// query_many, in this order: bind; workers; predicate; oriented; the geometries; distance
// (as the predicate wants it, then one number or one per geometry). The geometries are
// assembled and asked without the GIL, on `workers` threads. The (2, m) int64 array of
// (geometry index, position) pairs, by geometry, then position.
template <TreeKind Kind>
PyObject* tree_query_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{Kind::NAME, "query_many", QUERY_MANY_PARAMETERS, 0, 1, 1};
    return run_method<Kind, 5>(self, description, args, nargs, kwnames,
                               [](const StateOf<Kind>& state, auto& slots) -> PyObject* {
        std::optional<std::size_t> workers;
        std::optional<indexed::GeometryPredicate> predicate;
        std::optional<geodetic::Fill> fill;
        std::optional<std::vector<QueryParts>> parsed;
        std::optional<std::vector<double>> distances = std::vector<double>{0.0};
        if (!(workers = parse_workers(slots[3])) || !(predicate = parse_predicate(slots[1])) ||
            !(fill = parse_oriented(slots[4])) || !(parsed = collect_query_geometries(slots[0])) ||
            !check_distance_given(slots[2], *predicate) ||
            (*predicate == indexed::GeometryPredicate::DWithin &&
             !(distances = parse_radii(slots[2], parsed->size(), "distance")))) {
            return nullptr;
        }
        std::vector<geodetic::Shape> shapes(parsed->size());
        indexed::GeometryPairs pairs;
        const indexed::BatchRun run = batch_run(*workers);
        if (!run_interruptibly([&] {
                support::run_chunked(
                    shapes.size(), {.workers = *workers, .chunk_size = indexed::GEOMETRY_QUERIES_PER_CHUNK},
                    [&](std::size_t begin, std::size_t end) {
                        for (std::size_t i = begin; i < end; ++i) {
                            shapes[i] = std::move((*parsed)[i]).assemble(*fill);
                        }
                    },
                    run.keep_going);
                indexed::query_geometries(state.tree, std::span<const geodetic::Shape>(shapes), *distances,
                                          {.predicate = *predicate}, part_counts(state), run, pairs);
            })) {
            return nullptr;
        }
        const std::size_t m = pairs.queries.size();
        std::optional<ResultArrays> results =
            allocate_results(2 * m, 0, std::to_string(m) + " pairs", 2, static_cast<double>(m));
        if (!results) {
            return nullptr;
        }
        const std::span<std::int64_t> out = results->positions.elements();
        std::copy(pairs.queries.begin(), pairs.queries.end(), out.begin());
        std::copy(pairs.positions.begin(), pairs.positions.end(), out.begin() + static_cast<std::ptrdiff_t>(m));
        const std::array<std::size_t, 2> shape_of{2, m};
        return results->positions.to_numpy(shape_of);
    });
}

// The docstrings of the methods every tree class has, in the interpreter's signature
// form ("name($self, ...)\n--\n\n..."), made once from the name of the kind's items:
// `item` ("point"), `items` in the plural, and what nearest adds about a query inside
// an item (`nearest_note`, with its leading space). They live as long as the class.
struct TreeDocs {
    std::string geometry, geometries, nearest, nearest_with_distance, within_distance;
    std::string nearest_k, query_nearest, query_within_distance;
    std::string query, query_many;
    // The WGS84 forms.
    std::string nearest_wgs84, nearest_with_distance_wgs84, within_distance_wgs84;
    std::string nearest_k_wgs84, query_nearest_wgs84, query_within_distance_wgs84;
};

// The docstrings of a kind whose item is called `item` (`items` for several).
// `nearest_note` follows "to `query`" in nearest; `wgs84_note` ends the single WGS84
// forms (how their metres are measured, where more than a point's geodesic).
inline TreeDocs tree_docs(std::string_view item, std::string_view items, std::string_view nearest_note = "",
                          std::string_view wgs84_note = "") {
    const std::string one(item);
    const std::string many(items);
    const std::string note(wgs84_note);
    return {
        .geometry = "geometry($self, index)\n--\n\nThe " + one + " at input position `index`.",
        .geometries = "geometries($self)\n--\n\nEvery " + one + ", in input order.",
        .nearest = "nearest($self, query)\n--\n\nThe input position of the nearest " + one + " to `query`" +
                   std::string(nearest_note) + ", or `None` if the tree is empty.",
        .nearest_with_distance = "nearest_with_distance($self, query)\n--\n\nThe `(input position, distance in "
                                 "metres)` of the nearest " + one + " to `query`, or\n`None` if the tree is empty.",
        .within_distance = "within_distance($self, query, radius_metres, return_distance=False)\n--\n\nThe input "
                           "positions of every " + one + " within `radius_metres` great-circle metres of\n`query`. "
                           "With `return_distance=True`, `(index, distance)` pairs instead.",
        .nearest_k = "nearest_k($self, query, k, *, max_distance=None)\n--\n\nThe `(input position, distance in "
                     "metres)` of the `k` " + many + " nearest to `query`,\nnearest first, ties by the smaller "
                     "position; with `max_distance`, only those within\nthat many metres.",
        .query_nearest = "query_nearest($self, queries, k=1, *, max_distance=None, workers=1)\n--\n\nThe nearest " +
                         many + " to each of `queries` (an `(n, 2)` array-like of `(lon, lat)`), as\nnearest_k finds "
                         "them: `(positions, metres)` NumPy arrays of shape `(n,)` for `k=1`,\n`(n, k)` otherwise, "
                         "rows padded with position -1 and distance inf. `workers`\nthreads share the queries (-1: "
                         "every core), without the GIL.",
        .query_within_distance = "query_within_distance($self, queries, radius_metres, return_distance=False, *, "
                                 "workers=1)\n--\n\nEvery `(query index, input position)` pair of a query in "
                                 "`queries` and a " + one + "\nwithin `radius_metres` (one number, or one per query) "
                                 "of it, as within_distance\nfinds them: an int64 array of shape `(2, m)`, by query, "
                                 "and with\n`return_distance=True` also the float64 array of the m distances.",
        .query = "query($self, geometry, predicate=\"intersects\", distance=None, return_distance=False, *, "
                 "oriented=True)\n--\n\nThe input positions, ascending, of the " + many + " in `predicate` with "
                 "`geometry` (a\npoint, linestring or polygon, or a multipart one, as coordinates, shapely or "
                 "GeoJSON-like),\nan int64 array. Predicates, a polygon holding its boundary: \"intersects\" (a "
                 "shared\npoint), \"covered_by\" (the " + one + " lies in `geometry`), \"covers\" (`geometry` lies "
                 "in the\n" + one + "), \"dwithin\" (within `distance` great-circle metres). "
                 "With\n`return_distance=True`, `(positions, metres)`: each one's metres to `geometry`, 0 where\n"
                 "they intersect. `oriented` reads polygons as the polygon tree's constructor does.",
        .query_many = "query_many($self, geometries, predicate=\"intersects\", distance=None, workers=1, *, "
                      "oriented=True)\n--\n\nEvery `(geometry index, input position)` pair of a geometry in "
                      "`geometries` (a sequence,\na GeoSeries, an array of shapely geometries) and a " + one + " in "
                      "`predicate` with it, as\nquery finds them: an int64 array of shape `(2, m)`, sorted. "
                      "`distance` is one number\nor one per geometry; `workers` threads share the geometries "
                      "(-1: every core), without\nthe GIL.",
        .nearest_wgs84 = "nearest_wgs84($self, query)\n--\n\nThe input position of the nearest " + one +
                         " to `query` by WGS84-ellipsoid geodesic\ndistance, or `None` if the tree is empty." + note,
        .nearest_with_distance_wgs84 = "nearest_with_distance_wgs84($self, query)\n--\n\nThe `(input position, "
                                       "geodesic distance in metres)` of the nearest " + one + " to `query`\non the "
                                       "WGS84 ellipsoid, or `None` if empty." + note,
        .within_distance_wgs84 = "within_distance_wgs84($self, query, radius_metres, return_distance=False)\n--\n\n"
                                 "The input positions of every " + one + " within `radius_metres` WGS84-ellipsoid "
                                 "geodesic\nmetres of `query`. With `return_distance=True`, `(index, distance)` "
                                 "pairs instead." + note,
        .nearest_k_wgs84 = "nearest_k_wgs84($self, query, k, *, max_distance=None)\n--\n\nThe `(input position, "
                           "geodesic distance in metres)` of the `k` " + many + " nearest to\n`query` on the WGS84 "
                           "ellipsoid, nearest first, ties by the smaller position; with\n`max_distance`, only "
                           "those within that many metres." + note,
        .query_nearest_wgs84 = "query_nearest_wgs84($self, queries, k=1, *, max_distance=None, workers=1)\n--\n\n"
                               "query_nearest by geodesic distance on the WGS84 ellipsoid, as nearest_k_wgs84\nfinds "
                               "them.",
        .query_within_distance_wgs84 = "query_within_distance_wgs84($self, queries, radius_metres, "
                                       "return_distance=False, *, workers=1)\n--\n\nquery_within_distance by "
                                       "geodesic distance on the WGS84 ellipsoid, as\nwithin_distance_wgs84 finds "
                                       "them.",
    };
}

// A tree class's process-wide parts: its method table (the shared methods, `extra`,
// then the WGS84 forms), its slots, its PyType_Spec (named `type_name`, "sferix.<NAME>") and its type
// object, made on first use. Lives at namespace scope for the life of the process.
template <TreeKind Kind, std::size_t Extra = 0>
class TreeClass {
public:
    TreeClass(const char* type_name, const char* doc, newfunc constructor, TreeDocs docs,
              const std::array<PyMethodDef, Extra>& extra = {})
        : docs_(std::move(docs)),
          methods_(table_of(
              std::array<PyMethodDef, 5>{{
                  {"geometry", fastcall_method(tree_geometry<Kind>), FASTCALL, docs_.geometry.c_str()},
                  {"geometries", tree_geometries<Kind>, METH_NOARGS, docs_.geometries.c_str()},
                  {"nearest", fastcall_method(tree_nearest<Kind, SPHERE, false>), FASTCALL, docs_.nearest.c_str()},
                  {"nearest_with_distance", fastcall_method(tree_nearest<Kind, SPHERE, true>), FASTCALL,
                   docs_.nearest_with_distance.c_str()},
                  {"within_distance", fastcall_method(tree_within_distance<Kind, SPHERE>), FASTCALL,
                   docs_.within_distance.c_str()},
              }},
              travel_methods<Kind>("to_bytes($self)\n--\n\nThe tree in its binary form, which `from_bytes` reads back.",
                                   "from_bytes($type, data)\n--\n\nThe tree whose binary form is `data` (made by "
                                   "`to_bytes`). Every field is\nchecked; a truncated, corrupted or foreign buffer "
                                   "raises ValueError."),
              std::array<PyMethodDef, 5>{{
                  {"query", fastcall_method(tree_query<Kind>), FASTCALL, docs_.query.c_str()},
                  {"query_many", fastcall_method(tree_query_many<Kind>), FASTCALL, docs_.query_many.c_str()},
                  {"nearest_k", fastcall_method(tree_nearest_k<Kind, SPHERE>), FASTCALL, docs_.nearest_k.c_str()},
                  {"query_nearest", fastcall_method(tree_query_nearest<Kind, SPHERE>), FASTCALL,
                   docs_.query_nearest.c_str()},
                  {"query_within_distance", fastcall_method(tree_query_within_distance<Kind, SPHERE>), FASTCALL,
                   docs_.query_within_distance.c_str()},
              }},
              extra,
              std::array<PyMethodDef, 6>{{
                  {"nearest_wgs84", fastcall_method(tree_nearest<Kind, WGS84, false>), FASTCALL,
                   docs_.nearest_wgs84.c_str()},
                  {"nearest_with_distance_wgs84", fastcall_method(tree_nearest<Kind, WGS84, true>), FASTCALL,
                   docs_.nearest_with_distance_wgs84.c_str()},
                  {"within_distance_wgs84", fastcall_method(tree_within_distance<Kind, WGS84>), FASTCALL,
                   docs_.within_distance_wgs84.c_str()},
                  {"nearest_k_wgs84", fastcall_method(tree_nearest_k<Kind, WGS84>), FASTCALL,
                   docs_.nearest_k_wgs84.c_str()},
                  {"query_nearest_wgs84", fastcall_method(tree_query_nearest<Kind, WGS84>), FASTCALL,
                   docs_.query_nearest_wgs84.c_str()},
                  {"query_within_distance_wgs84", fastcall_method(tree_query_within_distance<Kind, WGS84>), FASTCALL,
                   docs_.query_within_distance_wgs84.c_str()},
              }})),
          slots_{{
              {Py_tp_doc, const_cast<char*>(doc)},
              {Py_tp_new, reinterpret_cast<void*>(constructor)},
              {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<StateOf<Kind>>)},
              {Py_tp_methods, methods_.data()},
              {Py_mp_length, reinterpret_cast<void*>(&tree_length<Kind>)},
              {Py_mp_subscript, reinterpret_cast<void*>(&tree_subscript<Kind>)},
              {0, nullptr},
          }},
          type_spec_{type_name, instance_size<StateOf<Kind>>(), 0, CLASS_FLAGS, slots_.data()},
          type_(type_spec_) {}
    TreeClass(const TreeClass&) = delete;
    TreeClass& operator=(const TreeClass&) = delete;

    // The type object, borrowed; nullptr with an exception pending. REQUIRES: the GIL is held.
    PyTypeObject* get() { return type_.get(); }

private:
    TreeDocs docs_;
    std::array<PyMethodDef, 5 + 6 + 5 + Extra + 6 + 1> methods_;  // shared, travel, array, extra, WGS84, sentinel
    std::array<PyType_Slot, 7> slots_;
    PyType_Spec type_spec_;
    LazyType type_;
};

}  // namespace sferix::python
