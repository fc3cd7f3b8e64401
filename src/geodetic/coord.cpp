#include "geodetic/coord.hpp"

#include <cmath>

namespace sferix::geodetic {

Result<GeodeticCoord> GeodeticCoord::try_new(double lon, double lat) {
    if (!std::isfinite(lon) || !std::isfinite(lat)) {
        return GeodeticError::non_finite();
    }
    // Data that went through a reprojection often lands a few ulps past a bound; that
    // far out is the bound itself, never another place, so it is read as the bound.
    if (!(std::fabs(lon) <= 180.0)) {
        if (!(std::fabs(lon) <= 180.0 + RANGE_SLACK_DEGREES)) {
            return GeodeticError::longitude_out_of_range(lon);
        }
        lon = std::copysign(180.0, lon);
    }
    if (!(std::fabs(lat) <= 90.0)) {
        if (!(std::fabs(lat) <= 90.0 + RANGE_SLACK_DEGREES)) {
            return GeodeticError::latitude_out_of_range(lat);
        }
        lat = std::copysign(90.0, lat);
    }
    return GeodeticCoord(lon, lat);
}

}  // namespace sferix::geodetic
