#pragma once

#include <limits>

#include "rtree/point.hpp"

namespace sferix::rtree {

// An axis-aligned 3-D box [lower, upper], the envelope of every object and node.
// Every comparison is inclusive: touching boxes intersect, a point on a face is inside.
// Comparisons are written so that a NaN operand makes a test false.
template <Point3 P>
class AABB {
public:
    // The box that any merge replaces: lower = (+M, +M, +M), upper = (−M, −M, −M),
    // M the largest finite double. It is the envelope of an empty tree's root.
    [[nodiscard]] static AABB new_empty() noexcept {
        constexpr double M = std::numeric_limits<double>::max();
        return AABB(P{M, M, M}, P{-M, -M, -M});
    }

    [[nodiscard]] static AABB from_point(const P& p) noexcept { return AABB(p, p); }

    // The box with corners a and b, taking per axis the smaller as lower.
    [[nodiscard]] static AABB from_corners(const P& a, const P& b) noexcept {
        return AABB(P{min_of(a[0], b[0]), min_of(a[1], b[1]), min_of(a[2], b[2])},
                    P{max_of(a[0], b[0]), max_of(a[1], b[1]), max_of(a[2], b[2])});
    }

    [[nodiscard]] const P& lower() const noexcept { return lower_; }
    [[nodiscard]] const P& upper() const noexcept { return upper_; }

    // Grows this box to cover `other` (componentwise min of lowers, max of uppers).
    void merge(const AABB& other) noexcept {
        lower_ = P{min_of(lower_[0], other.lower_[0]), min_of(lower_[1], other.lower_[1]), min_of(lower_[2], other.lower_[2])};
        upper_ = P{max_of(upper_[0], other.upper_[0]), max_of(upper_[1], other.upper_[1]), max_of(upper_[2], other.upper_[2])};
    }

    [[nodiscard]] AABB merged(const AABB& other) const noexcept {
        AABB result = *this;
        result.merge(other);
        return result;
    }

    [[nodiscard]] bool intersects(const AABB& other) const noexcept {
        for (std::size_t axis = 0; axis < DIMENSIONS; ++axis) {
            if (!(lower_[axis] <= other.upper_[axis] && upper_[axis] >= other.lower_[axis])) {
                return false;
            }
        }
        return true;
    }

    [[nodiscard]] bool contains_point(const P& p) const noexcept {
        for (std::size_t axis = 0; axis < DIMENSIONS; ++axis) {
            if (!(lower_[axis] <= p[axis] && p[axis] <= upper_[axis])) {
                return false;
            }
        }
        return true;
    }

    // Squared distance from p to the nearest point of the box, 0 inside; summed as
    // (dx² + dy²) + dz², so a degenerate box measures exactly like its point. Each
    // axis inside the box contributes exactly 0, so a point inside needs no test of
    // its own (and the walks call this for every child they meet).
    [[nodiscard, gnu::always_inline]] double distance_2(const P& p) const noexcept {
        double d[DIMENSIONS];
        for (std::size_t axis = 0; axis < DIMENSIONS; ++axis) {
            const double clamped = min_of(upper_[axis], max_of(lower_[axis], p[axis]));
            d[axis] = clamped - p[axis];
        }
        return (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
    }

private:
    AABB(const P& lower, const P& upper) noexcept : lower_(lower), upper_(upper) {}

    // The first operand when it is strictly smaller (larger), else the second.
    [[nodiscard]] static double min_of(double a, double b) noexcept { return a < b ? a : b; }
    [[nodiscard]] static double max_of(double a, double b) noexcept { return a > b ? a : b; }

    P lower_;
    P upper_;
};

}  // namespace sferix::rtree
