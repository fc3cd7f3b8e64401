#pragma once

#include <memory>

#include <GeographicLib/Geodesic.hpp>

// The thin layer over GeographicLib's inverse geodesic problem. Nothing GeographicLib
// throws gets out of here: the ellipsoid parameters are checked before an object is
// built, and the predefined WGS84 object needs no check.

namespace sferix::geodetic {

// WGS84 equatorial radius (metres) and flattening, as the Python layer passes them.
inline constexpr double WGS84_A = 6378137.0;
inline constexpr double WGS84_F = 1 / 298.257223563;  // the double 0.0033528106647474805

// A read-only geodesic object; shared by any number of threads.
using GeodesicHandle = std::shared_ptr<const GeographicLib::Geodesic>;

// The geodesic object of the ellipsoid with equatorial radius a (metres) and flattening
// f (0 gives a sphere of radius a, negative f a prolate ellipsoid):
//  - a and f bit-for-bit equal to WGS84_A and WGS84_F: GeographicLib's predefined
//    GeographicLib::Geodesic::WGS84() (a function-local static in GeographicLib, so
//    created once per process, thread-safely, on first use), held without ownership;
//  - otherwise a new object owned by the handle, even if a or f differ in the last bit;
//  - an ellipsoid GeographicLib would refuse (a not finite or ≤ 0, f not finite or
//    ≥ 1, or (1 − f)·a not finite or ≤ 0): an empty handle; callers treat it as
//    "no result".
[[nodiscard]] GeodesicHandle geoid_for(double a, double f);

// The length in metres of the shortest geodesic on geod's ellipsoid between (lon1, lat1)
// and (lon2, lat2), degrees, longitude first. GeographicLib's inverse solution s12,
// unchanged; it reduces longitudes and handles poles and nearly antipodal points itself.
// REQUIRES: validated coordinates (finite, lon in [-180, 180], lat in [-90, 90]).
[[nodiscard]] double geodesic_metres(const GeographicLib::Geodesic& geod, double lon1, double lat1, double lon2,
                                     double lat2) noexcept;

// geodesic_metres on the WGS84 ellipsoid. Same point twice: 0; one degree along the
// equator: ~111.319 km; one degree of meridian at the equator: ~110.574 km; equatorial
// antipodes: half a meridian, ~20003.93 km (shorter than half the equator).
[[nodiscard]] double geodesic_distance_wgs84(double lon1, double lat1, double lon2, double lat2) noexcept;

}  // namespace sferix::geodetic
