#pragma once

#include <cmath>
#include <cstddef>

#include "rtree/aabb.hpp"
#include "support/panic.hpp"

namespace sferix::geodetic {

// A point of the unit sphere as a 3-D vector: x toward (lon 0, lat 0), y toward
// (lon 90, lat 0), z toward the north pole. It is also the point type of the
// R-tree's space (axes 0, 1, 2). The arithmetic below also serves the
// intermediate, non-unit vectors of the arc formulas.
struct UnitVec {
    double x;
    double y;
    double z;

    // Component by axis; any axis other than 0, 1, 2 is a broken invariant.
    [[nodiscard]] double operator[](std::size_t axis) const {
        if (axis == 0) return x;
        if (axis == 1) return y;
        if (axis == 2) [[likely]] return z;
        ::sferix::support::panic("axis index out of range");
    }

    friend bool operator==(const UnitVec&, const UnitVec&) = default;
};

[[nodiscard]] constexpr UnitVec operator+(const UnitVec& a, const UnitVec& b) noexcept { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
[[nodiscard]] constexpr UnitVec operator-(const UnitVec& a, const UnitVec& b) noexcept { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
[[nodiscard]] constexpr UnitVec operator*(double s, const UnitVec& v) noexcept { return {s * v.x, s * v.y, s * v.z}; }
[[nodiscard]] constexpr UnitVec operator/(const UnitVec& v, double s) noexcept { return {v.x / s, v.y / s, v.z / s}; }

[[nodiscard]] constexpr double dot(const UnitVec& a, const UnitVec& b) noexcept { return a.x * b.x + a.y * b.y + a.z * b.z; }

[[nodiscard]] constexpr UnitVec cross(const UnitVec& a, const UnitVec& b) noexcept {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// |v|², summed as (x² + y²) + z², the order every squared distance uses so that a
// point and its degenerate box measure the same to the last bit.
[[nodiscard]] constexpr double norm_2(const UnitVec& v) noexcept { return (v.x * v.x + v.y * v.y) + v.z * v.z; }

[[nodiscard]] inline double norm(const UnitVec& v) noexcept { return std::sqrt(norm_2(v)); }

// Squared chord |a − b|², in [0, 4] for points of the sphere.
[[nodiscard]] constexpr double chord_2(const UnitVec& a, const UnitVec& b) noexcept { return norm_2(a - b); }

// The 3-D box of an object or node in the tree's space of unit vectors.
using Envelope = rtree::AABB<UnitVec>;

}  // namespace sferix::geodetic
