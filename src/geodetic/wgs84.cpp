#include "geodetic/wgs84.hpp"

#include <GeographicLib/Geodesic.hpp>

namespace sferix::geodetic {

double geodesic_distance_wgs84(double lon1, double lat1, double lon2, double lat2) noexcept {
    // GeographicLib's predefined object: a function-local static, made once per process,
    // thread-safely, on first use. It takes latitude first.
    double s12 = 0.0;
    GeographicLib::Geodesic::WGS84().Inverse(lat1, lon1, lat2, lon2, s12);
    return s12;
}

double wgs84_prefilter_radius_metres(double radius_metres) noexcept {
    return radius_metres / WGS84_SPHERE_LOWER_BOUND + WGS84_SLACK_METRES;
}

double wgs84_accept_radius_metres(double radius_metres) noexcept {
    const double accept = (radius_metres - WGS84_SLACK_METRES) / WGS84_TIGHT_STRETCH.upper;
    return accept > 0.0 ? accept : 0.0;
}

double wgs84_reject_radius_metres(double radius_metres) noexcept {
    return radius_metres / WGS84_TIGHT_STRETCH.lower + WGS84_SLACK_METRES;
}

}  // namespace sferix::geodetic
