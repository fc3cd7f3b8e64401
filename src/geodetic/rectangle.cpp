#include "geodetic/rectangle.hpp"

#include <algorithm>
#include <cmath>

#include "geodetic/arc.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/lon_window.hpp"

namespace sferix::geodetic {

namespace {

struct Range {
    double min;
    double max;
};

// The range of factor·trig over factor in `factor`, trig in `trig`, factor ≥ 0: the
// smallest and largest of the four corner products.
Range product_range(const Range& factor, const Range& trig) noexcept {
    const double p1 = factor.min * trig.min;
    const double p2 = factor.min * trig.max;
    const double p3 = factor.max * trig.min;
    const double p4 = factor.max * trig.max;
    return {std::min({p1, p2, p3, p4}), std::max({p1, p2, p3, p4})};
}

}  // namespace

Envelope rectangle_bounding_box(double w, double s, double e, double n) noexcept {
    const LonWindow window{w, e};
    const double cos_w = std::cos(w * RADIANS_PER_DEGREE);
    const double sin_w = std::sin(w * RADIANS_PER_DEGREE);
    const double cos_e = std::cos(e * RADIANS_PER_DEGREE);
    const double sin_e = std::sin(e * RADIANS_PER_DEGREE);
    const double cos_s = std::cos(s * RADIANS_PER_DEGREE);
    const double sin_s = std::sin(s * RADIANS_PER_DEGREE);
    const double cos_n = std::cos(n * RADIANS_PER_DEGREE);
    const double sin_n = std::sin(n * RADIANS_PER_DEGREE);

    // Each extreme of cos λ and sin λ is reached inside the window when the window holds
    // the longitude where it occurs; otherwise it is at one of the window's ends.
    const Range cos_lon{window.contains(180.0) || window.contains(-180.0) ? -1.0 : std::min(cos_w, cos_e),
                        window.contains(0.0) ? 1.0 : std::max(cos_w, cos_e)};
    const Range sin_lon{window.contains(-90.0) ? -1.0 : std::min(sin_w, sin_e),
                        window.contains(90.0) ? 1.0 : std::max(sin_w, sin_e)};
    const Range cos_lat{std::min(cos_s, cos_n), s <= 0.0 && n >= 0.0 ? 1.0 : std::max(cos_s, cos_n)};

    const Range x = product_range(cos_lat, cos_lon);
    const Range y = product_range(cos_lat, sin_lon);
    return Envelope::from_corners(UnitVec{x.min - BOX_MARGIN, y.min - BOX_MARGIN, sin_s - BOX_MARGIN},
                                  UnitVec{x.max + BOX_MARGIN, y.max + BOX_MARGIN, sin_n + BOX_MARGIN});
}

bool lonlat_rectangle_contains(double lon, double lat, double w, double s, double e, double n) noexcept {
    if (lat < s || lat > n) {
        return false;
    }
    if (std::fabs(lat) == 90.0) {
        return true;
    }
    const LonWindow window{w, e};
    if (window.contains(lon)) {
        return true;
    }
    return std::fabs(lon) == 180.0 && window.contains(-lon);
}

}  // namespace sferix::geodetic
