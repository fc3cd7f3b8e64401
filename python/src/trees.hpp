#pragma once

// The tree classes GeodeticPointTree, GeodeticLineStringTree and GeodeticPolygonTree:
// static R-trees built once from Python input by their constructor and then only
// queried. Type names "sferix.GeodeticPointTree" etc.; constructible, not
// subclassable, no __dict__, no weak references, not garbage-collected.
//
// What the three classes have in common is written here once over the tree kind: the
// instance state, the argument descriptions, the opening of every method (check self,
// bind the arguments), __len__, __getitem__, geometry, geometries, nearest,
// nearest_with_distance and within_distance, the two query runners the point tree
// reuses for its WGS84 methods, and the class's method table, slots and type object.
// Each class's .cpp file instantiates these for its kind with its own docstrings.
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
//     };
//
// Every entry point runs inside run_entry and holds the GIL throughout; only the
// constructors give it up, for everything after reading their input. Built trees are immutable, so queries
// from several threads need no lock of their own.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

#include "binary_form.hpp"
#include "geo_input.hpp"
#include "interruptible.hpp"
#include "results.hpp"
#include "toolkit/arguments.hpp"
#include "toolkit/gil.hpp"
#include "toolkit/errors.hpp"
#include "toolkit/python_api.hpp"
#include "toolkit/types.hpp"
#include "values.hpp"

#include "geodetic/distance.hpp"
#include "index/batch_queries.hpp"
#include "index/leaf_coverage.hpp"
#include "support/huge_pages.hpp"

