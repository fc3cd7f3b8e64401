#pragma once

// The geodetic face of the index: queries in degrees and metres over an R-tree of
// unit-vector boxes.
//
//   std::vector<GeodeticCoord> coords = ...;              // input order = input positions
//   const PointTree tree = PointTree::from_coords(std::move(coords));
//   const GeodeticPoint query = *GeodeticPoint::try_new(lon, lat);   // checked once
//
//   // Within a radius (metres, inclusive, judged on the metres reported; radius 0
//   // keeps only exact hits):
//   for (const auto& [leaf, distance_2] : tree.locate_within_distance(query, 10'000.0)) {
//       report(leaf->data(), squared_chord_to_metres(distance_2));
//   }
//   // The same on WGS84 (geodesic metres, inclusive), and without the metres, which
//   // spares most geodesic inverses:
//   for (const auto& [leaf, metres] : tree.locate_within_distance_wgs84(query, 10'000.0)) { ... }
//   for (const PointLeaf& leaf : tree.locate_within_distance_wgs84_unmeasured(query, 10'000.0)) { ... }
//   // Inside a lon/lat rectangle (bounds inclusive; w > e crosses the antimeridian):
//   for (const PointLeaf& leaf : tree.locate_in_rectangle(LonLatRectangle(lower, upper))) { ... }
//   // The point at an input position, built on demand from the coordinate array:
//   const GeodeticPoint p = tree.point(leaf.data());
//   // Nearest first, with great-circle metres:
//   auto nearest = tree.nearest_neighbor_iter_with_distance(query).next();
//   // Linestring and polygon trees: the one nearest leaf with its metres:
//   std::optional<LeafWithMetres<PolygonLeaf>> hit = polygons.nearest_neighbor_with_distance(query);
//
// There are no options and no defaults: every query takes exactly its arguments. A
// query position is a validated GeodeticPoint, checked and embedded once when it is
// built; a rectangle is a LonLatRectangle of two validated corners. Distances are
// metres at this interface (great-circle on the sphere of EARTH_RADIUS_METRES unless
// the query says WGS84) and squared chords inside. Every comparison is inclusive.
//
// Queries never sort, never allocate result arrays and never report errors: a
// negative or NaN radius gives the empty sequence. Each lazy sequence has one type
// whether empty or not, walks the tree only as it is advanced, and borrows the tree,
// which must outlive it. Selection queries (radius, WGS84 radius, rectangle)
// report in the depth-first order of rtree::SelectionIterator (the reverse of the
// storage order), neither by distance nor by input position; the nearest queries
// report in nondecreasing distance, ties in heap pop order.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "geodetic/distance.hpp"
#include "geodetic/linestring.hpp"
#include "geodetic/point.hpp"
#include "geodetic/polygon.hpp"
#include "geodetic/radius.hpp"
#include "geodetic/rectangle.hpp"
#include "geodetic/unit_vec.hpp"
#include "geodetic/wgs84.hpp"
#include "index/entry_tested_selection.hpp"
#include "index/indexed_leaf.hpp"
#include "index/point_leaf.hpp"
#include "rtree/algorithm/next_iterator.hpp"
#include "rtree/rtree.hpp"

