#pragma once

// Queries asked with a geometry: which items intersect it, lie in it, hold it, or come
// within a distance of it.
//
//   const geodetic::Shape france = ...;            // the query's parts, owned
//   std::vector<PositionWithMetres> hits;
//   query_geometry(cities, france, {.predicate = GeometryPredicate::CoveredBy}, one_part, hits);
//   GeometryPairs pairs;
//   query_geometries(roads, shapes, distances, {.predicate = GeometryPredicate::DWithin}, parts, run, pairs);
//
// Candidates are the leaves whose boxes meet the query's box (widened by the distance
// for DWithin); each is then decided by the relation (relate.hpp). An item of several
// parts is one answer, decided over all its parts, so the leaves are grouped by input
// position, which also puts the answers in ascending position order.

#include <algorithm>
#include <bit>
#include <concepts>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/distance.hpp"
#include "geodetic/radius.hpp"
#include "geodetic/relate.hpp"
#include "index/batch_queries.hpp"
#include "index/entry_tested_selection.hpp"
#include "index/position_with_metres.hpp"
#include "index/tree.hpp"
#include "rtree/algorithm/selection_functions.hpp"
#include "support/chunked_run.hpp"

namespace sferix::indexed {

// The relation an item must have with the query geometry; all closed (a polygon holds
// its boundary).
enum class GeometryPredicate {
    Intersects,  // they share at least one point
    CoveredBy,   // every point of the item lies in the geometry
    Covers,      // every point of the geometry lies in the item
    DWithin,     // the item comes within the distance of the geometry
};

struct GeometryQueryOptions {
    GeometryPredicate predicate = GeometryPredicate::Intersects;
    // Metres for DWithin (inclusive; negative or NaN: nothing); ignored otherwise.
    double distance_metres = 0.0;
    // Whether to measure each answer's metres to the geometry (0 where they intersect).
    bool return_distance = false;
};

// Every item of the tree is one part: the point tree's, and trees of single geometries.
struct OnePart {
    [[nodiscard]] std::size_t operator()(std::uint64_t /* position */) const noexcept { return 1; }
};

namespace geometry_detail {

inline geodetic::Part part_of(const indexed::PointLeaf& leaf) noexcept { return geodetic::Part::of(leaf.vector()); }
template <typename G>
geodetic::Part part_of(const IndexedLeaf<G>& leaf) noexcept {
    return geodetic::Part::of(leaf.geom());
}

// Whether some part of `shape` holds every point of `item`.
inline bool shape_covers(std::span<const geodetic::Part> shape, const geodetic::Part& item) noexcept {
    return std::any_of(shape.begin(), shape.end(), [&](const geodetic::Part& p) { return geodetic::covers(p, item); });
}

// DWithin of points to lines, edge by edge: each edge's own box, widened by `reach`,
// selects the points near it, measured to that edge alone, so that a point is measured
// to the edges it is near rather than to every edge of a line whose box it is in. A
// point's distance is the least over the edges that found it, which is the line's own
// distance_2 (the minimum over its edges), 0 for a point exactly on an edge.
template <typename Tree>
void points_near_lines(const Tree& tree, std::span<const geodetic::Part> lines, const geodetic::SphereRadius& radius,
                       double reach, bool return_distance, support::StopCheck& stop,
                       std::vector<PositionWithMetres>& hits) {
    std::vector<std::pair<std::uint64_t, double>> found;
    for (const geodetic::Part& line : lines) {
        const std::span<const geodetic::UnitVec> chain = line.chain(0);
        for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
            const geodetic::UnitVec& s = chain[k];
            const geodetic::UnitVec& t = chain[k + 1];
            const rtree::SelectInEnvelopeFuncIntersecting<geodetic::UnitVec> near{
                geodetic::widened(geodetic::arc_bounding_box(s, t), reach)};
            EntryTestedSelection<indexed::PointLeaf, rtree::SelectInEnvelopeFuncIntersecting<geodetic::UnitVec>> walk(
                tree.rtree().view(), near);
            while (const indexed::PointLeaf* leaf = walk.next()) {
                stop.visit();
                const geodetic::UnitVec p = leaf->vector();
                double d = geodetic::arc_distance_2(s, t, p);
                if (d <= geodetic::DEGENERATE_ARC_SQUARED_CHORD && geodetic::on_arc(s, t, p)) {
                    d = 0.0;
                }
                if (d <= radius.outer_2()) {
                    found.emplace_back(leaf->data(), d);
                }
            }
        }
    }
    std::sort(found.begin(), found.end());
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (i > 0 && found[i].first == found[i - 1].first) {
            continue;  // sorted by distance within a position: the first is the least
        }
        if (radius.admits(found[i].second)) {
            hits.push_back({found[i].first, return_distance ? geodetic::squared_chord_to_metres(found[i].second) : 0.0});
        }
    }
}

