#include "geodetic/crossing.hpp"

#include <cmath>
#include <limits>

#include "geodetic/arc.hpp"

namespace sferix::geodetic {

namespace {

int orient(const predicates::Vector3& a, const predicates::Vector3& b, const predicates::Vector3& c) noexcept {
    return predicates::orient3d_sign(a, b, c);
}

constexpr double UNIT_ROUNDOFF = std::numeric_limits<double>::epsilon() / 2;

// The error bound of orient3d's float filter: each monomial of the determinant passes
// through at most 5 roundings, so |det_fl − det| ≤ γ5 · permanent, and the ≤ 6
// roundings of the permanent and of the product with it raise γ5 = 5u/(1 − 5u) to
// less than (5 + 64u)u. MinorsOf below evaluates det and permanent with exactly the
// filter's operations, in the filter's order, so the bound carries over.
constexpr double FILTER_ERROR_BOUND = (5.0 + 64.0 * UNIT_ROUNDOFF) * UNIT_ROUNDOFF;

// For unit vectors (norms ≤ 1 + 1e-14) the permanent is at most Σ|c_i| · 1 ≤ √3 +
// 1e-13 (each |a_j b_k| + |a_k b_j| ≤ 1 by Cauchy–Schwarz), so the filter's error is
// below 5.01u · 1.7321 < 1e-15: a float determinant beyond EDGE_CLEARANCE_DET plus
// this has a true determinant beyond EDGE_CLEARANCE_DET.
constexpr double CLEARANCE_FILTER_DET = EDGE_CLEARANCE_DET + 1e-15;

// The products and 2×2 minors of a × b: what the filter of orient3d_sign(a, b, c)
// computes once for every c. The filter evaluates det[c; a; b] (a cyclic shift of
// det[a; b; c], so the same value exactly) as c_x m_x + c_y m_y + c_z m_z, summed left
// to right, and its permanent likewise from the products' magnitudes.
struct MinorsOf {
    double ay_bz, az_by, az_bx, ax_bz, ax_by, ay_bx;
    UnitVec m;

    MinorsOf(const UnitVec& a, const UnitVec& b) noexcept
        : ay_bz(a.y * b.z), az_by(a.z * b.y), az_bx(a.z * b.x), ax_bz(a.x * b.z), ax_by(a.x * b.y),
          ay_bx(a.y * b.x), m{ay_bz - az_by, az_bx - ax_bz, ax_by - ay_bx} {}

    // The float determinant det[a; b; c].
    [[nodiscard]] double det(const UnitVec& c) const noexcept { return c.x * m.x + c.y * m.y + c.z * m.z; }

    // orient3d_sign(a, b, c): the filter's answer when it decides, else the exact one.
    [[nodiscard]] int sign(const UnitVec& a, const UnitVec& b, const UnitVec& c) const noexcept {
        return sign(det(c), a, b, c);
    }
    // The same with det_fl = det(c) already computed.
    [[nodiscard]] int sign(double det_fl, const UnitVec& a, const UnitVec& b, const UnitVec& c) const noexcept {
        const double permanent = std::fabs(c.x) * (std::fabs(ay_bz) + std::fabs(az_by)) +
                                 std::fabs(c.y) * (std::fabs(az_bx) + std::fabs(ax_bz)) +
                                 std::fabs(c.z) * (std::fabs(ax_by) + std::fabs(ay_bx));
        const double bound = FILTER_ERROR_BOUND * permanent;
        // Written so that a NaN fails both tests and goes to the exact sign.
        if (det_fl > bound) {
            return 1;
        }
        if (-det_fl > bound) {
            return -1;
        }
        return orient(as_vector3(a), as_vector3(b), as_vector3(c));
    }
};

// count_crossings with the signs from shared minors: r × p's for every vertex's side,
// and each edge's a × b for both of its tests. With Clearance, every edge's
// determinant with p is also checked against CLEARANCE_FILTER_DET.
template <bool Clearance>
ChainScan scan(std::span<const UnitVec> chain, const UnitVec& r, const UnitVec& p) noexcept {
    ChainScan out{0, true};
    if (chain.empty()) {
        return out;
    }
    const MinorsOf path(r, p);
    // path_side: a vertex on the r–p circle counts as on the positive side.
    const auto side = [&](const UnitVec& v) {
        const int s = path.sign(r, p, v);
        return s == 0 ? 1 : s;
    };
    const UnitVec* a = &chain[0];
    int g = side(*a);
    for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
        const UnitVec* b = &chain[k + 1];
        const int h = side(*b);
        if (Clearance || g * h < 0) {
            const MinorsOf edge(*a, *b);
            const double det_p = edge.det(p);
            if constexpr (Clearance) {
                if (!(std::fabs(det_p) > CLEARANCE_FILTER_DET)) {
                    out.clear_of_edges = false;
                }
            }
            if (g * h < 0 && edge.sign(det_p, *a, *b, p) == g && edge.sign(*a, *b, r) == -g) {
                ++out.crossings;
            }
        }
        a = b;
        g = h;
    }
    return out;
}

UnitVec as_unit_vec(const predicates::Vector3& v) noexcept { return {v[0], v[1], v[2]}; }

}  // namespace

