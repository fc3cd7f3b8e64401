#include "geodetic/embedding.hpp"

#include <cmath>

namespace sferix::geodetic {

UnitVec embed(double lon, double lat) noexcept {
    const double lambda = lon * RADIANS_PER_DEGREE;
    const double phi = lat * RADIANS_PER_DEGREE;
    const double sin_phi = std::sin(phi);
    const double cos_phi = std::cos(phi);
    const double sin_lambda = std::sin(lambda);
    const double cos_lambda = std::cos(lambda);
    return {cos_phi * cos_lambda, cos_phi * sin_lambda, sin_phi};
}

}  // namespace sferix::geodetic
