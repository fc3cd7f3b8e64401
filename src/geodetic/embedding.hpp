#pragma once

#include "geodetic/coord.hpp"
#include "geodetic/unit_vec.hpp"

namespace sferix::geodetic {

// Degrees to radians, π/180 as a double; applied by one multiplication.
inline constexpr double RADIANS_PER_DEGREE = 0.017453292519943295;

// The unit vector of (lon, lat) in degrees: (cos φ cos λ, cos φ sin λ, sin φ), not
// renormalised. At the poles x and y are tiny, not zero, and lon -180 and 180 differ
// in the last bits of y. The raw overload serves queries that checked finiteness only.
[[nodiscard]] UnitVec embed(double lon, double lat) noexcept;
[[nodiscard]] inline UnitVec embed(const GeodeticCoord& coord) noexcept { return embed(coord.lon(), coord.lat()); }

}  // namespace sferix::geodetic