// A point of the sphere in the leaf's box: the point, or the geometry's first vertex.
inline geodetic::UnitVec sample_of(const indexed::PointLeaf& leaf) noexcept { return leaf.vector(); }
template <typename G>
geodetic::UnitVec sample_of(const IndexedLeaf<G>& leaf) noexcept {
    return geodetic::Part::of(leaf.geom()).chain(0)[0];
}

// Sorts answers that all measure 0 and name distinct positions by position. The walk
// gives them in tree order, which input order rarely follows, so a comparison sort
// mispredicts nearly every branch; marking them in a bit set over their range and
// reading it back costs a few operations a word instead, where the range is not much
// wider than the answers are many.
inline void sort_distinct_positions(std::vector<PositionWithMetres>& hits) {
    if (hits.empty()) {
        return;
    }
    std::uint64_t low = hits.front().position;
    std::uint64_t high = low;
    for (const PositionWithMetres& hit : hits) {
        low = std::min(low, hit.position);
        high = std::max(high, hit.position);
    }
    constexpr std::uint64_t BITS = 64;
    const std::uint64_t words = (high - low) / BITS + 1;
    if (words > 8 * std::uint64_t{hits.size()} + 64) {
        std::sort(hits.begin(), hits.end(),
                  [](const PositionWithMetres& a, const PositionWithMetres& b) { return a.position < b.position; });
        return;
    }
    std::vector<std::uint64_t> marks(words, 0);
    for (const PositionWithMetres& hit : hits) {
        const std::uint64_t offset = hit.position - low;
        marks[offset / BITS] |= std::uint64_t{1} << (offset % BITS);
    }
    std::size_t next = 0;
    for (std::uint64_t w = 0; w < words; ++w) {
        for (std::uint64_t bits = marks[w]; bits != 0; bits &= bits - 1) {
            hits[next++] = {low + w * BITS + static_cast<std::uint64_t>(std::countr_zero(bits)), 0.0};
        }
    }
    hits.resize(next);
}

// Intersects or CoveredBy with a shape of polygons, over a tree of one leaf an item,
// node by node: every item of a node whose points on the sphere all lie inside a part
// is an answer, and none of a node outside every part is, so only the leaves of nodes
// the boundary passes near are decided one by one (decide). A part found outside a
// node is outside its whole subtree and is not asked again below it. The answers come
// in walk order.
template <typename Leaf, typename Decide>
class PlacedWalk {
public:
    using Node = rtree::FlatNode<geodetic::UnitVec>;

    PlacedWalk(rtree::FlatTreeView<Leaf> view, std::span<const geodetic::Part> polygons, const geodetic::Envelope& box,
               const Decide& decide, support::StopCheck& stop, std::vector<PositionWithMetres>& hits)
        : view_(view), polygons_(polygons), box_(box), decide_(decide), stop_(stop), hits_(hits) {}

    void run() {
        const Node& root = view_.root();
        if (root.count == 0 || !root.envelope.intersects(box_)) {
            return;
        }
        live_.clear();
        for (std::size_t i = 0; i < polygons_.size(); ++i) {
            live_.push_back(static_cast<std::uint32_t>(i));
        }
        visit(root, 0);
    }

private:
    // Leaf runs of up to this many are decided leaf by leaf rather than halved again.
    static constexpr std::size_t LEAVES_DECIDED_ONE_BY_ONE = 4;
    // Edges near a group of points few enough to decide them with (NearBoundary): each
    // point is tested against every one.
    static constexpr std::size_t NEAR_EDGES = 24;
    // Edges near a node of leaf nodes few enough to keep for its groups to narrow
    // (NearBoundary::narrow): filtering them costs each group less than a walk of the
    // edge index and a point-in-polygon test for its sample.
    static constexpr std::size_t WIDE_EDGES = 128;

