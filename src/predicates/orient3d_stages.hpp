#pragma once

// The two stages behind orient3d_sign, exposed so that tests can check each on its own.
// Callers outside the predicate and its tests use orient3d_sign.

#include "predicates/orient3d.hpp"

namespace sferix::predicates::stages {

// The sign of det[a; b; c] when the floating-point evaluation's proven error bound
// decides it (+1 or −1), else 0 ("not decided": also for NaN and exactly zero input).
// Same input range as orient3d_sign; never returns a wrong nonzero sign there.
[[nodiscard]] int filtered_sign(const Vector3& a, const Vector3& b, const Vector3& c) noexcept;

// The sign of det[a; b; c] computed exactly as an expansion, for any input in the
// range stated on orient3d_sign.
[[nodiscard]] int exact_sign(const Vector3& a, const Vector3& b, const Vector3& c) noexcept;

}  // namespace sferix::predicates::stages