namespace sferix::python {

// The process-wide type objects, created on first use: borrowed, or nullptr with an
// exception pending. REQUIRES: the GIL is held.
PyTypeObject* point_tree_type();
PyTypeObject* linestring_tree_type();
PyTypeObject* polygon_tree_type();

// The coverage of an indexed tree's leaves (see LeafCoverage), made once, on first use.
template <typename Leaf>
struct CoverageSlot {
    std::once_flag once;
    std::unique_ptr<const indexed::LeafCoverage<Leaf>> coverage;
};

// The state of a linestring or polygon tree instance: the tree, and one shared
// geometry per input item in input order (element i is input position i). Both are
// fixed at construction; the slot of their coverage is filled by coverage_of.
template <typename Tree, typename Geometry>
struct TreeState {
    Tree tree;
    std::vector<std::shared_ptr<const Geometry>> geometries;
    std::unique_ptr<CoverageSlot<typename Tree::LeafType>> coverage;
};

// The coverage of the state's tree, made by the first thread that asks (10^5 hexagons:
// 40 ms); a thread that asks meanwhile waits. REQUIRES: the GIL is released (the array
// queries ask for it from their run without the GIL).
template <typename Tree, typename Geometry>
const indexed::LeafCoverage<typename Tree::LeafType>& coverage_of(const TreeState<Tree, Geometry>& state) {
    CoverageSlot<typename Tree::LeafType>& slot = *state.coverage;
    std::call_once(slot.once, [&] {
        slot.coverage = std::make_unique<const indexed::LeafCoverage<typename Tree::LeafType>>(state.tree);
    });
    return *slot.coverage;
}

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
concept TreeKind = requires(const typename Kind::Tree& tree, const typename Kind::State& state,
                            const geodetic::GeodeticPoint& query, std::span<const std::byte> data,
                            const std::shared_ptr<const void>& keeper) {
    typename Kind::Geometry;
    typename Kind::State;
    { Kind::NAME } -> std::convertible_to<std::string_view>;
    { Kind::type() } -> std::same_as<PyTypeObject*>;
    { Kind::nearest(tree, query) } -> std::same_as<std::optional<PositionWithMetres>>;
    // The binary form of a state, and the checked state of a binary form (run
    // without the GIL), which may keep a share of the keeper to read `data` in place.
    { Kind::encode(state) } -> std::same_as<std::vector<std::byte>>;
    { Kind::decode(data, keeper) } -> std::same_as<std::variant<typename Kind::State, indexed::FormatError>>;
};

template <TreeKind Kind>
using StateOf = typename Kind::State;

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

// Runs `body(state)` inside the entry wrapper with the state of `self`, and returns its
// result; the slot's error return with the cast-rule TypeError pending when `self` is
// not an instance of the kind's class (the interpreter's descriptors normally rule
// that out before we are called).
template <TreeKind Kind, typename Body>
auto with_tree(PyObject* self /* borrowed */, Body&& body) noexcept
    -> std::invoke_result_t<Body&, const StateOf<Kind>&> {
    using Result = std::invoke_result_t<Body&, const StateOf<Kind>&>;
    return run_entry([&]() -> Result {
        if (!check_instance(self, Kind::type())) {
            return error_return<Result>();
        }
        return body(state_of<StateOf<Kind>>(self));
    });
}

// A fast-call method of a tree class: with the state of `self`, binds the call's
// arguments to the N parameters of `description` and returns `body(state, slots)`,
// the slots borrowed from the call (nullptr for a parameter not given).
template <TreeKind Kind, std::size_t N, typename Body>
PyObject* run_method(PyObject* self, const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body&& body) noexcept {
    return with_tree<Kind>(self, [&](const StateOf<Kind>& state) -> PyObject* {
        std::array<PyObject*, N> slots{};  // borrowed from the call
        if (!bind_fastcall(description, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        return body(state, slots);
    });
}

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

// return_distance, converted strictly when given (a null slot: False); nullopt with the
// TypeError pending.
inline std::optional<bool> parse_return_distance(PyObject* slot /* borrowed, may be null */) {
    return slot == nullptr ? std::optional<bool>(false) : convert_bool(slot, "return_distance");
}

// A nearest method: bind `query`, parse it, run `search(tree, query)` (an optional
// PositionWithMetres) and return None, the position, or (position, metres).
template <TreeKind Kind, typename Search>
PyObject* run_nearest(PyObject* self, const FunctionDescription& description, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, bool with_distance, Search&& search) {
    return run_method<Kind, 1>(self, description, args, nargs, kwnames, [&](const StateOf<Kind>& state, auto& slots) {
        const std::optional<geodetic::GeodeticPoint> query = parse_point(slots[0]);
        if (!query) {
            return static_cast<PyObject*>(nullptr);
        }
        const std::optional<PositionWithMetres> hit = search(state.tree, *query);
        return nearest_result(hit, with_distance);
    });
}

// A radius method, in this order: bind; convert radius_metres; convert return_distance
// strictly, only when given (default False); parse query; run indexed::within_distance_on
// by `geodesy`; build the list. So a bad radius is reported before a bad query, and a
// negative or NaN radius is not an error (the query gives nothing).
template <TreeKind Kind>
PyObject* run_within(PyObject* self, const FunctionDescription& description, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, indexed::Geodesy geodesy) {
    return run_method<Kind, 3>(
        self, description, args, nargs, kwnames, [&](const StateOf<Kind>& state, auto& slots) -> PyObject* {
            const std::optional<double> radius_metres = convert_double(slots[1], "radius_metres");
            if (!radius_metres) {
                return nullptr;
            }
            const std::optional<bool> return_distance = parse_return_distance(slots[2]);
            if (!return_distance) {
                return nullptr;
            }
            const std::optional<geodetic::GeodeticPoint> query = parse_point(slots[0]);
            if (!query) {
                return nullptr;
            }
            std::vector<PositionWithMetres> hits;
            indexed::within_distance_on(geodesy, state.tree, *query, *radius_metres, *return_distance, hits);
            return within_result(hits, *return_distance);
        });
}

// The binary form of a state as a new bytes object; nullptr with an exception pending.
// A kind that can write its form in place (encoded_size, encode_into) writes it into
// the new bytes object, without the GIL, rather than into a vector copied after.
template <TreeKind Kind>
PyObject* encoded_bytes(const StateOf<Kind>& state) {
    if constexpr (requires(std::span<std::byte> out) {
                      { Kind::encoded_size(state) } -> std::same_as<std::size_t>;
                      Kind::encode_into(state, out);
                  }) {
        const std::size_t size = Kind::encoded_size(state);
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            return PyErr_NoMemory();
        }
        PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) {
            return nullptr;
        }
        // A bytes object just made from no data, not yet seen by anyone, may be written.
        const std::span<std::byte> out(reinterpret_cast<std::byte*>(PyBytes_AsString(bytes.get())), size);
        support::advise_huge_pages(out.data(), size);
        {
            const ReleasedGil released;
            Kind::encode_into(state, out);
        }
        return bytes.release();
    } else {
        return bytes_of(Kind::encode(state));
    }
}

// The shared entry points, in the signatures the type slots and method table expect.

template <TreeKind Kind>
Py_ssize_t tree_length(PyObject* self) {
    return with_tree<Kind>(self, [](const StateOf<Kind>& state) {
        return static_cast<Py_ssize_t>(item_count(state));
    });
}

template <TreeKind Kind>
PyObject* tree_subscript(PyObject* self, PyObject* index /* borrowed */) {
    return with_tree<Kind>(self, [index](const StateOf<Kind>& state) { return geometry_at<Kind>(state, index); });
}

template <TreeKind Kind>
PyObject* tree_geometry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method<Kind, 1>(self, GEOMETRY_DESCRIPTION<Kind>, args, nargs, kwnames,
                               [](const StateOf<Kind>& state, auto& slots) { return geometry_at<Kind>(state, slots[0]); });
}

template <TreeKind Kind>
PyObject* tree_geometries(PyObject* self, PyObject* /* unused */) {
    return with_tree<Kind>(self, [](const StateOf<Kind>& state) { return item_list(state); });
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
                            indexed::Geodesy::Sphere);
}

template <TreeKind Kind>
PyObject* tree_to_bytes(PyObject* self, PyObject* /* unused */) {
    return with_tree<Kind>(self, [](const StateOf<Kind>& state) { return encoded_bytes<Kind>(state); });
}

template <TreeKind Kind>
inline constexpr FunctionDescription FROM_BYTES_DESCRIPTION{Kind::NAME, "from_bytes", DATA_PARAMETERS, 0, 1};

