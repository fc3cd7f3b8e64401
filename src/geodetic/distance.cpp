#include "geodetic/distance.hpp"

#include <cmath>
#include <numbers>

namespace sferix::geodetic {

double squared_chord_to_metres(double chord_2) noexcept {
    const double clamped = chord_2 > 0.0 ? chord_2 : 0.0;
    const double half_chord = 0.5 * std::sqrt(clamped);
    const double sine = half_chord > 1.0 ? 1.0 : half_chord;
    return std::asin(sine) * EARTH_DIAMETER_METRES;
}

double metres_to_squared_chord(double metres) noexcept {
    if (metres <= 0.0) {
        return 0.0;
    }
    double angle = metres / EARTH_RADIUS_METRES;
    if (!(angle < std::numbers::pi)) {
        angle = std::numbers::pi;
    }
    const double s = std::sin(angle * 0.5);
    return (s + s) * (s + s);
}

}  // namespace sferix::geodetic
