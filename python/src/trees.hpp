#pragma once

// The tree classes GeodeticPointTree, GeodeticLineStringTree and GeodeticPolygonTree:
// static R-trees built once from Python input by their constructor and then only
// queried. Type names "sferix.GeodeticPointTree" etc.; constructible, not
// subclassable, no __dict__, no weak references, not garbage-collected.
//
// What the three tree classes have in common, written once over the tree kind: the
// instance state, the constructor's and methods' argument descriptions, __len__,
// __getitem__, geometry, geometries, nearest, nearest_with_distance and
// within_distance, and the two query runners the point tree reuses for its WGS84
// methods. Each class's .cpp file instantiates these for its kind and puts them in its
// method table with its own docstrings.
//
// A kind describes one class:
//
//     struct PointTreeKind {
//         using Geometry = geodetic::GeodeticPoint;
//         using Tree = geodetic::PointTree;
//         static constexpr std::string_view NAME = "GeodeticPointTree";
//         static PyTypeObject* type();   // the class, borrowed
//         static std::optional<PositionWithMetres> nearest(const Tree&, const geodetic::GeodeticPoint& query);
//     };
//
// Every entry point runs inside run_entry and holds the GIL throughout; only the
// constructors give it up, for the bulk load. Built trees are immutable, so queries
// from several threads need no lock of their own.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "geo_input.hpp"
#include "results.hpp"
#include "toolkit/arguments.hpp"
#include "toolkit/errors.hpp"
#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"
#include "toolkit/types.hpp"
#include "values.hpp"

#include "geodetic/distance.hpp"

