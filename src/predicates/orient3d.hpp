#pragma once

#include <array>

namespace sferix::predicates {

using Vector3 = std::array<double, 3>;

// The exact sign of det[a; b; c] = a · (b × c): the orientation of a, b, c seen from
// the origin (the fourth point of orient3d is the origin). Returns +1, −1, or 0 only
// when the determinant of the given doubles is exactly zero.
// Properties: swapping any two arguments negates the sign; a cyclic shift keeps it;
// a repeated argument gives 0.
// REQUIRES: finite inputs. A fast floating-point filter with a proven error bound
// decides almost every call; the rest are settled in exact expansion arithmetic.
[[nodiscard]] int orient3d_sign(const Vector3& a, const Vector3& b, const Vector3& c) noexcept;

}  // namespace sferix::predicates
