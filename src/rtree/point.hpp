#pragma once

#include <concepts>
#include <cstddef>

namespace sferix::rtree {

// The point type of the tree's 3-D space. Semantic requirements the compiler cannot
// check: p[0], p[1], p[2] are the x, y, z components (finite in every built tree),
// and P{x, y, z} builds the point with those components.
template <typename P>
concept Point3 = std::copyable<P> && requires(const P& p, std::size_t axis) {
    { p[axis] } -> std::convertible_to<double>;
    P{0.0, 0.0, 0.0};
};

inline constexpr std::size_t DIMENSIONS = 3;

}  // namespace sferix::rtree