    // Whether the leaf's box meets the query's; for a point, written out on its
    // coordinates, as the walk asks it of every point of the nodes it enters.
    [[nodiscard]] bool meets_box(const Leaf& leaf) const noexcept {
        if constexpr (std::same_as<Leaf, indexed::PointLeaf>) {
            const geodetic::UnitVec p = leaf.vector();
            const geodetic::UnitVec& lower = box_.lower();
            const geodetic::UnitVec& upper = box_.upper();
            return lower.x <= p.x && p.x <= upper.x && lower.y <= p.y && p.y <= upper.y && lower.z <= p.z &&
                   p.z <= upper.z;
        } else {
            return leaf.envelope().intersects(box_);
        }
    }

    // group_ becomes the leaves of a leaf-level node whose boxes meet the query's.
    void gather_group(const Node& node) {
        group_.clear();
        for (const Leaf& leaf : view_.child_leaves(node)) {
            if (meets_box(leaf)) {
                group_.push_back(&leaf);
            }
        }
    }

    // The place of `box` among the parts still in question, live_[live_begin, end):
    // Inside one of them, Outside all, or Unknown, with the parts it is unknown for
    // pushed after them (the caller pops them).
    geodetic::BoxPlace place(const geodetic::Envelope& box, const geodetic::UnitVec& sample, std::size_t live_begin) {
        const std::size_t live_end = live_.size();
        for (std::size_t i = live_begin; i < live_end; ++i) {
            switch (geodetic::place_of_box(polygons_[live_[i]], box, sample)) {
                case geodetic::BoxPlace::Inside:
                    return geodetic::BoxPlace::Inside;
                case geodetic::BoxPlace::Outside:
                    break;
                case geodetic::BoxPlace::Unknown:
                    live_.push_back(live_[i]);
                    break;
            }
        }
        return live_.size() > live_end ? geodetic::BoxPlace::Unknown : geodetic::BoxPlace::Outside;
    }

    void visit(const Node& node, std::size_t live_begin) {
        stop_.visit();
        const std::size_t live_end = live_.size();
        if constexpr (std::same_as<Leaf, indexed::PointLeaf>) {
            // The points' own groups tell inside and outside as cheaply as the node.
            if (node.has_leaf_children()) {
                gather_group(node);
                if (!group_.empty()) {
                    decide_points(group_, live_begin);
                }
                return;
            }
        }
        if constexpr (std::same_as<Leaf, indexed::PointLeaf>) {
            if (view_.nodes[node.first].has_leaf_children()) {
                visit_above_points(node, live_begin);
                return;
            }
        }
        const geodetic::BoxPlace where = place(node.envelope, sample_of(first_leaf(node)), live_begin);
        if (where == geodetic::BoxPlace::Inside) {
            report_all(node);
        } else if (where == geodetic::BoxPlace::Unknown) {
            if (node.has_leaf_children()) {
                gather_group(node);
                if (!group_.empty() && !decide_points(group_, live_end)) {
                    visit_leaves(group_, live_end, true);
                }
            } else {
                for (const Node& child : view_.child_nodes(node)) {
                    if (child.envelope.intersects(box_)) {
                        visit(child, live_end);
                    }
                }
            }
        }
        live_.resize(live_end);
    }