namespace sferix::geodetic {

// The leaves of the three trees; data() is the input position in every case.
// A point leaf holds its unit vector (see point_leaf.hpp); the others share their
// geometry. A multipart item (see MultiPart) has one leaf per part, each with the
// item's position, so that each part is pruned by its own box.
using LineStringLeaf = indexed::IndexedLeaf<GeodeticLineString>;
using PolygonLeaf = indexed::IndexedLeaf<GeodeticPolygon>;

// What a geodetic tree needs of its leaves: squared-chord distances in the space of
// unit vectors, and an input position.
template <typename Leaf>
concept GeodeticLeaf = rtree::PointDistance<Leaf> && std::same_as<typename Leaf::PointType, UnitVec> &&
                       requires(const Leaf& leaf) {
                           { leaf.data() } -> std::convertible_to<std::uint64_t>;
                       };

// A reported leaf and its squared chord to the query (distance_2), bit-identical to
// leaf->distance_2(query.vector()).
using rtree::LeafWithDistance2;

// A reported leaf and its distance to the query in metres (great-circle or
// geodesic, as the query says).
template <typename Leaf>
struct LeafWithMetres {
    const Leaf* leaf;
    double metres;
};

// The radius test of locate_within_distance: boxes are pruned at radius.outer_2(),
// leaves kept by radius.admits, and the squared chord of the leaf accepted last is
// kept so that the query can report it without measuring again.
// The record is mutable because the selection interface tests leaves through a
// const function; it changes only when should_yield accepts.
template <GeodeticLeaf Leaf>
class SelectWithinDistanceRecording {
public:
    SelectWithinDistanceRecording(const UnitVec& origin, const SphereRadius& radius) noexcept
        : test_{origin, radius.outer_2()}, radius_(radius) {}

    [[nodiscard]] bool should_descend(const Envelope& envelope) const { return test_.should_descend(envelope); }

    [[nodiscard]] bool should_yield(const Leaf& leaf) const {
        const std::optional<double> distance_2 = leaf.distance_2_if_less_or_equal(test_.origin, test_.max_distance_2);
        if (!distance_2 || !radius_.admits(*distance_2)) {
            return false;
        }
        last_distance_2_ = *distance_2;
        return true;
    }

    // The squared chord of the leaf accepted last (0 before any).
    [[nodiscard]] double last_distance_2() const noexcept { return last_distance_2_; }

private:
    rtree::SelectWithinDistanceFunction<UnitVec> test_;
    SphereRadius radius_;
    mutable double last_distance_2_ = 0.0;
};

// Lazy result of locate_within_distance: leaves with their squared chords. Linestring
// and polygon trees walk with EntryTestedSelection, which reports the same leaves in
// the same order as the SelectionIterator the point trees keep, at about half the cost
// of a point-in-polygon query.
template <GeodeticLeaf Leaf>
class WithinDistanceIterator {
public:
    using Selection =
        std::conditional_t<std::same_as<Leaf, PointLeaf>, rtree::SelectionIterator<Leaf, SelectWithinDistanceRecording<Leaf>>,
                           indexed::EntryTestedSelection<Leaf, SelectWithinDistanceRecording<Leaf>>>;

    // The empty sequence.
    WithinDistanceIterator() = default;
    WithinDistanceIterator(rtree::FlatTreeView<Leaf> tree, const UnitVec& origin, const SphereRadius& radius) {
        selection_.emplace(tree, SelectWithinDistanceRecording<Leaf>(origin, radius));
    }

    [[nodiscard]] std::optional<LeafWithDistance2<Leaf>> next() {
        if (!selection_) {
            return std::nullopt;
        }
        const Leaf* leaf = selection_->next();
        if (leaf == nullptr) {
            return std::nullopt;
        }
        return LeafWithDistance2<Leaf>{leaf, selection_->function().last_distance_2()};
    }

