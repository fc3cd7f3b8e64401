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

// The smallest 3-D box containing the unit vectors of every position of the
// longitude/latitude rectangle with corners (w, s) and (e, n), degrees, widened by
// BOX_MARGIN (1e-12) on every side. w ≤ e is the window [w, e]; w > e crosses the
// antimeridian and holds [w, 180] and [-180, e]. Each axis is the exact extent: e.g.
// x reaches 1 when the window holds lon 0 and the band [s, n] holds the equator, and
// s = n = 90 collapses to the pole. REQUIRES: validated corners; s ≤ n (for s > n the
// box is unspecified, and the query that uses it reports nothing then). Never fails.
[[nodiscard]] Envelope rectangle_bounding_box(double w, double s, double e, double n) noexcept;

}  // namespace sferix::geodetic