int path_side(const predicates::Vector3& r, const predicates::Vector3& p, const predicates::Vector3& v) noexcept {
    const int side = orient(r, p, v);
    return side == 0 ? 1 : side;
}

std::size_t count_crossings(std::span<const UnitVec> chain, const predicates::Vector3& r,
                            const predicates::Vector3& p) noexcept {
    return scan<false>(chain, as_unit_vec(r), as_unit_vec(p)).crossings;
}

ChainScan scan_chain(std::span<const UnitVec> chain, const UnitVec& r, const UnitVec& p) noexcept {
    return scan<true>(chain, r, p);
}

bool are_antiparallel(const UnitVec& a, const UnitVec& b) noexcept {
    if (!(dot(a, b) < 0.0)) {
        return false;
    }
    // Equal exact products round to equal floats, so products that round apart make
    // a nonzero component of a × b: most pairs are told apart without an exact sign.
    if (a.y * b.z != a.z * b.y || a.z * b.x != a.x * b.z || a.x * b.y != a.y * b.x) {
        return false;
    }
    // The components of a × b, exactly: the determinants with the axis vectors.
    const predicates::Vector3 u = as_vector3(a);
    const predicates::Vector3 v = as_vector3(b);
    return orient(u, v, {1.0, 0.0, 0.0}) == 0 && orient(u, v, {0.0, 1.0, 0.0}) == 0 &&
           orient(u, v, {0.0, 0.0, 1.0}) == 0;
}

Envelope short_arc_box(const UnitVec& s, const UnitVec& t) noexcept {
    constexpr double REACH = 1.0 + BOX_MARGIN;
    const double c = dot(s, t);
    if (!(c > 0.0)) {
        return Envelope::from_corners(UnitVec{-REACH, -REACH, -REACH}, UnitVec{REACH, REACH, REACH});
    }
    const UnitVec apex = (s + t) / (1.0 + c);
    Envelope box = Envelope::from_corners(s, t);
    box.merge(Envelope::from_point(apex));
    return Envelope::from_corners(box.lower() - UnitVec{BOX_MARGIN, BOX_MARGIN, BOX_MARGIN},
                                  box.upper() + UnitVec{BOX_MARGIN, BOX_MARGIN, BOX_MARGIN});
}

PathCrossings count_crossings_near(const EdgeIndex& index, const ChainSource& chains, const UnitVec& s,
                                   const UnitVec& t) noexcept {
    const predicates::Vector3 r = as_vector3(s);
    const predicates::Vector3 p = as_vector3(t);
    PathCrossings out{0, false};
    index.for_each_run_near_arc(short_arc_box(s, t), cross(s, t), [&](const EdgeRun& run, const Envelope& run_box) {
        const std::span<const UnitVec> chain = chains(run.chain);
        const bool may_hold_t = run_box.contains_point(t);
        predicates::Vector3 a = as_vector3(chain[run.first]);
        int g = path_side(r, p, a);
        for (std::size_t k = run.first; k < run.end; ++k) {
            const predicates::Vector3 b = as_vector3(chain[k + 1]);
            const int h = path_side(r, p, b);
            if (g * h < 0 && orient(a, b, p) == g && orient(a, b, r) == -g) {
                ++out.count;
            }
            if (may_hold_t && orient(a, b, p) == 0) {
                out.end_on_edge_circle = true;
            }
            a = b;
            g = h;
        }
    });
    return out;
}

bool on_edge_circle_near(const EdgeIndex& index, const ChainSource& chains, const UnitVec& p) noexcept {
    const predicates::Vector3 q = as_vector3(p);
    // A run's box holds p exactly when it meets p's own box.
    return index.any_run_near(Envelope::from_point(p), [&](const EdgeRun& run) {
        const std::span<const UnitVec> chain = chains(run.chain);
        for (std::size_t k = run.first; k < run.end; ++k) {
            if (orient(as_vector3(chain[k]), as_vector3(chain[k + 1]), q) == 0) {
                return true;
            }
        }
        return false;
    });
}

}  // namespace sferix::geodetic
