#pragma once

#include "geodetic/coord.hpp"
#include "geodetic/unit_vec.hpp"

namespace sferix::geodetic {

// Degrees to radians, π/180 as a double; applied by one multiplication.
inline constexpr double RADIANS_PER_DEGREE = 0.017453292519943295;

// The unit vector of (lon, lat) in degrees: (cos φ cos λ, cos φ sin λ, sin φ), not
// renormalised. Every spelling of one place gives the same vector: lat exactly 90 or -90
// gives exactly (0, 0, ±1) whatever lon, and lon -180 embeds as lon 180; so identical
// places are at squared chord 0 and ties between them go by position. Every other
// (lon, lat) takes the formula as it stands. The raw overload serves queries that
// checked finiteness only.
[[nodiscard]] UnitVec embed(double lon, double lat) noexcept;
[[nodiscard]] inline UnitVec embed(const GeodeticCoord& coord) noexcept { return embed(coord.lon(), coord.lat()); }

}  // namespace sferix::geodetic