// The class method: the buffer is checked and adopted without the GIL; the bytes
// object it lives in is held throughout and cannot change. The keeper outlives the
// call, so a share a failed load drops never releases the bytes off the GIL.
template <TreeKind Kind>
PyObject* tree_from_bytes(PyObject* /* cls */, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};  // borrowed from the call
        if (!bind_fastcall(FROM_BYTES_DESCRIPTION<Kind>, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const PyRef bytes = bytes_argument(slots[0]);
        if (!bytes) {
            return nullptr;
        }
        const std::span<const std::byte> data = bytes_view(bytes.get());
        const std::shared_ptr<const void> keeper = keeper_of(bytes.get());
        std::optional<std::variant<StateOf<Kind>, indexed::FormatError>> decoded;
        if (!run_interruptibly([&] { decoded.emplace(Kind::decode(data, keeper)); })) {
            return nullptr;
        }
        std::variant<StateOf<Kind>, indexed::FormatError>& loaded = *decoded;
        if (auto* error = std::get_if<indexed::FormatError>(&loaded)) {
            return refuse_bytes(Kind::NAME, *error);
        }
        PyTypeObject* type = Kind::type();  // borrowed
        if (type == nullptr) {
            return nullptr;
        }
        return new_instance(type, std::move(std::get<0>(loaded)));
    });
}

template <TreeKind Kind>
PyObject* tree_reduce(PyObject* self, PyObject* /* unused */) {
    return with_tree<Kind>(self, [](const StateOf<Kind>& state) {
        return reduce_value(Kind::type(), encoded_bytes<Kind>(state));
    });
}

template <TreeKind Kind>
PyObject* tree_reduce_ex(PyObject* self, PyObject* protocol /* borrowed */) {
    return with_tree<Kind>(self, [protocol](const StateOf<Kind>& state) {
        return reduce_ex_value(Kind::type(), encoded_bytes<Kind>(state), protocol);
    });
}

// The docstrings of the methods every tree class has, each in the interpreter's
// signature form ("name($self, ...)\n--\n\n...").
struct SharedMethodDocs {
    const char* geometry;
    const char* geometries;
    const char* nearest;
    const char* nearest_with_distance;
    const char* within_distance;
};

// A tree class's process-wide parts: its method table (the shared methods, then
// `extra`), its slots, its PyType_Spec (named `type_name`, "sferix.<NAME>") and its type
// object, made on first use. Lives at namespace scope for the life of the process.
template <TreeKind Kind, std::size_t Extra = 0>
class TreeClass {
public:
    TreeClass(const char* type_name, const char* doc, newfunc constructor, const SharedMethodDocs& docs,
              const std::array<PyMethodDef, Extra>& extra = {})
        : methods_(method_table(docs, extra)),
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
    static constexpr std::size_t SHARED_COUNT = 11;
    static constexpr std::size_t METHOD_COUNT = SHARED_COUNT + Extra + 1;  // shared, extra, sentinel

    static std::array<PyMethodDef, METHOD_COUNT> method_table(const SharedMethodDocs& docs,
                                                              const std::array<PyMethodDef, Extra>& extra) {
        std::array<PyMethodDef, METHOD_COUNT> table{{
            {"geometry", fastcall_method(tree_geometry<Kind>), FASTCALL, docs.geometry},
            {"geometries", tree_geometries<Kind>, METH_NOARGS, docs.geometries},
            {"nearest", fastcall_method(tree_nearest<Kind>), FASTCALL, docs.nearest},
            {"nearest_with_distance", fastcall_method(tree_nearest_with_distance<Kind>), FASTCALL,
             docs.nearest_with_distance},
            {"within_distance", fastcall_method(tree_within_distance<Kind>), FASTCALL, docs.within_distance},
            {"to_bytes", tree_to_bytes<Kind>, METH_NOARGS,
             "to_bytes($self)\n--\n\nThe tree in its binary form, which `from_bytes` reads back."},
            {"from_bytes", fastcall_method(tree_from_bytes<Kind>), FASTCALL | METH_CLASS,
             "from_bytes($type, data)\n--\n\nThe tree whose binary form is `data` (made by `to_bytes`). Every "
             "field is\nchecked; a truncated, corrupted or foreign buffer raises ValueError."},
            {"__reduce__", tree_reduce<Kind>, METH_NOARGS, REDUCE_DOC},
            {"__reduce_ex__", tree_reduce_ex<Kind>, METH_O, REDUCE_EX_DOC},
            {"__copy__", copy_self, METH_NOARGS, COPY_DOC},
            {"__deepcopy__", deepcopy_self, METH_O, DEEPCOPY_DOC},
        }};
        for (std::size_t i = 0; i < Extra; ++i) {
            table[SHARED_COUNT + i] = extra[i];
        }
        table[METHOD_COUNT - 1] = {nullptr, nullptr, 0, nullptr};
        return table;
    }

    std::array<PyMethodDef, METHOD_COUNT> methods_;
    std::array<PyType_Slot, 7> slots_;
    PyType_Spec type_spec_;
    LazyType type_;
};

}  // namespace sferix::python
