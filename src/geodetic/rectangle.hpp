#pragma once

#include "geodetic/coord.hpp"
#include "geodetic/unit_vec.hpp"

// Longitude/latitude rectangles, the region of the rectangle query: a coarse 3-D box
// for the tree walk and the exact membership test on stored degrees.

namespace sferix::geodetic {

// The rectangle of a query, from two validated corners in degrees: lower = (w, s)
// and upper = (e, n). Named corners instead of four loose doubles, which are easy
// to swap. w > e crosses the antimeridian; s > n is allowed and holds nothing.
class LonLatRectangle {
public:
    LonLatRectangle(const GeodeticCoord& lower, const GeodeticCoord& upper) noexcept : lower_(lower), upper_(upper) {}

    [[nodiscard]] double west() const noexcept { return lower_.lon(); }
    [[nodiscard]] double south() const noexcept { return lower_.lat(); }
    [[nodiscard]] double east() const noexcept { return upper_.lon(); }
    [[nodiscard]] double north() const noexcept { return upper_.lat(); }

private:
    GeodeticCoord lower_;
    GeodeticCoord upper_;
};

// The smallest 3-D box containing the unit vectors of every position of the
// longitude/latitude rectangle with corners (w, s) and (e, n), degrees, widened by
// BOX_MARGIN (1e-12) on every side. w ≤ e is the window [w, e]; w > e crosses the
// antimeridian and holds [w, 180] and [-180, e]. Each axis is the exact extent: e.g.
// x reaches 1 when the window holds lon 0 and the band [s, n] holds the equator, and
// s = n = 90 collapses to the pole. REQUIRES: validated corners; s ≤ n (for s > n the
// box is unspecified, and the query that uses it reports nothing then). Never fails.
[[nodiscard]] Envelope rectangle_bounding_box(double w, double s, double e, double n) noexcept;

// Whether (lon, lat) lies in the rectangle with corners (w, s) and (e, n), all in
// degrees, bounds inclusive, tested in this order:
//  1. lat < s or lat > n: outside (so s > n holds nothing);
//  2. |lat| = 90: inside (a pole lies in every longitude window);
//  3. W = LonWindow{w, e}, i.e. W(x) is w ≤ x ≤ e when w ≤ e, else x ≥ w or x ≤ e (a
//     window across the antimeridian); W(lon): inside;
//  4. |lon| = 180 and W(−lon): inside (180 and −180 are one meridian);
//  5. otherwise outside.
// lon and lat are the stored, validated input values; nothing is checked (a NaN
// bound makes its comparisons false).
[[nodiscard]] bool lonlat_rectangle_contains(double lon, double lat, double w, double s, double e,
                                             double n) noexcept;

}  // namespace sferix::geodetic