    [[nodiscard]] rtree::NextIterator<WithinDistanceIterator> begin() { return rtree::NextIterator(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::optional<Selection> selection_;
};

// A selection over point leaves whose callers read each leaf's coordinates next.
// Leaves are drawn from the selection a few at a time, in its order, and the loads
// of their coordinates (one random access each into the input-ordered array) are
// started together, so they overlap instead of each stalling its caller.
template <typename Function>
class CoordPrefetchingSelection {
public:
    CoordPrefetchingSelection(rtree::FlatTreeView<PointLeaf> tree, Function function,
                              std::span<const GeodeticCoord> coords)
        : selection_(tree, std::move(function)), coords_(coords) {}

    // The next leaf of the selection, or null when it is over.
    [[nodiscard]] const PointLeaf* next() {
        if (next_ == length_) {
            next_ = 0;
            length_ = 0;
            while (length_ < BATCH) {
                const PointLeaf* leaf = selection_.next();
                if (leaf == nullptr) {
                    break;
                }
                __builtin_prefetch(&coords_[leaf->data()]);
                batch_[length_++] = leaf;
            }
            if (length_ == 0) {
                return nullptr;
            }
        }
        return batch_[next_++];
    }

private:
    static constexpr std::size_t BATCH = 8;

    rtree::SelectionIterator<PointLeaf, Function> selection_;
    std::span<const GeodeticCoord> coords_;
    std::array<const PointLeaf*, BATCH> batch_{};
    std::size_t next_ = 0;
    std::size_t length_ = 0;
};

// Lazy result of the WGS84 radius queries: point leaves whose geodesic distance d
// (query first) is ≤ the radius, from the candidates of the sphere pre-filter. With
// Measured, each leaf comes with d and every candidate is solved; without, next()
// gives the leaf alone (nullptr at the end), candidates inside the accept chord are
// taken unsolved and only the band between the two sphere bounds is solved. A NaN d
// is dropped.
template <bool Measured>
class WithinDistanceWgs84Iterator {
public:
    using Selection = CoordPrefetchingSelection<rtree::SelectWithinDistanceFunction<UnitVec>>;
    using Item = std::conditional_t<Measured, std::optional<LeafWithMetres<PointLeaf>>, const PointLeaf*>;

    // The empty sequence.
    WithinDistanceWgs84Iterator() = default;
    // max_distance_2: the pre-filter's bound; accept_2: squared chords at or below it
    // are certainly within the radius (ignored when Measured; negative for none).
    WithinDistanceWgs84Iterator(rtree::FlatTreeView<PointLeaf> tree, std::span<const GeodeticCoord> coords,
                                      double max_distance_2, double accept_2, const GeodeticPoint& query,
                                      double radius_metres)
        : coords_(coords), origin_(query.vector()), lon_(query.lon()), lat_(query.lat()),
          accept_2_(accept_2), radius_metres_(radius_metres) {
        selection_.emplace(tree, rtree::SelectWithinDistanceFunction<UnitVec>{query.vector(), max_distance_2}, coords);
    }

    [[nodiscard]] Item next() {
        if (!selection_) {
            return Item{};
        }
        while (const PointLeaf* leaf = selection_->next()) {
            if constexpr (!Measured) {
                if (leaf->distance_2(origin_) <= accept_2_) {
                    return leaf;
                }
            }
            const GeodeticCoord& coord = coords_[leaf->data()];
            const double d = geodesic_distance_wgs84(lon_, lat_, coord.lon(), coord.lat());
            ++inverses_;
            if (d <= radius_metres_) {
                if constexpr (Measured) {
                    return LeafWithMetres<PointLeaf>{leaf, d};
                } else {
                    return leaf;
                }
            }
        }
        return Item{};
    }

    // Geodesic inverse problems solved so far (for benchmarks and tests).
    [[nodiscard]] std::uint64_t geodesic_inverses() const noexcept { return inverses_; }

    [[nodiscard]] rtree::NextIterator<WithinDistanceWgs84Iterator> begin() { return rtree::NextIterator(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::optional<Selection> selection_;
    std::span<const GeodeticCoord> coords_;
    UnitVec origin_{};
    double lon_ = 0.0;
    double lat_ = 0.0;
    double accept_2_ = -1.0;
    double radius_metres_ = 0.0;
    std::uint64_t inverses_ = 0;
};

// Lazy result of locate_in_rectangle: point leaves inside the rectangle.
class InRectangleIterator {
public:
    using Selection = CoordPrefetchingSelection<rtree::SelectInEnvelopeFuncIntersecting<UnitVec>>;

    InRectangleIterator(rtree::FlatTreeView<PointLeaf> tree, std::span<const GeodeticCoord> coords,
                        const LonLatRectangle& rectangle)
        : selection_(tree, rtree::SelectInEnvelopeFuncIntersecting<UnitVec>{rectangle_bounding_box(
                               rectangle.west(), rectangle.south(), rectangle.east(), rectangle.north())},
                     coords),
          coords_(coords), rectangle_(rectangle) {}

    [[nodiscard]] const PointLeaf* next() {
        while (const PointLeaf* leaf = selection_.next()) {
            const GeodeticCoord& coord = coords_[leaf->data()];
            if (lonlat_rectangle_contains(coord.lon(), coord.lat(), rectangle_.west(), rectangle_.south(),
                                          rectangle_.east(), rectangle_.north())) {
                return leaf;
            }
        }
        return nullptr;
    }

    [[nodiscard]] rtree::NextIterator<InRectangleIterator> begin() { return rtree::NextIterator(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    Selection selection_;
    std::span<const GeodeticCoord> coords_;
    LonLatRectangle rectangle_;
};

// Lazy result of nearest_neighbor_iter_with_distance: every leaf with its
// great-circle metres, nearest first.
template <GeodeticLeaf Leaf>
class NearestWithMetresIterator {
public:
    using Nearest = rtree::NearestNeighborDistance2Iterator<Leaf>;

    // The empty sequence.
    NearestWithMetresIterator() = default;
    NearestWithMetresIterator(rtree::FlatTreeView<Leaf> tree, const UnitVec& query) { nearest_.emplace(tree, query); }

    // The walk orders by squared chord; each reported leaf's chord is converted once,
    // on the way out, with squared_chord_to_metres, which is monotone, so the metres
    // stay nondecreasing.
    [[nodiscard]] std::optional<LeafWithMetres<Leaf>> next() {
        if (!nearest_) {
            return std::nullopt;
        }
        const auto found = nearest_->next();
        if (!found) {
            return std::nullopt;
        }
        return LeafWithMetres<Leaf>{found->leaf, squared_chord_to_metres(found->distance_2)};
    }

    [[nodiscard]] rtree::NextIterator<NearestWithMetresIterator> begin() { return rtree::NextIterator(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::optional<Nearest> nearest_;
};

// A static R-tree over geodetic leaves, built once and then only read; any number
// of queries may run on it at once. Owns exactly one rtree::RTree<Leaf>. Move-only.
template <GeodeticLeaf Leaf>
class GeodeticRTree {
public:
    using LeafType = Leaf;

    // Moves the leaves (any order, duplicates allowed) into a bulk-loaded tree. No
    // leaves give an empty tree, which answers every query with nothing.
    // `repeats_positions`: whether some leaves share an input position (the parts of a
    // multipart item), which the callers reporting positions then merge.
    [[nodiscard]] static GeodeticRTree bulk_load(std::vector<Leaf>&& leaves, bool repeats_positions = false) {
        GeodeticRTree tree(rtree::RTree<Leaf>::new_from_bulk_loading(std::move(leaves)));
        tree.repeats_positions_ = repeats_positions;
        return tree;
    }

    // Whether leaves may share an input position (as bulk_load was told). The queries
    // below report leaves, so then one position may come several times.
    [[nodiscard]] bool repeats_positions() const noexcept { return repeats_positions_; }

    // The number of leaves.
    [[nodiscard]] std::size_t size() const noexcept { return tree_.size(); }
    [[nodiscard]] const rtree::RTree<Leaf>& rtree() const noexcept { return tree_; }

    // Leaves whose squared chord c to query.vector() reports as at most the radius,
    // squared_chord_to_metres(c) ≤ radius_metres (decided as SphereRadius does), each
    // with c. So a leaf at a distance some query reported is inside that radius, and
    // one reported farther is not. Inclusive: radius 0 reports exactly the leaves at
    // squared chord 0 (the same point, a polygon containing the query); a radius of
    // half_circumference_metres() (π·EARTH_RADIUS_METRES) or more, infinity included,
    // reports everything, exact antipodes too. Negative or NaN radius: empty.
    [[nodiscard]] WithinDistanceIterator<Leaf> locate_within_distance(const GeodeticPoint& query,
                                                                      double radius_metres) const {
        if (!(radius_metres >= 0.0)) {
            return {};
        }
        return WithinDistanceIterator<Leaf>(tree_.view(), query.vector(), SphereRadius(radius_metres));
    }

    // The leaf nearest to the query with its great-circle metres: the first leaf of
    // the best-first walk. Among leaves at the same squared chord the heap decides
    // (no tie-break by position); every polygon containing the query is at 0.
    // An empty tree: nothing.
    [[nodiscard]] std::optional<LeafWithMetres<Leaf>> nearest_neighbor_with_distance(const GeodeticPoint& query) const {
        return nearest_neighbor_iter_with_distance(query).next();
    }

    // Every leaf with its great-circle metres to the query, nearest first, ties in
    // heap pop order.
    [[nodiscard]] NearestWithMetresIterator<Leaf> nearest_neighbor_iter_with_distance(const GeodeticPoint& query) const {
        return NearestWithMetresIterator<Leaf>(tree_.view(), query.vector());
    }

protected:
    explicit GeodeticRTree(rtree::RTree<Leaf>&& tree) noexcept : tree_(std::move(tree)) {}

private:
    rtree::RTree<Leaf> tree_;
    bool repeats_positions_ = false;
};

// The point tree: a GeodeticRTree of PointLeaf plus what only points have. It keeps
// every point once, as its lon/lat in input order (coord, point), and the leaves hold
// the unit vectors the walks read; a GeodeticPoint is built on demand and is
// indistinguishable from a stored one. It also keeps, for every node, the smallest
// input position below it (min_position), so that searches which break ties on input
// positions can skip whole subtrees of duplicates.
class PointTree : public GeodeticRTree<PointLeaf> {
public:
    // The tree of `coords` (validated, in input order: coords[i] has input position
    // i). Embeds each once; no elements give an empty tree. Requires fewer than 2^32
    // points (invariant_broken otherwise).
    [[nodiscard]] static PointTree from_coords(std::vector<GeodeticCoord>&& coords);

    // The same from validated points (their vectors are reused, not recomputed).
    [[nodiscard]] static PointTree from_points(std::span<const GeodeticPoint> points);

    // The tree of `coords` (input order, owned or borrowed) over an R-tree adopted as
    // it is, for a loader that has checked it and found each node's smallest input
    // position on the way. REQUIRES: tree's leaves are exactly one leaf per input
    // position, each holding embed(coords[position]); min_positions as min_positions()
    // describes it.
    [[nodiscard]] static PointTree from_checked_parts(rtree::RTree<PointLeaf>&& tree,
                                                      rtree::FlatArray<GeodeticCoord>&& coords,
                                                      std::vector<std::uint32_t>&& min_positions) noexcept {
        return PointTree(std::move(tree), std::move(coords), std::move(min_positions));
    }

    // The lon/lat at input position `position` (< size()), as given.
    [[nodiscard]] const GeodeticCoord& coord(std::uint64_t position) const noexcept { return coords_[position]; }
    [[nodiscard]] std::span<const GeodeticCoord> coords() const noexcept { return coords_.span(); }
    // The point at input position `position` (< size()), built from coord(position).
    [[nodiscard]] GeodeticPoint point(std::uint64_t position) const noexcept {
        return GeodeticPoint::from_coord(coords_[position]);
    }

    // The smallest input position of the leaves below each node, indexed like
    // rtree().view().nodes (the empty root holds the largest uint32).
    [[nodiscard]] std::span<const std::uint32_t> min_positions() const noexcept { return min_positions_; }

    // Bytes held by the tree's arrays (leaves, nodes, coordinates, node minima).
    [[nodiscard]] std::size_t heap_bytes() const noexcept {
        return rtree().heap_bytes() + coords_.heap_bytes() +
               min_positions_.capacity() * sizeof(std::uint32_t);
    }

    // Point leaves whose geodesic distance on WGS84, from the query as first point, is
    // ≤ radius_metres (inclusive), each with that distance in metres. Candidates come
    // from a sphere pre-filter at wgs84_prefilter_radius_metres (radius 0 still pre-filters at
    // 1 mm and keeps the points at geodesic distance 0; a pre-filter reaching the half
    // circumference takes every point, exact antipodes included, so a radius of the
    // longest geodesic or more reports everything); the geodesic inverse runs only
    // for them, and a NaN distance is dropped. Negative or NaN radius: empty.
    [[nodiscard]] WithinDistanceWgs84Iterator<true> locate_within_distance_wgs84(
        const GeodeticPoint& query, double radius_metres) const {
        return within_distance_wgs84<true>(query, radius_metres);
    }

    // The same leaves as locate_within_distance_wgs84, in the same order, without
    // their distances: only points within wgs84_reject_radius_metres on the sphere
    // are candidates, and one within wgs84_accept_radius_metres is taken
    // without an inverse, so only the thin band between the two is solved.
    [[nodiscard]] WithinDistanceWgs84Iterator<false> locate_within_distance_wgs84_unmeasured(
        const GeodeticPoint& query, double radius_metres) const {
        return within_distance_wgs84<false>(query, radius_metres);
    }

    // Point leaves inside the rectangle with corners (w, s) and (e, n), degrees, all
    // bounds inclusive: candidates whose vector meets rectangle_bounding_box(w, s, e,
    // n), kept by lonlat_rectangle_contains on the stored lon/lat. w > e crosses the
    // antimeridian; a point at lon 180 or −180 is in a window reaching either; a pole
    // is in every window whose latitudes include it; s > n gives nothing.
    [[nodiscard]] InRectangleIterator locate_in_rectangle(const LonLatRectangle& rectangle) const {
        return InRectangleIterator(rtree().view(), coords_.span(), rectangle);
    }

private:
    PointTree(rtree::RTree<PointLeaf>&& tree, rtree::FlatArray<GeodeticCoord>&& coords);
    PointTree(rtree::RTree<PointLeaf>&& tree, rtree::FlatArray<GeodeticCoord>&& coords,
              std::vector<std::uint32_t>&& min_positions) noexcept
        : GeodeticRTree<PointLeaf>(std::move(tree)), coords_(std::move(coords)),
          min_positions_(std::move(min_positions)) {}

    template <bool Measured>
    [[nodiscard]] WithinDistanceWgs84Iterator<Measured> within_distance_wgs84(const GeodeticPoint& query,
                                                                            double radius_metres) const {
        if (!(radius_metres >= 0.0)) {
            return {};
        }
        // A bound of 4 is the whole sphere, but an antipode's chord may round above it.
        // Without distances, candidates beyond the tighter reject radius are certainly
        // outside and need not be met at all.
        double bound = metres_to_squared_chord(Measured ? wgs84_prefilter_radius_metres(radius_metres)
                                                        : wgs84_reject_radius_metres(radius_metres));
        if (bound >= 4.0) {
            bound = std::numeric_limits<double>::infinity();
        }
        const double accept_metres = wgs84_accept_radius_metres(radius_metres);
        const double accept_2 = accept_metres > 0.0 ? metres_to_squared_chord(accept_metres) : -1.0;
        return WithinDistanceWgs84Iterator<Measured>(rtree().view(), coords_.span(), bound, accept_2, query,
                                                     radius_metres);
    }

    rtree::FlatArray<GeodeticCoord> coords_;
    std::vector<std::uint32_t> min_positions_;
};

using LineStringTree = GeodeticRTree<LineStringLeaf>;
using PolygonTree = GeodeticRTree<PolygonLeaf>;

}  // namespace sferix::geodetic
