// GeodeticLineStringTree and GeodeticPolygonTree: the shared tree methods over
// IndexedLeaf trees, whose leaves share their geometry with the geometry array.
#include <array>
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

#include "toolkit/gil.hpp"
#include "trees.hpp"

#include "index/nearest_k.hpp"
#include "index/tree.hpp"
#include "index/tree_format.hpp"
#include "support/huge_pages.hpp"

namespace sferix::python {

namespace {

// The nearest leaf by the tree's best-first search, on the sphere or by geodesic metres
// on WGS84 (see edge_wgs84.hpp); among equally near geometries (the polygons containing
// the query, say) the smallest input position wins, as in nearest_k.
template <bool Wgs84, typename Tree>
std::optional<PositionWithMetres> nearest_leaf(const Tree& tree, const geodetic::GeodeticPoint& query) {
    std::vector<PositionWithMetres> hits;
    if constexpr (Wgs84) {
        indexed::nearest_k_wgs84(tree, query, 1, indexed::NO_MAX_DISTANCE, hits);
    } else {
        indexed::nearest_k(tree, query, 1, indexed::NO_MAX_DISTANCE, hits);
    }
    if (hits.empty()) {
        return std::nullopt;
    }
    return hits.front();
}

// The state of `geometries` (input order): the bulk-loaded tree, with one leaf per
// part of each item, sharing the part with the geometry array, at the item's position.
template <typename Tree, typename Geometry>
TreeState<Tree, Geometry> index_geometries(std::vector<std::shared_ptr<const Geometry>>&& geometries) {
    std::size_t parts = 0;
    for (const auto& item : geometries) {
        parts += item->part_count();
    }
    std::vector<typename Tree::LeafType> leaves;
    support::reserve_huge(leaves, parts);
    for (std::size_t i = 0; i < geometries.size(); ++i) {
        const std::shared_ptr<const Geometry>& item = geometries[i];
        for (std::size_t part = 0; part < item->part_count(); ++part) {
            // Shares the item's ownership: the part lives as long as any leaf or value.
            leaves.emplace_back(std::shared_ptr<const typename Tree::LeafType::GeometryType>(item, &item->part(part)),
                                static_cast<std::uint64_t>(i));
        }
    }
    return {Tree::bulk_load(std::move(leaves), parts != geometries.size()), std::move(geometries),
            std::make_unique<CoverageSlot<typename Tree::LeafType>>()};
}

// The stored form keeps the geometries only; loading validates them as any input and
// bulk-loads again.
template <typename Tree, typename Geometry>
std::variant<TreeState<Tree, Geometry>, indexed::FormatError> state_of_decoded(
    indexed::LoadResult<std::vector<Geometry>>&& decoded) {
    if (auto* error = std::get_if<indexed::FormatError>(&decoded)) {
        return std::move(*error);
    }
    std::vector<std::shared_ptr<const Geometry>> geometries;
    geometries.reserve(std::get<0>(decoded).size());
    for (Geometry& geometry : std::get<0>(decoded)) {
        geometries.push_back(std::make_shared<const Geometry>(std::move(geometry)));
    }
    return index_geometries<Tree>(std::move(geometries));
}

// A tree item from its validated parts, each assembled by `assemble_part`.
template <typename Item, typename Parts, typename AssemblePart>
Item assemble_item(ItemParts<Parts>&& item, AssemblePart&& assemble_part) {
    if (!item.multipart) {
        return Item(assemble_part(std::move(item.first)));
    }
    std::vector<std::remove_cvref_t<decltype(assemble_part(std::move(item.first)))>> parts;
    parts.reserve(item.rest.size() + 1);
    parts.push_back(assemble_part(std::move(item.first)));
    for (Parts& part : item.rest) {
        parts.push_back(assemble_part(std::move(part)));
    }
    return Item::of_parts(std::move(parts));
}

// What the linestring and polygon kinds share: the nearest leaf, and the binary form
// that keeps the geometries only (loading validates them as any input and bulk-loads
// again, so nothing of the buffer is kept).
template <typename GeometryType, typename TreeType, PyTypeObject* (*Type)(), auto Encode, auto Decode>
struct IndexedTreeKind {
    using Geometry = GeometryType;
    using Tree = TreeType;
    using State = TreeState<Tree, Geometry>;

