#include "geodetic/arc.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace sferix::geodetic {

namespace {

// The arc from a to b is a·cos θ + u·sin θ for θ from 0 to acos(t).
struct ArcFrame {
    double t;   // a·b, the cosine of the arc's angle
    UnitVec u;  // the unit direction of b − t·a, the part of b perpendicular to a
};

// The frame of the arc, or nothing when the arc counts as its two endpoints: squared
// chord ≤ DEGENERATE_ARC_SQUARED_CHORD, or b − t·a exactly zero. A NaN squared chord
// counts as degenerate too (its frame would be all NaN and change no result).
std::optional<ArcFrame> arc_frame(const UnitVec& a, const UnitVec& b) noexcept {
    if (!(chord_2(a, b) > DEGENERATE_ARC_SQUARED_CHORD)) {
        return std::nullopt;
    }
    const double t = dot(a, b);
    const UnitVec w = b - t * a;
    const double w_2 = norm_2(w);
    if (w_2 == 0.0) {
        return std::nullopt;
    }
    return ArcFrame{t, w / std::sqrt(w_2)};
}

}  // namespace

bool is_admissible_edge(const UnitVec& a, const UnitVec& b) noexcept {
    return chord_2(a, b) < MAX_EDGE_SQUARED_CHORD;
}

double arc_distance_2(const UnitVec& a, const UnitVec& b, const UnitVec& p) noexcept {
    const double to_a_2 = chord_2(p, a);
    const double to_b_2 = chord_2(p, b);
    double best_2 = std::min(to_a_2, to_b_2);
    const std::optional<ArcFrame> frame = arc_frame(a, b);
    if (!frame) {
        return best_2;
    }
    const UnitVec normal = cross(a, frame->u);
    const double s = dot(p, normal);
    const UnitVec projected = p - s * normal;
    const double projected_length = norm(cross(p, normal));
    const UnitVec c = cross(a, b);
    if (dot(cross(a, projected), c) >= 0.0 && dot(cross(projected, b), c) >= 0.0) {
        // 2s²/(1 + L) equals 2 − 2L but keeps its precision when p is near the circle.
        best_2 = std::min(best_2, 2.0 * s * s / (1.0 + projected_length));
    }
    return best_2;
}

Envelope arc_bounding_box(const UnitVec& a, const UnitVec& b) noexcept {
    double lo[3] = {std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z)};
    double hi[3] = {std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z)};
    if (const std::optional<ArcFrame> frame = arc_frame(a, b)) {
        // Along the arc this coordinate is a_k cos θ + u_k sin θ = r cos(θ − φ), with
        // cos φ = a_k / r and sin φ = u_k / r, for θ from 0 to the arc's angle, whose
        // cosine is t, at most π. Its maximum r sits at θ = φ, on the arc when sin φ ≥ 0
        // and cos φ ≥ t (the cosine falls over [0, π]); its minimum −r at θ = φ + π,
        // on it when sin φ ≤ 0 and −cos φ ≥ t. No angle is computed: where rounding
        // tips a decision, the extremum lies so near an endpoint that the box moves by
        // far less than BOX_MARGIN.
        const double t = std::clamp(frame->t, -1.0, 1.0);
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const double a_k = a[axis];
            const double u_k = frame->u[axis];
            const double r_2 = a_k * a_k + u_k * u_k;
            if (!(r_2 > 0.0)) {
                continue;
            }
            const double r = std::sqrt(r_2);
            if (u_k >= 0.0 && a_k >= r * t) {
                hi[axis] = std::max(hi[axis], r);
            }
            if (u_k <= 0.0 && -a_k >= r * t) {
                lo[axis] = std::min(lo[axis], -r);
            }
        }
    }
    return Envelope::from_corners(UnitVec{lo[0] - BOX_MARGIN, lo[1] - BOX_MARGIN, lo[2] - BOX_MARGIN},
                                  UnitVec{hi[0] + BOX_MARGIN, hi[1] + BOX_MARGIN, hi[2] + BOX_MARGIN});
}

}  // namespace sferix::geodetic
