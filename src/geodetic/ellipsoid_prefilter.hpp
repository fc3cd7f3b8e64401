#pragma once

// The sphere bounds that narrow an ellipsoid radius query: a great-circle radius large
// enough that no point within the geodesic radius on the ellipsoid falls outside it,
// so the geodesic inverse runs only for the sphere's candidates; and one small enough
// that every point inside it is within the geodesic radius, so a query that reports no
// distances accepts those without an inverse.
//
// Why the two factors bound the stretch (great-circle metres g on the sphere of
// EARTH_RADIUS_METRES = R, geodesic metres s on the ellipsoid (a, f), the same
// geodetic latitude and longitude on both): the map from the sphere to the ellipsoid
// multiplies the line element R²(dφ² + cos²φ dλ²) into M²dφ² + N²cos²φ dλ², where the
// radii of curvature M (meridian) and N (prime vertical) lie between b²/a and a²/b.
// So any curve's length changes by a factor in [min(M, N)/R, max(M, N)/R], both
// within [1 − ε, 1 + ε]; mapping the shortest path either way gives
// (1 − ε)·g ≤ s ≤ (1 + ε)·g. The factors below use 2ε, a margin of ε·g that absorbs
// the rounding of the chord conversion and GeographicLib's nanometres.

namespace sferix::geodetic {

// Added to the inflated pre-filter radius of the ellipsoid query so that rounding in
// the sphere conversion (far below a millimetre at any Earth distance) cannot drop a
// point whose geodesic distance equals the radius.
inline constexpr double ELLIPSOID_SLACK_METRES = 0.001;

// A lower bound k on (geodesic metres on the ellipsoid (a, f)) / (great-circle metres
// on the sphere of EARTH_RADIUS_METRES): the ellipsoid's radii of curvature lie
// between b²/a and a²/b, so ε, the larger relative deviation of those two from R,
// bounds the stretch and k = 1 − 2ε. Evaluated in exactly this order: b = (1 − f)·a;
// u = b·b/a/R; v = a·a/b/R; for an oblate ellipsoid or a sphere (u ≤ v)
// ε = max(v − 1, 1 − u), for a prolate one ε = max(u − 1, 1 − v); k = 1 − (ε + ε).
// WGS84 gives exactly 0.9888339590090727. a in metres; no checks (callers have a
// valid ellipsoid).
[[nodiscard]] double sphere_lower_bound_factor(double a, double f) noexcept;

// An upper bound K on the same ratio: K = 1 + (ε + ε), ε as above (the prolate case
// too). WGS84 gives 1.0111660409909273.
[[nodiscard]] double sphere_upper_bound_factor(double a, double f) noexcept;

// The sphere radius (metres) that the ellipsoid query pre-filters with:
// radius / sphere_lower_bound_factor(a, f) + ELLIPSOID_SLACK_METRES. When the factor
// is not positive (an ellipsoid so flat that the sphere bounds nothing) it is
// +infinity, so every point becomes a candidate and the exact test alone decides.
[[nodiscard]] double ellipsoid_prefilter_radius_metres(double radius_metres, double a, double f) noexcept;

// The stretch itself, for decisions that only save work (the ellipsoid query without
// distances): s/g lies in [lower, upper] = [min(u, v), max(u, v)] (u, v as above: the
// extreme radii of curvature over R; WGS84 0.99442 and 1.00449), each widened by a
// relative TIGHT_STRETCH_MARGIN that, with ELLIPSOID_SLACK_METRES, absorbs the chord
// conversion's error e: below a micrometre up to thousands of kilometres, about 1e-8
// of the distance beyond, and at most about 0.4 m next to the antipode, where the
// margin is 20 m. The decisions stand for GeographicLib's values only where those are
// exact to nanometres, its series' range |f| ≤ 0.01 (WGS84: 1/298); flatter ellipsoids
// get [k, K] above, whose margin of ε·g covers more.
inline constexpr double TIGHT_STRETCH_MARGIN = 1e-6;
inline constexpr double TIGHT_STRETCH_MAX_FLATTENING = 0.01;
struct StretchBounds {
    double lower;
    double upper;
};
[[nodiscard]] StretchBounds tight_stretch_bounds(double a, double f) noexcept;

// The sphere radius (metres) within which every point is certainly within
// radius_metres geodesic metres: (radius − ELLIPSOID_SLACK_METRES) / upper, or 0 (accept
// nothing unmeasured) when that is not positive. Proof that no point so accepted has
// a computed geodesic distance d above the radius r: its great-circle metres are at
// most A = (r − slack)/upper plus the chord conversion's error e, so
// d ≤ max(u, v)·(A + e) + 15 nm (GeographicLib's accuracy)
//   ≤ (r − slack)/(1 + margin) + 1.0045·e + 15 nm ≤ r − slack − margin·r/2 + 1.0045·e + 15 nm,
// and slack + margin·r/2 exceeds 1.0045·e + 15 nm at every distance (see above).
[[nodiscard]] double ellipsoid_accept_radius_metres(double radius_metres, double a, double f) noexcept;

// The sphere radius beyond which every point is certainly farther than radius_metres
// geodesic metres: radius / lower + ELLIPSOID_SLACK_METRES (+infinity when lower is
// not positive). Within the pre-filter radius, which it never exceeds; proof as for
// the accept radius, with d ≥ min(u, v)·(g − e) − 15 nm.
[[nodiscard]] double ellipsoid_reject_radius_metres(double radius_metres, double a, double f) noexcept;

}  // namespace sferix::geodetic
