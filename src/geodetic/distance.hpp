#pragma once

namespace sferix::geodetic {

// Mean Earth radius of every spherical metre conversion.
inline constexpr double EARTH_RADIUS_METRES = 6371008.8;
// 2R, used as written so that the conversions give the same bits everywhere.
inline constexpr double EARTH_DIAMETER_METRES = 12742017.6;

// Great-circle metres of a squared chord: 2R·asin(min(1, √max(c, 0) / 2)).
// Negative or NaN input counts as 0; 4 or more gives π·R.
[[nodiscard]] double squared_chord_to_metres(double chord_2) noexcept;

// The squared chord of a great-circle distance: (2 sin(θ/2))², θ = min(m / R, π).
// m ≤ 0 gives 0; π·R or more gives 4. A NaN m also gives 4 (the cap at π is written
// so that NaN fails it), a bound that would accept everything, so callers must
// reject a NaN radius first (the tree queries do).
[[nodiscard]] double metres_to_squared_chord(double metres) noexcept;

}  // namespace sferix::geodetic
