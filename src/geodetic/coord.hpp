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
// lat in [-90, 90], ends included. Values are kept exactly as given, but for those
// within RANGE_SLACK_DEGREES past a bound, which become the bound: -180 and 180 stay
// distinct and -0.0 stays -0.0; nothing is wrapped or normalised.
class GeodeticCoord {
public:
    // How far past ±180 or ±90 a value still reads as the bound (about 0.1 mm on Earth).
    static constexpr double RANGE_SLACK_DEGREES = 1e-9;

    // Checks, in order: either value NaN or infinite -> NonFinite; |lon| > 180 +
    // RANGE_SLACK_DEGREES -> LongitudeOutOfRange(lon); |lat| > 90 + RANGE_SLACK_DEGREES
    // -> LatitudeOutOfRange(lat). A value past its bound by no more than the slack is
    // replaced by the bound of its sign.
    [[nodiscard]] static Result<GeodeticCoord> try_new(double lon, double lat);

    [[nodiscard]] double lon() const noexcept { return lon_; }  // degrees
    [[nodiscard]] double lat() const noexcept { return lat_; }  // degrees

private:
    GeodeticCoord(double lon, double lat) : lon_(lon), lat_(lat) {}

    double lon_;
    double lat_;
};

}  // namespace sferix::geodetic
