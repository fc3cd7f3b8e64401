#include "geodetic/ellipsoid_prefilter.hpp"

#include <cmath>
#include <limits>

#include "geodetic/distance.hpp"

namespace sferix::geodetic {

namespace {

// ε: the larger relative deviation of the extreme radii of curvature from R.
double stretch_epsilon(double a, double f) noexcept {
    constexpr double R = EARTH_RADIUS_METRES;
    const double b = (1.0 - f) * a;
    const double u = b * b / a / R;
    const double v = a * a / b / R;
    // Oblate (u ≤ v): max(v − 1, 1 − u). A prolate ellipsoid swaps the extreme radii;
    // taking them in order keeps the bound a lower one there too.
    const double largest = u > v ? u : v;
    const double smallest = u > v ? v : u;
    const double epsilon = largest - 1.0 > 1.0 - smallest ? largest - 1.0 : 1.0 - smallest;
    return epsilon;
}

}  // namespace

double sphere_lower_bound_factor(double a, double f) noexcept {
    const double epsilon = stretch_epsilon(a, f);
    return 1.0 - (epsilon + epsilon);
}

double sphere_upper_bound_factor(double a, double f) noexcept {
    const double epsilon = stretch_epsilon(a, f);
    return 1.0 + (epsilon + epsilon);
}

double ellipsoid_prefilter_radius_metres(double radius_metres, double a, double f) noexcept {
    const double factor = sphere_lower_bound_factor(a, f);
    if (!(factor > 0.0)) {
        return std::numeric_limits<double>::infinity();
    }
    return radius_metres / factor + ELLIPSOID_SLACK_METRES;
}

StretchBounds tight_stretch_bounds(double a, double f) noexcept {
    if (!(std::abs(f) <= TIGHT_STRETCH_MAX_FLATTENING)) {
        return StretchBounds{sphere_lower_bound_factor(a, f), sphere_upper_bound_factor(a, f)};
    }
    constexpr double R = EARTH_RADIUS_METRES;
    const double b = (1.0 - f) * a;
    const double u = b * b / a / R;
    const double v = a * a / b / R;
    return StretchBounds{(u < v ? u : v) * (1.0 - TIGHT_STRETCH_MARGIN),
                         (u < v ? v : u) * (1.0 + TIGHT_STRETCH_MARGIN)};
}

double ellipsoid_accept_radius_metres(double radius_metres, double a, double f) noexcept {
    const double accept = (radius_metres - ELLIPSOID_SLACK_METRES) / tight_stretch_bounds(a, f).upper;
    return accept > 0.0 ? accept : 0.0;
}

double ellipsoid_reject_radius_metres(double radius_metres, double a, double f) noexcept {
    const double lower = tight_stretch_bounds(a, f).lower;
    if (!(lower > 0.0)) {
        return std::numeric_limits<double>::infinity();
    }
    return radius_metres / lower + ELLIPSOID_SLACK_METRES;
}

}  // namespace sferix::geodetic
