#include "geodetic/spheroid.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include <GeographicLib/Constants.hpp>

namespace sferix::geodetic {

namespace {

bool same_bits(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The conditions under which GeographicLib's Geodesic constructor throws
// GeographicErr, evaluated as it evaluates them: b = a·(1 − f).
bool is_valid_ellipsoid(double a, double f) noexcept {
    if (!(std::isfinite(a) && a > 0.0) || !(std::isfinite(f) && f < 1.0)) {
        return false;
    }
    const double b = a * (1.0 - f);
    return std::isfinite(b) && b > 0.0;
}

}  // namespace

GeodesicHandle geoid_for(double a, double f) {
    if (same_bits(a, WGS84_A) && same_bits(f, WGS84_F)) {
        // Aliasing an empty owner: the handle points at the static and never frees it.
        return GeodesicHandle(GeodesicHandle(), &GeographicLib::Geodesic::WGS84());
    }
    if (!is_valid_ellipsoid(a, f)) {
        return nullptr;
    }
    try {
        return std::make_shared<const GeographicLib::Geodesic>(a, f);
    } catch (const GeographicLib::GeographicErr&) {
        // Unreachable after the check above; kept so that no GeographicLib exception
        // can ever leave the geometry library.
        return nullptr;
    }
}

double geodesic_metres(const GeographicLib::Geodesic& geod, double lon1, double lat1, double lon2,
                       double lat2) noexcept {
    double s12 = 0.0;
    // GeographicLib takes latitude first.
    geod.Inverse(lat1, lon1, lat2, lon2, s12);
    return s12;
}

double geodesic_distance_wgs84(double lon1, double lat1, double lon2, double lat2) noexcept {
    return geodesic_metres(GeographicLib::Geodesic::WGS84(), lon1, lat1, lon2, lat2);
}

}  // namespace sferix::geodetic
