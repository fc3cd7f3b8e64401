#pragma once

// The sphere search that narrows an ellipsoid radius query: a great-circle radius
// large enough that no point within the geodesic radius on the ellipsoid falls
// outside it, so the geodesic inverse runs only for the sphere's candidates.

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

// The sphere radius (metres) that the ellipsoid query pre-filters with:
// radius / sphere_lower_bound_factor(a, f) + ELLIPSOID_SLACK_METRES. When the factor
// is not positive (an ellipsoid so flat that the sphere bounds nothing) it is
// +infinity, so every point becomes a candidate and the exact test alone decides.
[[nodiscard]] double ellipsoid_prefilter_radius_metres(double radius_metres, double a, double f) noexcept;

}  // namespace sferix::geodetic