    // A node whose children hold points: placed like any node, but the edges near its
    // box are gathered (up to WIDE_EDGES a part), so that its groups of points narrow
    // them instead of asking each part again.
    void visit_above_points(const Node& node, std::size_t live_begin) {
        const std::size_t live_end = live_.size();
        const geodetic::UnitVec sample = sample_of(first_leaf(node));
        bool gathered = true;
        bool inside = false;
        for (std::size_t i = live_begin; i < live_end && !inside; ++i) {
            const geodetic::Part& polygon = polygons_[live_[i]];
            if (!polygon.envelope().intersects(node.envelope)) {
                continue;
            }
            const std::size_t slot = live_.size() - live_end;
            if (wide_.size() <= slot) {
                wide_.resize(slot + 1);
            }
            if (!wide_[slot].gather(polygon, node.envelope, sample, WIDE_EDGES)) {
                // Crowded, or undecidable here: placed as any node is, never narrowed.
                gathered = false;
                switch (geodetic::place_of_box(polygon, node.envelope, sample)) {
                    case geodetic::BoxPlace::Inside:
                        inside = true;
                        break;
                    case geodetic::BoxPlace::Outside:
                        break;
                    case geodetic::BoxPlace::Unknown:
                        live_.push_back(live_[i]);
                        break;
                }
            } else if (wide_[slot].empty()) {
                inside = wide_[slot].sample_inside();
            } else {
                live_.push_back(live_[i]);
            }
        }
        if (inside) {
            report_all(node);
        } else if (live_.size() > live_end) {
            for (const Node& child : view_.child_nodes(node)) {
                if (!child.envelope.intersects(box_)) {
                    continue;
                }
                stop_.visit();
                gather_group(child);
                if (!group_.empty()) {
                    decide_points(group_, live_end, gathered);
                }
            }
        }
        live_.resize(live_end);
    }

    // The leaves of one node, split in two across the widest side of their box again
    // and again: a group may lie clear of the boundary its node's box meets. `placed`:
    // whether the group's own box was just found Unknown.
    void visit_leaves(std::span<const Leaf*> group, std::size_t live_begin, bool placed) {
        const std::size_t live_end = live_.size();
        geodetic::Envelope box = geodetic::Envelope::new_empty();
        for (const Leaf* leaf : group) {
            box.merge(leaf->envelope());
        }
        if (!placed) {
            const geodetic::BoxPlace where = place(box, sample_of(*group.front()), live_begin);
            if (where != geodetic::BoxPlace::Unknown) {
                live_.resize(live_end);
                if (where == geodetic::BoxPlace::Inside) {
                    for (const Leaf* leaf : group) {
                        hits_.push_back({leaf->data(), 0.0});
                    }
                }
                return;
            }
        }
        if (group.size() <= LEAVES_DECIDED_ONE_BY_ONE) {
            for (const Leaf* leaf : group) {
                if (meets_box(*leaf)) {
                    decide_(leaf->data(), std::span<const Leaf* const>(&leaf, 1));
                }
            }
        } else {
            const std::size_t half = split(group, box);
            visit_leaves(group.first(half), placed ? live_begin : live_end, false);
            visit_leaves(group.subspan(half), placed ? live_begin : live_end, false);
        }
        live_.resize(live_end);
    }

    // The points of one leaf node the boundary of the parts live_[live_begin, end)
    // passes near, split in two across the widest side of their box until the edges
    // near a group are few enough to decide its points with them alone (NearBoundary)
    // rather than by the polygons' own tests. `narrowed`: the edges are taken from
    // wide_[i] for the part live_[live_begin + i] (gathered for a box holding the
    // group's) rather than from the parts. Returns false, having decided nothing, for
    // leaves of another kind.
    bool decide_points(std::span<const Leaf*> group, std::size_t live_begin, bool narrowed = false) {
        if constexpr (!std::same_as<Leaf, indexed::PointLeaf>) {
            return false;
        } else {
            const std::size_t count = live_.size() - live_begin;
            if (near_.size() < count) {
                near_.resize(count);
            }
            geodetic::Envelope box = geodetic::Envelope::new_empty();
            for (const Leaf* leaf : group) {
                box.merge(leaf->envelope());
            }
            const geodetic::UnitVec sample = group.front()->vector();
            // A group too small to split again takes all the edges narrowing leaves it:
            // testing its few points against them beats deciding each point alone.
            const std::size_t max_edges = narrowed && group.size() <= LEAVES_DECIDED_ONE_BY_ONE ? WIDE_EDGES : NEAR_EDGES;
            bool gathered = true;
            for (std::size_t i = 0; i < count && gathered; ++i) {
                gathered = narrowed ? near_[i].narrow(wide_[i], box, sample, max_edges)
                                    : near_[i].gather(polygons_[live_[live_begin + i]], box, sample, max_edges);
            }
            if (gathered) {
                for (const Leaf* leaf : group) {
                    const geodetic::UnitVec p = leaf->vector();
                    bool covered = false;
                    bool sure = true;
                    for (std::size_t i = 0; i < count && !covered && sure; ++i) {
                        const std::optional<bool> in = near_[i].covers(p);
                        sure = in.has_value();
                        covered = in.value_or(false);
                    }
                    if (!sure) {
                        decide_(leaf->data(), std::span<const Leaf* const>(&leaf, 1));
                    } else if (covered) {
                        hits_.push_back({leaf->data(), 0.0});
                    }
                }
            } else if (group.size() <= LEAVES_DECIDED_ONE_BY_ONE) {
                for (const Leaf* leaf : group) {
                    decide_(leaf->data(), std::span<const Leaf* const>(&leaf, 1));
                }
            } else {
                const std::size_t half = split(group, box);
                decide_points(group.first(half), live_begin, narrowed);
                decide_points(group.subspan(half), live_begin, narrowed);
            }
            return true;
        }
    }

