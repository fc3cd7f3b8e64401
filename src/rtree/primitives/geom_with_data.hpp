#pragma once

#include <optional>
#include <utility>

#include "rtree/aabb.hpp"
#include "rtree/object.hpp"

namespace sferix::rtree {

// A leaf object made of a geometry and a piece of data (in this system the
// geometry's input position). The tree sees only the geometry: every object
// operation forwards to G unchanged; the data rides along to identify the leaf.
template <RTreeObject G, typename D>
class GeomWithData {
public:
    using PointType = typename G::PointType;

    GeomWithData(G geom, D data) : geom_(std::move(geom)), data_(std::move(data)) {}

    [[nodiscard]] const G& geom() const noexcept { return geom_; }
    [[nodiscard]] const D& data() const noexcept { return data_; }

    // The geometry's envelope.
    [[nodiscard]] AABB<PointType> envelope() const { return geom_.envelope(); }

    // The geometry's squared distance to p (see PointDistance).
    [[nodiscard]] double distance_2(const PointType& p) const
        requires PointDistance<G>
    {
        return geom_.distance_2(p);
    }

    [[nodiscard]] bool contains_point(const PointType& p) const
        requires PointDistance<G>
    {
        return geom_.contains_point(p);
    }

    // The geometry's squared distance to p when it is ≤ bound (inclusive), else nothing.
    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const PointType& p, double bound) const
        requires PointDistance<G>
    {
        return geom_.distance_2_if_less_or_equal(p, bound);
    }

private:
    G geom_;
    D data_;
};

}  // namespace sferix::rtree
