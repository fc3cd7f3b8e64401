#include "geodetic/coord.hpp"

#include <cmath>

namespace sferix::geodetic {

Result<GeodeticCoord> GeodeticCoord::try_new(double lon, double lat) {
    if (!std::isfinite(lon) || !std::isfinite(lat)) {
        return GeodeticError::non_finite();
    }
    if (!(std::fabs(lon) <= 180.0)) {
        return GeodeticError::longitude_out_of_range(lon);
    }
    if (!(std::fabs(lat) <= 90.0)) {
        return GeodeticError::latitude_out_of_range(lat);
    }
    return GeodeticCoord(lon, lat);
}

}  // namespace sferix::geodetic