    // Puts the lower half of the group across the widest side of its box first; returns
    // that half's size.
    static std::size_t split(std::span<const Leaf*> group, const geodetic::Envelope& box) {
        const geodetic::UnitVec side = box.upper() - box.lower();
        const std::size_t axis = side.x >= side.y ? (side.x >= side.z ? 0 : 2) : (side.y >= side.z ? 1 : 2);
        const std::size_t half = group.size() / 2;
        std::nth_element(group.begin(), group.begin() + static_cast<std::ptrdiff_t>(half), group.end(),
                         [&](const Leaf* p, const Leaf* q) { return p->envelope().lower()[axis] < q->envelope().lower()[axis]; });
        return half;
    }

    const Leaf& first_leaf(const Node& node) const noexcept {
        const Node* at = &node;
        while (!at->has_leaf_children()) {
            at = &view_.nodes[at->first];
        }
        return view_.leaves[at->first];
    }

    void report_all(const Node& node) {
        if (node.has_leaf_children()) {
            const auto leaves = view_.child_leaves(node);
            const std::size_t at = hits_.size();
            hits_.resize(at + leaves.size());
            for (std::size_t i = 0; i < leaves.size(); ++i) {
                hits_[at + i] = {leaves[i].data(), 0.0};
            }
            return;
        }
        for (const Node& child : view_.child_nodes(node)) {
            report_all(child);
        }
    }

    rtree::FlatTreeView<Leaf> view_;
    std::span<const geodetic::Part> polygons_;
    geodetic::Envelope box_;
    const Decide& decide_;
    support::StopCheck& stop_;
    std::vector<PositionWithMetres>& hits_;
    std::vector<std::uint32_t> live_;
    std::vector<const Leaf*> group_;
    std::vector<geodetic::NearBoundary> near_;
    std::vector<geodetic::NearBoundary> wide_;
};

}  // namespace geometry_detail

