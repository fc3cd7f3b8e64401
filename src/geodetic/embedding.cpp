#include "geodetic/embedding.hpp"

#include <cmath>

namespace sferix::geodetic {

UnitVec embed(double lon, double lat) noexcept {
    // One place, one vector: cos(±π/2 rounded) is 6e-17, not 0, and sin(-π) differs
    // from sin(π) in the last bits, so without these cases a pole or a point on the
    // antimeridian would embed to slightly different vectors for each spelling.
    if (lat == 90.0) {
        return {0.0, 0.0, 1.0};
    }
    if (lat == -90.0) {
        return {0.0, 0.0, -1.0};
    }
    if (lon == -180.0) {
        lon = 180.0;
    }
    const double lambda = lon * RADIANS_PER_DEGREE;
    const double phi = lat * RADIANS_PER_DEGREE;
    const double sin_phi = std::sin(phi);
    const double cos_phi = std::cos(phi);
    const double sin_lambda = std::sin(lambda);
    const double cos_lambda = std::cos(lambda);
    return {cos_phi * cos_lambda, cos_phi * sin_lambda, sin_phi};
}

}  // namespace sferix::geodetic
