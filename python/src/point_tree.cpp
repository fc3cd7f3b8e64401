// GeodeticPointTree: the shared tree methods for points, plus the queries only points
// have (rectangle, and nearest/radius, single and in arrays, on the WGS84 ellipsoid).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "toolkit/gil.hpp"
#include "toolkit/py_ref.hpp"
#include "toolkit/sequences.hpp"
#include "trees.hpp"

#include "geodetic/wgs84.hpp"
#include "index/nearest_k.hpp"
#include "index/nearest_position.hpp"
#include "index/tree.hpp"
#include "index/tree_format.hpp"

namespace sferix::python {

namespace {

// The state of a point tree instance: the tree alone. It keeps every point's lon/lat
// in input order, and a value object gets a point built from them on demand; a point
// is immutable, so that copy is indistinguishable from a shared one.
struct PointTreeState {
    indexed::PointTree tree;
};

std::size_t item_count(const PointTreeState& state) noexcept { return state.tree.size(); }

PyObject* item_value(const PointTreeState& state, std::size_t index) {
    return new_point(std::make_shared<const geodetic::GeodeticPoint>(state.tree.point(index)));
}

PyObject* item_list(const PointTreeState& state) {
    return new_list(state.tree.size(), [&state](std::size_t index) {
        return PyRef::steal(item_value(state, index));
    }).release();
}

struct PointTreeKind {
    using Geometry = geodetic::GeodeticPoint;
    using Tree = indexed::PointTree;
    using State = PointTreeState;
    static constexpr std::string_view NAME = "GeodeticPointTree";

    static PyTypeObject* type() { return point_tree_type(); }

    // Ties on the metre distance go to the smallest input position.
    static std::optional<PositionWithMetres> nearest(const Tree& tree, const geodetic::GeodeticPoint& query) {
        return indexed::nearest_position(tree, query);
    }
    static std::optional<PositionWithMetres> nearest_wgs84(const Tree& tree, const geodetic::GeodeticPoint& query) {
        return indexed::nearest_position_wgs84(tree, query);
    }

    static std::vector<std::byte> encode(const State& state) { return indexed::encode_point_tree(state.tree); }
    // Written straight into the bytes object (see encoded_bytes): 61 MB for 10^6 points.
    static std::size_t encoded_size(const State& state) { return indexed::point_tree_encoded_size(state.tree); }
    static void encode_into(const State& state, std::span<std::byte> out) {
        indexed::encode_point_tree_into(state.tree, out);
    }

    // The tree reads its arrays in place and keeps the bytes alive through the keeper.
    static std::variant<State, indexed::FormatError> decode(std::span<const std::byte> data,
                                                           const std::shared_ptr<const void>& keeper) {
        indexed::LoadResult<Tree> tree = indexed::try_decode_point_tree(data, keeper);
        if (auto* error = std::get_if<indexed::FormatError>(&tree)) {
            return std::move(*error);
        }
        return State{std::move(std::get<Tree>(tree))};
    }
};

using Kind = PointTreeKind;
using State = StateOf<Kind>;

// Only reading and checking the input holds the GIL: the embedding, the leaves, the
// bulk load and the coordinate array are built without it.
PyObject* point_tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};  // borrowed from the call
        if (!bind_call(NEW_DESCRIPTION<Kind>, args, kwargs, slots)) {
            return nullptr;
        }
        std::optional<std::vector<geodetic::GeodeticCoord>> coords = collect_point_coords(slots[0]);
        if (!coords) {
            return nullptr;
        }
        std::optional<indexed::PointTree> tree;
        if (!run_interruptibly([&] { tree.emplace(indexed::PointTree::from_coords(std::move(*coords))); })) {
            return nullptr;
        }
        return new_instance(type, State{std::move(*tree)});
    });
}

constexpr const char* const RECTANGLE_PARAMETERS[] = {"lower", "upper"};
constexpr FunctionDescription IN_RECTANGLE{Kind::NAME, "in_rectangle", RECTANGLE_PARAMETERS, 0, 2};

PyObject* point_tree_in_rectangle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto body = [](const State& state, auto& slots) -> PyObject* {
        std::optional<geodetic::GeodeticPoint> lower;
        std::optional<geodetic::GeodeticPoint> upper;
        if (!(lower = parse_point(slots[0])) || !(upper = parse_point(slots[1]))) {
            return nullptr;
        }
        std::vector<std::uint64_t> positions;
        for (const indexed::PointLeaf& leaf :
             state.tree.locate_in_rectangle(geodetic::LonLatRectangle(lower->coord(), upper->coord()))) {
            positions.push_back(leaf.data());
        }
        return position_list(positions);
    };
    return run_method<Kind, 2>(self, IN_RECTANGLE, args, nargs, kwnames, body);
}

TreeClass<Kind, 1> point_tree_class(
    "sferix.GeodeticPointTree", "GeodeticPointTree(data)\n--\n\nA geodetic R-tree over points.", point_tree_new,
    tree_docs("point", "points"),
    std::array<PyMethodDef, 1>{{
        {"in_rectangle", fastcall_method(point_tree_in_rectangle), FASTCALL,
         "in_rectangle($self, lower, upper)\n--\n\nThe input positions of every point inside the longitude/latitude "
         "rectangle whose\ncorners are `lower` and `upper`. `lower.lon > upper.lon` denotes a window crossing\nthe "
         "antimeridian (RFC 7946); `lower.lat <= upper.lat` is required."},
    }});

}  // namespace

PyTypeObject* point_tree_type() { return point_tree_class.get(); }

}  // namespace sferix::python
