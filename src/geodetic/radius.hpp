#pragma once

// A great-circle radius as the tree queries test it. Distances are reported in metres
// converted from squared chords (squared_chord_to_metres), and a radius is the metres a
// caller may have read off such a report, so membership must be decided on those
// metres: a leaf is inside when squared_chord_to_metres(distance_2) ≤ radius. Converting
// the radius to a chord once and comparing chords gets that wrong within a few ulps of
// the boundary (the two conversions do not round-trip), so chords decide everywhere
// except in a thin band around the converted radius, and only there are metres compared.
//
//   const SphereRadius radius(10'000.0);              // metres, ≥ 0, not NaN
//   descend while box_distance_2 ≤ radius.outer_2();  // pruning stays in chords
//   keep leaf when radius.admits(leaf_distance_2);

namespace sferix::geodetic {

// Half the band, as a fraction of the radius, in which metres are compared. Converting
// metres to a squared chord and back is within a few ulps away from the antipode; near
// it asin's slope turns one ulp of chord (at 4) into about 0.2 m. A millionth of the
// radius is 20 m there and far above the ulps elsewhere, and puts about a millionth
// of the candidates through asin.
inline constexpr double RADIUS_BAND_FRACTION = 1e-6;

// Squared chords at or below this are always compared in metres: below the smallest
// normal doubles a chord computed from a radius loses its relative accuracy.
inline constexpr double RADIUS_BAND_FLOOR_2 = 1e-290;

// The longest great-circle distance ever reported: squared_chord_to_metres(4), which
// equals π·EARTH_RADIUS_METRES as Python computes it (20015114.442035925).
[[nodiscard]] double half_circumference_metres() noexcept;

class SphereRadius {
public:
    // REQUIRES: radius_metres ≥ 0 (so not NaN); callers reject the rest first.
    // A radius of half_circumference_metres() or more admits everything (an exact
    // antipode's chord may round above 4).
    explicit SphereRadius(double radius_metres) noexcept;

    [[nodiscard]] double metres() const noexcept { return metres_; }

    // Every admitted squared chord is ≤ this (+infinity for "everything"): the bound
    // for pruning boxes and for distance_2_if_less_or_equal.
    [[nodiscard]] double outer_2() const noexcept { return outer_2_; }

    // squared_chord_to_metres(distance_2) ≤ metres(), decided without the conversion
    // unless distance_2 lies in (inner, outer_2()]. Why the chord answers agree: both
    // conversions are monotone, inner = metres_to_squared_chord(r·(1 − band)) and
    // outer = metres_to_squared_chord(r·(1 + band)), so a chord ≤ inner has metres ≤
    // r·(1 − band) + (round-trip error) ≤ r, and a chord > outer has metres ≥
    // r·(1 + band) − (round-trip error) > r. An outer bound that reaches 4 becomes
    // +infinity, since chords above 4 all report the half circumference and need
    // comparing in metres. A NaN distance_2 is not admitted.
    [[nodiscard]] bool admits(double distance_2) const noexcept;

private:
    double metres_;
    double inner_2_;
    double outer_2_;
};

}  // namespace sferix::geodetic
