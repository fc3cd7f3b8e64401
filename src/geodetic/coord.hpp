#pragma once

#include "geodetic/error.hpp"

namespace sferix::geodetic {

// An unvalidated (longitude, latitude) pair in degrees, as read from input; the
// geometry constructors check it with GeodeticCoord::try_new.
struct LonLat {
    double lon;
    double lat;
};

// A validated (longitude, latitude) pair in degrees: both finite, lon in [-180, 180],
// lat in [-90, 90], ends included. Values are kept exactly as given: -180 and 180 stay
// distinct and -0.0 stays -0.0; nothing is wrapped or normalised.
class GeodeticCoord {
public:
    // Checks, in order: either value NaN or infinite -> NonFinite; |lon| > 180 ->
    // LongitudeOutOfRange(lon); |lat| > 90 -> LatitudeOutOfRange(lat).
    [[nodiscard]] static Result<GeodeticCoord> try_new(double lon, double lat);

    [[nodiscard]] double lon() const noexcept { return lon_; }  // degrees
    [[nodiscard]] double lat() const noexcept { return lat_; }  // degrees

private:
    GeodeticCoord(double lon, double lat) : lon_(lon), lat_(lat) {}

    double lon_;
    double lat_;
};

}  // namespace sferix::geodetic
