#pragma once

// The squared length of the chord between two unit vectors: the measure every walk
// compares, monotone in the great-circle distance and cheap to compute, converted to
// metres only on the way out. A type of its own so that a squared chord is never
// compared with metres by mistake; it compiles to the bare double.
//
//   const SquaredChord c = SquaredChord::between(a, b);      // |a − b|²
//   const SquaredChord r = SquaredChord::from_metres(10'000.0);
//   if (c <= r) { report(c.metres()); }
//   const SquaredChord wide = c.scaled(1.0 + gap);            // arithmetic: explicit

#include <compare>
#include <limits>

#include "geodetic/distance.hpp"
#include "geodetic/unit_vec.hpp"

namespace sferix::geodetic {

class SquaredChord {
public:
    // 0: the same point.
    constexpr SquaredChord() noexcept = default;

    // A raw squared length (as the tree's distance_2 gives it).
    [[nodiscard]] static constexpr SquaredChord from_raw(double length_2) noexcept { return SquaredChord(length_2); }
    [[nodiscard]] static constexpr SquaredChord between(const UnitVec& a, const UnitVec& b) noexcept {
        return SquaredChord(chord_2(a, b));
    }
    // As metres_to_squared_chord: 0 for m ≤ 0, 4 from π·R on (and for NaN).
    [[nodiscard]] static SquaredChord from_metres(double metres) noexcept {
        return SquaredChord(metres_to_squared_chord(metres));
    }
    // Beyond every chord: a bound that prunes nothing.
    [[nodiscard]] static constexpr SquaredChord infinity() noexcept {
        return SquaredChord(std::numeric_limits<double>::infinity());
    }

    // As squared_chord_to_metres: great-circle metres on the mean sphere.
    [[nodiscard]] double metres() const noexcept { return squared_chord_to_metres(length_2_); }
    // The squared length itself, for the tree's interfaces and for arithmetic.
    [[nodiscard]] constexpr double raw() const noexcept { return length_2_; }
    // The chord whose squared length is this one's times `factor` (≥ 0).
    [[nodiscard]] constexpr SquaredChord scaled(double factor) const noexcept { return SquaredChord(length_2_ * factor); }

    // Ordered as the squared lengths, NaN unordered.
    [[nodiscard]] friend constexpr auto operator<=>(SquaredChord a, SquaredChord b) noexcept = default;

private:
    explicit constexpr SquaredChord(double length_2) noexcept : length_2_(length_2) {}

    double length_2_ = 0.0;
};

}  // namespace sferix::geodetic
