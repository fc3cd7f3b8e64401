#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "geodetic/coord.hpp"
#include "geodetic/distance.hpp"
#include "geodetic/point.hpp"
#include "geodetic/wgs84.hpp"
#include "index/geodetic_rtree.hpp"
#include "index/in_rectangle_iterator.hpp"
#include "index/within_distance_wgs84_iterator.hpp"
#include "rtree/flat_array.hpp"

namespace sferix::indexed {

using geodetic::GeodeticCoord;
using geodetic::GeodeticPoint;

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
        double bound = geodetic::metres_to_squared_chord(Measured ? geodetic::wgs84_prefilter_radius_metres(radius_metres)
                                                        : geodetic::wgs84_reject_radius_metres(radius_metres));
        if (bound >= 4.0) {
            bound = std::numeric_limits<double>::infinity();
        }
        const double accept_metres = geodetic::wgs84_accept_radius_metres(radius_metres);
        const double accept_2 = accept_metres > 0.0 ? geodetic::metres_to_squared_chord(accept_metres) : -1.0;
        return WithinDistanceWgs84Iterator<Measured>(rtree().view(), coords_.span(), bound, accept_2, query,
                                                     radius_metres);
    }

    rtree::FlatArray<GeodeticCoord> coords_;
    std::vector<std::uint32_t> min_positions_;
};

}  // namespace sferix::indexed