// hits becomes the items of `tree` in `predicate` with `shape`, in ascending input
// position, each once, with its great-circle metres to the shape when
// options.return_distance (0 unless DWithin). An item of several parts (part_count of
// its position, as built) intersects when a part does, is covered when every part lies
// in one part of the shape, covers when every part of the shape lies in one of its
// parts, and measures its nearest part. DWithin keeps an item exactly when the metres
// it would report are within the distance (decided as SphereRadius does).
template <typename Tree, typename PartCount>
void query_geometry(const Tree& tree, const geodetic::Shape& shape, const GeometryQueryOptions& options,
                    const PartCount& part_count, std::vector<PositionWithMetres>& hits) {
    using Leaf = typename Tree::LeafType;
    hits.clear();
    const std::span<const geodetic::Part> parts = shape.parts();
    const bool dwithin = options.predicate == GeometryPredicate::DWithin;
    if (parts.empty() || (dwithin && !(options.distance_metres >= 0.0))) {
        return;
    }
    const geodetic::SphereRadius radius(dwithin ? options.distance_metres : 0.0);
    // The chord of the distance, at most the sphere's diameter, widens the query's box.
    const double reach = dwithin ? std::sqrt(std::min(radius.outer_2(), 4.0)) * (1.0 + 1e-15) + geodetic::BOX_MARGIN : 0.0;
    const rtree::SelectInEnvelopeFuncIntersecting<geodetic::UnitVec> in_box{geodetic::widened(shape.envelope(), reach)};
    const auto decide = [&](std::uint64_t position, std::span<const Leaf* const> group) {
        const auto each_part = [&](auto&& test) {
            return std::all_of(group.begin(), group.end(),
                               [&](const Leaf* leaf) { return test(geometry_detail::part_of(*leaf)); });
        };
        const auto some_part = [&](auto&& test) {
            return std::any_of(group.begin(), group.end(),
                               [&](const Leaf* leaf) { return test(geometry_detail::part_of(*leaf)); });
        };
        switch (options.predicate) {
            case GeometryPredicate::Intersects:
                if (some_part([&](const geodetic::Part& item) {
                        return std::any_of(parts.begin(), parts.end(),
                                           [&](const geodetic::Part& p) { return geodetic::intersects(item, p); });
                    })) {
                    hits.push_back({position, 0.0});
                }
                break;
            case GeometryPredicate::CoveredBy:
                // Every part is a candidate when the item lies in the shape's box.
                if (group.size() == part_count(position) &&
                    each_part([&](const geodetic::Part& item) { return geometry_detail::shape_covers(parts, item); })) {
                    hits.push_back({position, 0.0});
                }
                break;
            case GeometryPredicate::Covers:
                if (std::all_of(parts.begin(), parts.end(), [&](const geodetic::Part& p) {
                        return some_part([&](const geodetic::Part& item) { return geodetic::covers(item, p); });
                    })) {
                    hits.push_back({position, 0.0});
                }
                break;
            case GeometryPredicate::DWithin: {
                std::optional<double> best;
                some_part([&](const geodetic::Part& item) {
                    for (const geodetic::Part& p : parts) {
                        const double bound = best ? *best : radius.outer_2();
                        if (const std::optional<double> d = geodetic::distance_2_within(item, p, bound)) {
                            best = best ? std::min(*best, *d) : *d;
                        }
                        if (best && *best == 0.0) {
                            return true;
                        }
                    }
                    return false;
                });
                if (best && radius.admits(*best)) {
                    hits.push_back(
                        {position, options.return_distance ? geodetic::squared_chord_to_metres(*best) : 0.0});
                }
                break;
            }
        }
    };
    support::StopCheck stop;
    if constexpr (std::same_as<Leaf, indexed::PointLeaf>) {
        if (dwithin && std::all_of(parts.begin(), parts.end(), [](const geodetic::Part& p) {
                return p.kind() == geodetic::Part::Kind::LineString;
            })) {
            geometry_detail::points_near_lines(tree, parts, radius, reach, options.return_distance, stop, hits);
            return;
        }
    }
    if ((options.predicate == GeometryPredicate::Intersects || options.predicate == GeometryPredicate::CoveredBy) &&
        !tree.repeats_positions() && std::all_of(parts.begin(), parts.end(), [](const geodetic::Part& p) {
            return p.kind() == geodetic::Part::Kind::Polygon;
        })) {
        geometry_detail::PlacedWalk<Leaf, decltype(decide)>(tree.rtree().view(), parts, in_box.envelope, decide, stop,
                                                            hits)
            .run();
        geometry_detail::sort_distinct_positions(hits);
        return;
    }
    EntryTestedSelection<Leaf, rtree::SelectInEnvelopeFuncIntersecting<geodetic::UnitVec>> walk(tree.rtree().view(),
                                                                                                 in_box);
    if (!tree.repeats_positions()) {
        // One leaf an item: each is decided as the walk meets it, the answers sorted after.
        while (const Leaf* leaf = walk.next()) {
            stop.visit();
            decide(leaf->data(), std::span<const Leaf* const>(&leaf, 1));
        }
        std::sort(hits.begin(), hits.end(),
                  [](const PositionWithMetres& a, const PositionWithMetres& b) { return a.position < b.position; });
        return;
    }
    std::vector<const Leaf*> candidates;
    while (const Leaf* leaf = walk.next()) {
        candidates.push_back(leaf);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Leaf* a, const Leaf* b) { return a->data() < b->data(); });
    for (std::size_t first = 0; first < candidates.size();) {
        const std::uint64_t position = candidates[first]->data();
        std::size_t end = first + 1;
        while (end < candidates.size() && candidates[end]->data() == position) {
            ++end;
        }
        stop.visit(end - first);
        decide(position, std::span<const Leaf* const>(candidates.data() + first, end - first));
        first = end;
    }
}