namespace sferix::python {

// The process-wide type objects, created on first use: borrowed, or nullptr with an
// exception pending. REQUIRES: the GIL is held.
PyTypeObject* point_tree_type();
PyTypeObject* linestring_tree_type();
PyTypeObject* polygon_tree_type();


// The state of a tree instance: the tree, and one shared geometry per input item in
// input order (element i is input position i). Both are fixed at construction.
template <typename Tree, typename Geometry>
struct TreeState {
    Tree tree;
    std::vector<std::shared_ptr<const Geometry>> geometries;
};

template <typename Kind>
concept TreeKind = requires(const typename Kind::Tree& tree, const geodetic::GeodeticPoint& query) {
    typename Kind::Geometry;
    { Kind::NAME } -> std::convertible_to<std::string_view>;
    { Kind::type() } -> std::same_as<PyTypeObject*>;
    { Kind::nearest(tree, query) } -> std::same_as<std::optional<PositionWithMetres>>;
};

template <TreeKind Kind>
using StateOf = TreeState<typename Kind::Tree, typename Kind::Geometry>;

// Parameter lists and descriptions. Every parameter is positional-or-keyword.
inline constexpr const char* const DATA_PARAMETERS[] = {"data"};
inline constexpr const char* const INDEX_PARAMETERS[] = {"index"};
inline constexpr const char* const QUERY_PARAMETERS[] = {"query"};
inline constexpr const char* const WITHIN_PARAMETERS[] = {"query", "radius_metres", "return_distance"};

template <TreeKind Kind>
inline constexpr FunctionDescription NEW_DESCRIPTION{Kind::NAME, "__new__", DATA_PARAMETERS, 0, 1};
template <TreeKind Kind>
inline constexpr FunctionDescription GEOMETRY_DESCRIPTION{Kind::NAME, "geometry", INDEX_PARAMETERS, 0, 1};
template <TreeKind Kind>
inline constexpr FunctionDescription NEAREST_DESCRIPTION{Kind::NAME, "nearest", QUERY_PARAMETERS, 0, 1};
template <TreeKind Kind>
inline constexpr FunctionDescription NEAREST_WITH_DISTANCE_DESCRIPTION{Kind::NAME, "nearest_with_distance",
                                                                       QUERY_PARAMETERS, 0, 1};
template <TreeKind Kind>
inline constexpr FunctionDescription WITHIN_DISTANCE_DESCRIPTION{Kind::NAME, "within_distance", WITHIN_PARAMETERS, 0,
                                                                 2};

// The state of `self`, or nullptr with the cast-rule TypeError pending when `self` is
// not an instance of the kind's class (the interpreter's descriptors normally rule
// that out before we are called).
template <TreeKind Kind>
const StateOf<Kind>* tree_state(PyObject* self /* borrowed */) {
    if (!check_instance(self, Kind::type())) {
        return nullptr;
    }
    return &state_of<StateOf<Kind>>(self);
}

// The value object for input position `index_object` (converted as 'index'): a new
// Point/LineString/Polygon sharing the stored geometry, or IndexError past the end.
template <TreeKind Kind>
PyObject* geometry_at(const StateOf<Kind>& state, PyObject* index_object /* borrowed */) {
    const std::optional<std::uint64_t> index = convert_index(index_object, "index");
    if (!index) {
        return nullptr;
    }
    if (*index >= state.geometries.size()) {
        PyErr_SetString(PyExc_IndexError, "geometry index out of range");
        return nullptr;
    }
    return new_value(state.geometries[static_cast<std::size_t>(*index)]);
}

// The leaves within `radius_metres` great-circle metres of `query`, in the tree's
// depth-first order, with their metres (converted from the squared chord the query
// already measured).
template <typename Tree>
std::vector<PositionWithMetres> within_distance_hits(const Tree& tree, const geodetic::GeodeticPoint& query,
                                                     double radius_metres) {
    std::vector<PositionWithMetres> hits;
    for (const auto& [leaf, distance_2] : tree.locate_within_distance(query, radius_metres)) {
        hits.push_back({leaf->data(), geodetic::squared_chord_to_metres(distance_2)});
    }
    return hits;
}

// A nearest method: bind `query`, parse it, run `search(tree, query)` (an optional
// PositionWithMetres) and return None, the position, or (position, metres).
template <TreeKind Kind, typename Search>
PyObject* run_nearest(PyObject* self, const FunctionDescription& description, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, bool with_distance, Search&& search) {
    return run_entry([&]() -> PyObject* {
        const StateOf<Kind>* state = tree_state<Kind>(self);
        if (state == nullptr) {
            return nullptr;
        }
        std::array<PyObject*, 1> slots{};  // borrowed from the call
        if (!bind_fastcall(description, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const std::optional<geodetic::GeodeticPoint> query = parse_point(slots[0]);
        if (!query) {
            return nullptr;
        }
        const std::optional<PositionWithMetres> hit = search(state->tree, *query);
        return nearest_result(hit, with_distance);
    });
}

// A radius method, in this order: bind; convert radius_metres; convert return_distance
// strictly, only when given (default False); parse query; run
// `collect(tree, query, radius_metres)` (a vector of PositionWithMetres); build the
// list. So a bad radius is reported before a bad query, and a negative or NaN radius
// is not an error (the query gives nothing).
template <TreeKind Kind, typename Collect>
PyObject* run_within(PyObject* self, const FunctionDescription& description, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Collect&& collect) {
    return run_entry([&]() -> PyObject* {
        const StateOf<Kind>* state = tree_state<Kind>(self);
        if (state == nullptr) {
            return nullptr;
        }
        std::array<PyObject*, 3> slots{};  // borrowed from the call
        if (!bind_fastcall(description, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const std::optional<double> radius_metres = convert_double(slots[1], "radius_metres");
        if (!radius_metres) {
            return nullptr;
        }
        bool return_distance = false;
        if (slots[2] != nullptr) {
            const std::optional<bool> given = convert_bool(slots[2], "return_distance");
            if (!given) {
                return nullptr;
            }
            return_distance = *given;
        }
        const std::optional<geodetic::GeodeticPoint> query = parse_point(slots[0]);
        if (!query) {
            return nullptr;
        }
        const std::vector<PositionWithMetres> hits = collect(state->tree, *query, *radius_metres);
        return within_result(hits, return_distance);
    });
}

// The shared entry points, in the signatures the type slots and method table expect.

template <TreeKind Kind>
Py_ssize_t tree_length(PyObject* self) {
    return run_entry([self]() -> Py_ssize_t {
        const StateOf<Kind>* state = tree_state<Kind>(self);
        if (state == nullptr) {
            return -1;
        }
        return static_cast<Py_ssize_t>(state->geometries.size());
    });
}

template <TreeKind Kind>
PyObject* tree_subscript(PyObject* self, PyObject* index /* borrowed */) {
    return run_entry([&]() -> PyObject* {
        const StateOf<Kind>* state = tree_state<Kind>(self);
        if (state == nullptr) {
            return nullptr;
        }
        return geometry_at<Kind>(*state, index);
    });
}

template <TreeKind Kind>
PyObject* tree_geometry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const StateOf<Kind>* state = tree_state<Kind>(self);
        if (state == nullptr) {
            return nullptr;
        }
        std::array<PyObject*, 1> slots{};  // borrowed from the call
        if (!bind_fastcall(GEOMETRY_DESCRIPTION<Kind>, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        return geometry_at<Kind>(*state, slots[0]);
    });
}

template <TreeKind Kind>
PyObject* tree_geometries(PyObject* self, PyObject* /* unused */) {
    return run_entry([self]() -> PyObject* {
        const StateOf<Kind>* state = tree_state<Kind>(self);
        if (state == nullptr) {
            return nullptr;
        }
        return new_value_list(state->geometries);
    });
}

template <TreeKind Kind>
PyObject* tree_nearest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_nearest<Kind>(self, NEAREST_DESCRIPTION<Kind>, args, nargs, kwnames, false, Kind::nearest);
}

template <TreeKind Kind>
PyObject* tree_nearest_with_distance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_nearest<Kind>(self, NEAREST_WITH_DISTANCE_DESCRIPTION<Kind>, args, nargs, kwnames, true,
                             Kind::nearest);
}

template <TreeKind Kind>
PyObject* tree_within_distance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_within<Kind>(self, WITHIN_DISTANCE_DESCRIPTION<Kind>, args, nargs, kwnames,
                            within_distance_hits<typename Kind::Tree>);
}

}  // namespace sferix::python
