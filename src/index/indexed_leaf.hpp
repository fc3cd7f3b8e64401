#pragma once

#include <array>
#include <cfloat>
#include <cmath>
#include <concepts>
#include <cstddef>
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
//    farther than bound (the exact distance is then not computed; the leaf keeps a
//    float copy of the envelope, rounded outward, so that most such leaves are
//    rejected without reading the geometry), otherwise
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
    // Leaves per leaf-level node: the geometries, not the nodes, hold a shape tree's
    // memory, and a query pays a box distance for every leaf of each node it opens.
    [[nodiscard]] static constexpr std::size_t leaf_node_capacity(std::size_t /*items*/) noexcept { return 8; }
    using GeometryType = G;
    using Envelope = rtree::AABB<PointType>;

    // A null handle is a broken invariant: every leaf measures a real geometry.
    IndexedLeaf(std::shared_ptr<const G> geom, std::uint64_t position)
        : geom_(std::move(geom)), position_(position) {
        SFERIX_ASSERT(geom_ != nullptr, "an indexed leaf holds a geometry");
        const Envelope box = geom_->envelope();
        for (std::size_t axis = 0; axis < 3; ++axis) {
            outer_lower_[axis] = float_at_most(box.lower()[axis]);
            outer_upper_[axis] = float_at_least(box.upper()[axis]);
        }
    }

    [[nodiscard]] const G& geom() const noexcept { return *geom_; }
    // The input position.
    [[nodiscard]] const std::uint64_t& data() const noexcept { return position_; }
    [[nodiscard]] const std::shared_ptr<const G>& shared() const noexcept { return geom_; }

    [[nodiscard]] Envelope envelope() const { return geom_->envelope(); }

    [[nodiscard]] double distance_2(const PointType& p) const { return geom_->distance_2(p); }

    [[nodiscard]] bool contains_point(const PointType& p) const { return distance_2(p) <= 0.0; }

    // A lower bound of distance_2(p) read from the leaf alone, never the geometry: what
    // a walk orders a leaf by before it decides whether to measure it.
    [[nodiscard]] double lower_distance_2(const PointType& p) const noexcept { return outer_distance_2(p); }

    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const PointType& p, double bound) const {
        // The box distance is a few comparisons; the exact distance walks every edge
        // (and runs the point-in-polygon test), so skip it when the box already fails.
        // The leaf's own outer box first: the leaves of a node lie side by side, while
        // each geometry is a separate block, a cache miss away.
        if (outer_distance_2(p) > bound || geom_->envelope().distance_2(p) > bound) {
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
    // The nearest float below or above v (v itself when a float holds it). Converting
    // rounds to nearest, so one step toward the bound's side is enough. Beyond the
    // floats' range (an empty box's ±max double) or for NaN, the bound is unbounded on
    // that side, so it rejects nothing there.
    [[nodiscard]] static float float_at_most(double v) noexcept {
        if (!(std::fabs(v) <= FLT_MAX)) {
            return v > 0.0 ? FLT_MAX : -INFINITY;
        }
        const float f = static_cast<float>(v);
        return static_cast<double>(f) > v ? std::nextafter(f, -INFINITY) : f;
    }
    [[nodiscard]] static float float_at_least(double v) noexcept {
        if (!(std::fabs(v) <= FLT_MAX)) {
            return v < 0.0 ? -FLT_MAX : INFINITY;
        }
        const float f = static_cast<float>(v);
        return static_cast<double>(f) < v ? std::nextafter(f, INFINITY) : f;
    }

    // Envelope::distance_2 over the outer box, axis by axis the same operations on
    // bounds at least as far out. Rounding is monotone, so each axis's gap, its square
    // and the sums come out no larger than for the envelope itself: a leaf this rejects,
    // the envelope rejects too, and the answer is the envelope's.
    [[nodiscard]] double outer_distance_2(const PointType& p) const noexcept {
        double d[3];
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const double lower = outer_lower_[axis];
            const double upper = outer_upper_[axis];
            const double raised = lower > p[axis] ? lower : p[axis];
            const double clamped = upper < raised ? upper : raised;
            d[axis] = clamped - p[axis];
        }
        return (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
    }

    std::shared_ptr<const G> geom_;
    std::uint64_t position_;
    // The envelope rounded outward to floats: half the bytes of a copy of the envelope,
    // at most a float step (6e-8 below 1, under a metre on Earth) looser per side.
    std::array<float, 3> outer_lower_{};
    std::array<float, 3> outer_upper_{};
};

}  // namespace sferix::indexed