// The answers of a batch of geometry queries: (query index, position, metres) rows,
// sorted by query index, then position.
struct GeometryPairs {
    std::vector<std::int64_t> queries;
    std::vector<std::int64_t> positions;
    std::vector<double> metres;  // filled only when return_distance
};

// Geometries per chunk: one geometry may be a country of 10^4 vertices.
inline constexpr std::size_t GEOMETRY_QUERIES_PER_CHUNK = 16;

// query_geometry for every shape, distances[i] (or distances[0] for all, when it has one
// element) as shape i's DWithin distance, on run.workers threads; out gets every
// answer. REQUIRES: distances has 1 or shapes.size() elements. On Cancelled, out holds
// nothing.
template <typename Tree, typename PartCount>
support::RunOutcome query_geometries(const Tree& tree, std::span<const geodetic::Shape> shapes,
                                     std::span<const double> distances, const GeometryQueryOptions& options,
                                     const PartCount& part_count, const BatchRun& run, GeometryPairs& out) {
    SFERIX_ASSERT(distances.size() == 1 || distances.size() == shapes.size(), "one distance, or one per geometry");
    out = GeometryPairs{};
    const std::size_t chunk_size = GEOMETRY_QUERIES_PER_CHUNK;
    std::vector<GeometryPairs> chunks(shapes.size() / chunk_size + (shapes.size() % chunk_size != 0));
    const support::ChunkedRunOptions chunked{
        .workers = run.workers, .chunk_size = chunk_size, .poll_interval = run.poll_interval};
    const auto work = [&](std::size_t begin, std::size_t end) {
        GeometryPairs& mine = chunks[begin / chunk_size];
        std::vector<PositionWithMetres> hits;
        GeometryQueryOptions one = options;
        for (std::size_t i = begin; i < end; ++i) {
            one.distance_metres = distances.size() == 1 ? distances[0] : distances[i];
            query_geometry(tree, shapes[i], one, part_count, hits);
            const std::size_t at = mine.queries.size();
            mine.queries.resize(at + hits.size(), static_cast<std::int64_t>(i));
            mine.positions.resize(at + hits.size());
            for (std::size_t k = 0; k < hits.size(); ++k) {
                mine.positions[at + k] = static_cast<std::int64_t>(hits[k].position);
            }
            if (options.return_distance) {
                mine.metres.resize(at + hits.size());
                for (std::size_t k = 0; k < hits.size(); ++k) {
                    mine.metres[at + k] = hits[k].metres;
                }
            }
        }
    };
    const support::RunOutcome outcome = support::run_chunked(shapes.size(), chunked, work, run.keep_going);
    if (outcome != support::RunOutcome::Finished) {
        return outcome;
    }
    std::size_t total = 0;
    for (const GeometryPairs& chunk : chunks) {
        total += chunk.queries.size();
    }
    out.queries.reserve(total);
    out.positions.reserve(total);
    out.metres.reserve(options.return_distance ? total : 0);
    for (const GeometryPairs& chunk : chunks) {
        out.queries.insert(out.queries.end(), chunk.queries.begin(), chunk.queries.end());
        out.positions.insert(out.positions.end(), chunk.positions.begin(), chunk.positions.end());
        out.metres.insert(out.metres.end(), chunk.metres.begin(), chunk.metres.end());
    }
    return outcome;
}

}  // namespace sferix::indexed
