#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "geodetic/unit_vec.hpp"

namespace sferix::indexed {

using geodetic::Envelope;
using geodetic::UnitVec;

// A leaf of the point tree: the point's unit vector and its input position, and
// nothing else. The lon/lat stay in the tree's coordinate array (PointTree::coord),
// read only by the queries that need them.
//
// Packed to 28 bytes: a tree holds one per point, and the four bytes of padding
// an aligned layout would add are a seventh of the leaf. x86-64 reads the
// unaligned doubles at full speed.
//
// Object operations (squared chords, p a unit vector), the same values as
// GeodeticPoint's for the same vector:
//  - envelope(): the degenerate box at vector();
//  - distance_2(p): |vector() − p|², bit-equal to envelope().distance_2(p);
//  - contains_point(p): distance_2(p) ≤ 0;
//  - distance_2_if_less_or_equal(p, bound): distance_2(p) when ≤ bound (inclusive);
//    a negative or NaN bound gives nothing.
class [[gnu::packed]] PointLeaf {
public:
    using PointType = UnitVec;
    // Leaves per leaf-level node in a tree of `points`: with 16, a tree in the cache
    // opens nodes about as cheaply as with 6 or 8, a larger one reads almost as few
    // cache lines as with 32, and the nodes cost about 4.5 bytes a point. From 2^22
    // points on, where nearly every node read misses the cache anyway, 32 halves that.
    [[nodiscard]] static constexpr std::size_t leaf_node_capacity(std::size_t points) noexcept {
        return points < (std::size_t{1} << 22) ? 16 : 32;
    }

    PointLeaf(const UnitVec& vector, std::uint32_t position) noexcept
        : x_(vector.x), y_(vector.y), z_(vector.z), position_(position) {}

    [[nodiscard]] UnitVec vector() const noexcept { return UnitVec{x_, y_, z_}; }
    // The input position.
    [[nodiscard]] std::uint64_t data() const noexcept { return position_; }

    [[nodiscard]] Envelope envelope() const noexcept { return Envelope::from_point(vector()); }

    [[nodiscard]] double distance_2(const UnitVec& p) const noexcept { return norm_2(vector() - p); }

    [[nodiscard]] bool contains_point(const UnitVec& p) const noexcept { return distance_2(p) <= 0.0; }

    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const UnitVec& p, double bound) const noexcept {
        const double measured_2 = distance_2(p);
        if (bound >= measured_2) {
            return measured_2;
        }
        return std::nullopt;
    }

private:
    double x_;
    double y_;
    double z_;
    std::uint32_t position_;
};

static_assert(sizeof(PointLeaf) == 28);

}  // namespace sferix::indexed