    static PyTypeObject* type() { return Type(); }
    static std::optional<PositionWithMetres> nearest(const Tree& tree, const geodetic::GeodeticPoint& query) {
        return nearest_leaf<false>(tree, query);
    }
    static std::optional<PositionWithMetres> nearest_wgs84(const Tree& tree, const geodetic::GeodeticPoint& query) {
        return nearest_leaf<true>(tree, query);
    }
    static std::vector<std::byte> encode(const State& state) { return Encode(state.geometries); }
    static std::variant<State, indexed::FormatError> decode(std::span<const std::byte> data,
                                                           const std::shared_ptr<const void>& /* keeper */) {
        return state_of_decoded<Tree>(Decode(data));
    }
};

struct LineStringTreeKind
    : IndexedTreeKind<geodetic::LineStringItem, indexed::LineStringTree, linestring_tree_type,
                      indexed::encode_linestrings, indexed::try_decode_linestrings> {
    static constexpr std::string_view NAME = "GeodeticLineStringTree";
    static constexpr std::size_t NEW_PARAMETER_COUNT = 1;
    static const FunctionDescription& new_description() { return NEW_DESCRIPTION<LineStringTreeKind>; }

    // The validated vertices; assemble runs without the GIL and cannot fail on them.
    struct Input {
        std::vector<ItemParts<geodetic::ValidatedLineString>> parts;

        static Geometry assemble(ItemParts<geodetic::ValidatedLineString>&& item) {
            return assemble_item<Geometry>(std::move(item), [](geodetic::ValidatedLineString&& vertices) {
                return geodetic::GeodeticLineString::from_validated(std::move(vertices));
            });
        }
    };
    static std::optional<Input> collect(std::span<PyObject* const> slots) {
        std::optional<std::vector<ItemParts<geodetic::ValidatedLineString>>> parts = collect_linestrings(slots[0]);
        if (!parts) {
            return std::nullopt;
        }
        return Input{std::move(*parts)};
    }
};

constexpr const char* const POLYGON_NEW_PARAMETERS[] = {"data", "oriented"};

struct PolygonTreeKind : IndexedTreeKind<geodetic::PolygonItem, indexed::PolygonTree, polygon_tree_type,
                                         indexed::encode_polygons, indexed::try_decode_polygons> {
    static constexpr std::string_view NAME = "GeodeticPolygonTree";
    static constexpr std::size_t NEW_PARAMETER_COUNT = 2;
    static const FunctionDescription& new_description() {
        static constexpr FunctionDescription description{NAME, "__new__", POLYGON_NEW_PARAMETERS, 0, 1, 1};
        return description;
    }
    // The validated rings and the region every polygon fills; assemble runs without
    // the GIL and cannot fail on them.
    struct Input {
        std::vector<ItemParts<PolygonRings>> parts;
        geodetic::Fill fill;

        // The fill rule applies part by part.
        Geometry assemble(ItemParts<PolygonRings>&& item) const {
            return assemble_item<Geometry>(std::move(item),
                                           [this](PolygonRings&& rings) { return std::move(rings).assemble(fill); });
        }
    };
    // `oriented` (keyword-only, strictly a bool, default True) is converted before
    // `data` is parsed, as a radius before its query. With False each polygon fills the
    // smaller region its exterior bounds, for data listing exteriors clockwise.
    static std::optional<Input> collect(std::span<PyObject* const> slots) {
        std::optional<bool> oriented = true;
        std::optional<std::vector<ItemParts<PolygonRings>>> parts;
        if ((slots[1] != nullptr && !(oriented = convert_bool(slots[1], "oriented"))) ||
            !(parts = collect_polygons(slots[0]))) {
            return std::nullopt;
        }
        return Input{std::move(*parts), *oriented ? geodetic::Fill::LeftOfExterior : geodetic::Fill::SmallerRegion};
    }
};

// Parsing validates every geometry with the GIL held; then, without it, each is
// assembled from its validated parts (a big one's edge index is most of the cost) into a
// shared holder that the geometry array and its leaf then share, and the tree is bulk
// loaded. Nothing after parsing can fail on an item.
template <TreeKind Kind>
PyObject* indexed_tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using Geometry = typename Kind::Geometry;
    using Tree = typename Kind::Tree;
    return run_entry([&]() -> PyObject* {
        std::array<PyObject*, Kind::NEW_PARAMETER_COUNT> slots{};  // borrowed from the call
        if (!bind_call(Kind::new_description(), args, kwargs, slots)) {
            return nullptr;
        }
        std::optional<typename Kind::Input> collected = Kind::collect(slots);
        if (!collected) {
            return nullptr;
        }
        std::optional<StateOf<Kind>> state;
        const bool built = run_interruptibly([&] {
            std::vector<std::shared_ptr<const Geometry>> geometries;
            geometries.reserve(collected->parts.size());
            support::StopCheck stop;
            for (auto& parts : collected->parts) {
                stop.visit(16);
                geometries.push_back(std::make_shared<const Geometry>(collected->assemble(std::move(parts))));
            }
            collected.reset();
            state.emplace(index_geometries<Tree>(std::move(geometries)));
        });
        if (!built) {
            return nullptr;
        }
        return new_instance(type, std::move(*state));
    });
}

// How the WGS84 forms measure a linestring or a polygon, ending their docstrings.
std::string wgs84_note(std::string_view item, std::string_view inside_note = "") {
    return "\nMetres are the smallest WGS84 geodesic distance to any point of the " + std::string(item) +
           "'s\ngreat-circle edges" + std::string(inside_note) + ", within 1 mm.";
}

// The join to the nearest item's search, private to sferix.geopandas.
constexpr const char* NEAREST_TIES_DOC =
    "_query_nearest_ties($self, queries, *, max_distance=None, workers=1)\n--\n\nThe nearest item to each of "
    "`queries` and every item tied with it in metres, as\nquery_within_distance(..., return_distance=True) gives its "
    "pairs. For joins to the nearest.";

template <typename Kind>
std::array<PyMethodDef, 1> nearest_ties_method() {
    return {{{"_query_nearest_ties", fastcall_method(tree_query_nearest_ties<Kind>), FASTCALL, NEAREST_TIES_DOC}}};
}

TreeClass<LineStringTreeKind, 1> linestring_tree_class(
    "sferix.GeodeticLineStringTree",
    "GeodeticLineStringTree(data)\n--\n\nA geodetic R-tree over linestrings. A MultiLineString in `data` is one item, "
    "as near\nas its nearest part.",
    indexed_tree_new<LineStringTreeKind>, tree_docs("linestring", "linestrings", "", wgs84_note("linestring")),
    nearest_ties_method<LineStringTreeKind>());

TreeClass<PolygonTreeKind, 1> polygon_tree_class(
    "sferix.GeodeticPolygonTree",
    "GeodeticPolygonTree(data, *, oriented=True)\n--\n\nA geodetic R-tree over polygons. Each polygon fills the "
    "region to the left of its\nexterior ring; with `oriented=False`, the smaller region the exterior bounds,\nwhatever "
    "its direction (for clockwise data such as shapefiles). A MultiPolygon in `data` is one\nitem, containing "
    "what any of its parts contains.",
    indexed_tree_new<PolygonTreeKind>,
    tree_docs("polygon", "polygons", " (zero distance if `query` is\ninside one)",
              wgs84_note("polygon", " (0 inside it)")),
    nearest_ties_method<PolygonTreeKind>());

}  // namespace

PyTypeObject* linestring_tree_type() { return linestring_tree_class.get(); }
PyTypeObject* polygon_tree_type() { return polygon_tree_class.get(); }

}  // namespace sferix::python
