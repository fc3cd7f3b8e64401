#include "geodetic/point.hpp"

#include "geodetic/embedding.hpp"

namespace sferix::geodetic {

Result<GeodeticPoint> GeodeticPoint::try_new(double lon, double lat) {
    auto coord = GeodeticCoord::try_new(lon, lat);
    if (!coord) {
        return coord.error();
    }
    return from_coord(coord.value());
}

GeodeticPoint GeodeticPoint::from_coord(const GeodeticCoord& coord) noexcept { return GeodeticPoint(coord, embed(coord)); }

std::optional<double> GeodeticPoint::distance_2_if_less_or_equal(const UnitVec& p, double max_2) const noexcept {
    // The box test mirrors what the tree does for every leaf; for this degenerate box
    // it measures the same value as distance_2.
    if (envelope().distance_2(p) > max_2) {
        return std::nullopt;
    }
    const double measured_2 = distance_2(p);
    if (max_2 >= measured_2) {
        return measured_2;
    }
    return std::nullopt;
}

}  // namespace sferix::geodetic
