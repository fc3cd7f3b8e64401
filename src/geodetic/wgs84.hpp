#pragma once

// WGS84 geodesics, the one ellipsoid sferix measures on, and the sphere bounds that let
// a WGS84 search walk the sphere's tree and solve the geodesic only where they cannot
// decide.
//
// Accuracy: a WGS84 distance is GeographicLib's inverse solution s12, within about
// 15 nanometres of the true geodesic (its series are exact to round-off for |f| ≤ 0.01).
// Every decision taken on the sphere instead (a candidate dropped, a point accepted
// unmeasured, a subtree skipped) is proved below for that error and for the chord
// conversion's (below a micrometre up to thousands of kilometres, about 1e-8 of the
// distance beyond, at most about 0.4 m next to the antipode), so a WGS84 query answers
// exactly what a geodesic scan of every point answers. Nothing GeographicLib throws gets
// out of here: the predefined WGS84 object needs no check.
//
// Why the sphere bounds the geodesic (great-circle metres g on the sphere of
// EARTH_RADIUS_METRES = R, geodesic metres s on WGS84 (a, f), b = (1 − f)·a, the same
// geodetic latitude and longitude on both): the map from the sphere to the ellipsoid
// multiplies the line element R²(dφ² + cos²φ dλ²) into M²dφ² + N²cos²φ dλ², where the
// radii of curvature M (meridian) and N (prime vertical) lie between b²/a and a²/b.
// So any curve's length changes by a factor in [u, v] = [b²/a/R, a²/b/R]
// (0.99442 and 1.00449), within [1 − ε, 1 + ε] for ε the larger deviation of the two
// from 1; mapping the shortest path either way gives (1 − ε)·g ≤ s ≤ (1 + ε)·g.

#include "geodetic/distance.hpp"

namespace sferix::geodetic {

// WGS84 equatorial radius (metres) and flattening.
inline constexpr double WGS84_A = 6378137.0;
inline constexpr double WGS84_F = 1 / 298.257223563;  // the double 0.0033528106647474805

// The geodesic metres on WGS84 between (lon1, lat1) and (lon2, lat2), degrees,
// longitude first; it reduces longitudes and handles poles and nearly antipodal points
// itself. Same point twice: 0; one degree along the equator: ~111.319 km; one degree of
// meridian at the equator: ~110.574 km; equatorial antipodes: half a meridian,
// ~20003.93 km (shorter than half the equator).
// REQUIRES: validated coordinates (finite, lon in [-180, 180], lat in [-90, 90]).
[[nodiscard]] double geodesic_distance_wgs84(double lon1, double lat1, double lon2, double lat2) noexcept;

namespace wgs84_detail {
inline constexpr double B = (1.0 - WGS84_F) * WGS84_A;
inline constexpr double U = B * B / WGS84_A / EARTH_RADIUS_METRES;
inline constexpr double V = WGS84_A * WGS84_A / B / EARTH_RADIUS_METRES;
inline constexpr double EPSILON = V - 1.0 > 1.0 - U ? V - 1.0 : 1.0 - U;
}  // namespace wgs84_detail

// Bounds k and K on s/g, with a margin of ε·g that absorbs the chord conversion's
// rounding and GeographicLib's nanometres: k = 1 − 2ε, K = 1 + 2ε. Nearest searches
// skip what lies beyond the best geodesic so far divided by k.
inline constexpr double WGS84_SPHERE_LOWER_BOUND = 1.0 - (wgs84_detail::EPSILON + wgs84_detail::EPSILON);
inline constexpr double WGS84_SPHERE_UPPER_BOUND = 1.0 + (wgs84_detail::EPSILON + wgs84_detail::EPSILON);
static_assert(WGS84_SPHERE_LOWER_BOUND == 0.9888339590090727 && WGS84_SPHERE_UPPER_BOUND == 1.0111660409909273);

// The stretch itself, for decisions that only save work (the radius query without
// distances): [u, v], each widened by a relative TIGHT_STRETCH_MARGIN that, with
// WGS84_SLACK_METRES, absorbs the chord conversion's error (the margin is 20 m next to
// the antipode, where that error is largest).
inline constexpr double TIGHT_STRETCH_MARGIN = 1e-6;
struct StretchBounds {
    double lower;
    double upper;
};
inline constexpr StretchBounds WGS84_TIGHT_STRETCH{wgs84_detail::U * (1.0 - TIGHT_STRETCH_MARGIN),
                                                   wgs84_detail::V * (1.0 + TIGHT_STRETCH_MARGIN)};

// Added to the sphere radii below so that rounding in the sphere conversion (far below a
// millimetre at any Earth distance) cannot drop a point whose geodesic distance equals
// the radius.
inline constexpr double WGS84_SLACK_METRES = 0.001;

// The sphere radius (metres) the measured radius query pre-filters with: no point within
// radius_metres geodesic metres lies beyond it. radius / k + slack.
[[nodiscard]] double wgs84_prefilter_radius_metres(double radius_metres) noexcept;

// The sphere radius (metres) within which every point is certainly within radius_metres
// geodesic metres: (radius − slack) / upper, or 0 (accept nothing unmeasured) when that
// is not positive. Proof that no point so accepted has a computed geodesic distance d
// above the radius r: its great-circle metres are at most A = (r − slack)/upper plus the
// chord conversion's error e, so
// d ≤ v·(A + e) + 15 nm ≤ (r − slack)/(1 + margin) + 1.0045·e + 15 nm
//   ≤ r − slack − margin·r/2 + 1.0045·e + 15 nm,
// and slack + margin·r/2 exceeds 1.0045·e + 15 nm at every distance.
[[nodiscard]] double wgs84_accept_radius_metres(double radius_metres) noexcept;

// The sphere radius beyond which every point is certainly farther than radius_metres
// geodesic metres: radius / lower + slack. Within the pre-filter radius, which it never
// exceeds; proof as for the accept radius, with d ≥ u·(g − e) − 15 nm.
[[nodiscard]] double wgs84_reject_radius_metres(double radius_metres) noexcept;

}  // namespace sferix::geodetic
