#pragma once

namespace sferix::geodetic {

// A longitude window in degrees, bounds inclusive: [w, e] when w ≤ e, else the window
// across the antimeridian, [w, 180] ∪ [−180, e]. contains() takes the longitude as
// given, so 180 and −180 are different values here; callers that treat them as one
// meridian test both. A NaN bound or longitude makes contains() false.
struct LonWindow {
    double w;
    double e;

    [[nodiscard]] constexpr bool contains(double lon) const noexcept {
        if (w <= e) {
            return w <= lon && lon <= e;
        }
        return w <= lon || lon <= e;
    }
};

}  // namespace sferix::geodetic
