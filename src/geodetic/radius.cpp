#include "geodetic/radius.hpp"

#include <limits>

#include "geodetic/distance.hpp"

namespace sferix::geodetic {

double half_circumference_metres() noexcept {
    // Every radius query asks for it, and the conversion is an asin.
    static const double metres = squared_chord_to_metres(4.0);
    return metres;
}

SphereRadius::SphereRadius(double radius_metres) noexcept : metres_(radius_metres) {
    constexpr double INF = std::numeric_limits<double>::infinity();
    if (radius_metres >= half_circumference_metres()) {
        inner_2_ = INF;
        outer_2_ = INF;
        return;
    }
    const double inner_2 = metres_to_squared_chord(radius_metres * (1.0 - RADIUS_BAND_FRACTION));
    const double outer_2 = metres_to_squared_chord(radius_metres * (1.0 + RADIUS_BAND_FRACTION));
    inner_2_ = inner_2 >= RADIUS_BAND_FLOOR_2 ? inner_2 : 0.0;
    outer_2_ = outer_2 >= 4.0 ? INF : (outer_2 > RADIUS_BAND_FLOOR_2 ? outer_2 : RADIUS_BAND_FLOOR_2);
}

bool SphereRadius::admits(double distance_2) const noexcept {
    if (distance_2 <= inner_2_) {
        return true;
    }
    return distance_2 <= outer_2_ && squared_chord_to_metres(distance_2) <= metres_;
}

}  // namespace sferix::geodetic
