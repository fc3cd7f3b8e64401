#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "rtree/aabb.hpp"
#include "rtree/object.hpp"
#include "support/panic.hpp"

namespace sferix::indexed {

// A leaf of the linestring and polygon trees: one shared, immutable geometry and
// its input position (0-based index in the data the tree was built from).
//
//   auto line = std::make_shared<const GeodeticLineString>(...);
//   std::vector<IndexedLeaf<GeodeticLineString>> leaves;
//   leaves.emplace_back(line, 0);   // the tree now holds one more reference
//
// The accessors carry the same names as rtree::GeomWithData (geom(), data()), so
// callers treat point leaves and shared leaves alike; shared() hands out the handle
// itself for value objects that outlive the tree. Copying or destroying a leaf
// touches only the handle's atomic count, never the geometry.
//
// Object operations (squared chords, query p a unit vector):
//  - envelope(): the box stored in the geometry, copied;
//  - distance_2(p): the geometry's own distance_2 (0 on a linestring, 0 inside a
//    polygon);
//  - distance_2_if_less_or_equal(p, bound): nothing when the envelope is already
//    farther than bound (the exact distance is then not computed), otherwise
//    distance_2(p) when it is ≤ bound (inclusive); a negative or NaN bound gives
//    nothing; the geometry's own distance_2_if_less_or_equal, which must agree, when
//    it has one;
//  - contains_point(p): distance_2(p) ≤ 0.
//
// REQUIRES: G is immutable and satisfies rtree::RTreeObject with a distance_2(p)
// that is never below envelope().distance_2(p).
template <rtree::RTreeObject G>
    requires requires(const G& geom, const typename G::PointType& p) {
        { geom.distance_2(p) } -> std::same_as<double>;
    }
class IndexedLeaf {
public:
    using PointType = typename G::PointType;
    using Envelope = rtree::AABB<PointType>;

    // A null handle is a broken invariant: every leaf measures a real geometry.
    IndexedLeaf(std::shared_ptr<const G> geom, std::uint64_t position)
        : geom_(std::move(geom)), position_(position) {
        SFERIX_ASSERT(geom_ != nullptr, "an indexed leaf holds a geometry");
    }

    [[nodiscard]] const G& geom() const noexcept { return *geom_; }
    // The input position.
    [[nodiscard]] const std::uint64_t& data() const noexcept { return position_; }
    [[nodiscard]] const std::shared_ptr<const G>& shared() const noexcept { return geom_; }

    [[nodiscard]] Envelope envelope() const { return geom_->envelope(); }

    [[nodiscard]] double distance_2(const PointType& p) const { return geom_->distance_2(p); }

    [[nodiscard]] bool contains_point(const PointType& p) const { return distance_2(p) <= 0.0; }

    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const PointType& p, double bound) const {
        // The box distance is a few comparisons; the exact distance walks every edge
        // (and runs the point-in-polygon test), so skip it when the box already fails.
        if (geom_->envelope().distance_2(p) > bound) {
            return std::nullopt;
        }
        // A geometry with an edge index can stop as soon as no edge is within bound.
        if constexpr (requires { { geom_->distance_2_if_less_or_equal(p, bound) } -> std::same_as<std::optional<double>>; }) {
            return geom_->distance_2_if_less_or_equal(p, bound);
        }
        const double d = distance_2(p);
        if (d <= bound) {
            return d;
        }
        return std::nullopt;
    }

private:
    std::shared_ptr<const G> geom_;
    std::uint64_t position_;
};

}  // namespace sferix::indexed
