#pragma once

#include <optional>

#include "geodetic/coord.hpp"
#include "geodetic/error.hpp"
#include "geodetic/unit_vec.hpp"

namespace sferix::geodetic {

// A validated position: its (lon, lat) in degrees as given, and its unit vector.
// Immutable, copyable, safe to read from any thread. Satisfies rtree::PointDistance
// with squared chords as distances.
class GeodeticPoint {
public:
    using PointType = UnitVec;

    // Same checks and order as GeodeticCoord::try_new: NonFinite, then
    // LongitudeOutOfRange, then LatitudeOutOfRange.
    [[nodiscard]] static Result<GeodeticPoint> try_new(double lon, double lat);

    // The point of an already validated coordinate: embed(coord), the same vector
    // try_new gives for the same lon/lat.
    [[nodiscard]] static GeodeticPoint from_coord(const GeodeticCoord& coord) noexcept;

    [[nodiscard]] const GeodeticCoord& coord() const noexcept { return coord_; }
    [[nodiscard]] double lon() const noexcept { return coord_.lon(); }  // degrees, as given
    [[nodiscard]] double lat() const noexcept { return coord_.lat(); }  // degrees, as given
    [[nodiscard]] const UnitVec& vector() const noexcept { return vector_; }  // embed(coord())

    // The degenerate box whose corners are both vector().
    [[nodiscard]] Envelope envelope() const noexcept { return Envelope::from_point(vector_); }

    // |vector() − p|², summed as (dx² + dy²) + dz² with d = vector() − p: bit-equal to
    // envelope().distance_2(p), which the nearest search relies on for ties.
    [[nodiscard]] double distance_2(const UnitVec& p) const noexcept { return norm_2(vector_ - p); }

    // distance_2(p) ≤ 0, i.e. p is exactly this point's vector.
    [[nodiscard]] bool contains_point(const UnitVec& p) const noexcept { return distance_2(p) <= 0.0; }

    // distance_2(p) when it is ≤ max_2 (inclusive), else nothing; the box distance is
    // tested first. A negative or NaN max_2 gives nothing.
    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const UnitVec& p, double max_2) const noexcept;

private:
    GeodeticPoint(const GeodeticCoord& coord, const UnitVec& vector) noexcept : coord_(coord), vector_(vector) {}

    GeodeticCoord coord_;
    UnitVec vector_;
};

}  // namespace sferix::geodetic
