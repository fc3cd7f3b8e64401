#pragma once

#include <array>

namespace sferix::predicates {

using Vector3 = std::array<double, 3>;

// The exact sign of det[a; b; c] = a · (b × c): the orientation of a, b, c seen from
// the origin (the fourth point of orient3d is the origin). Returns +1, −1, or 0 only
// when the determinant of the given doubles is exactly zero. For unit vectors, +1 means
// c lies to the left of the great circle from a to b, seen from outside the sphere.
// Properties: swapping any two arguments negates the sign; a cyclic shift keeps it;
// a repeated argument gives 0; o(x, y, −x) = 0 (antipodes lie on every great circle
// through x); det[e_x; e_y; e_z] gives +1.
// Poles, the antimeridian and zero components need no special care: the result depends
// only on the given doubles.
// REQUIRES: finite inputs, round-to-nearest mode, no fused multiply-add contraction.
// A floating-point filter with a proven error bound decides almost every call; the rest
// are settled exactly by summing the determinant's terms as a floating-point expansion.
// CAVEAT: the result is exact whenever every component is 0 or has magnitude in
// [2^-300, 2^300] (about [4.9e-91, 2.0e90]); this covers all unit vectors whose nonzero
// components exceed 4.9e-91, including near-pole components such as 1e-17 or 1e-33.
// In that range every partial product of the exact path is a multiple of 2^-1056, so none
// loses bits to underflow, and none comes near overflow. Outside it, products that
// underflow or overflow can make the sign wrong.
[[nodiscard]] int orient3d_sign(const Vector3& a, const Vector3& b, const Vector3& c) noexcept;

}  // namespace sferix::predicates
