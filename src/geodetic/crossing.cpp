#include "geodetic/crossing.hpp"

#include "geodetic/arc.hpp"

namespace sferix::geodetic {

namespace {

int orient(const predicates::Vector3& a, const predicates::Vector3& b, const predicates::Vector3& c) noexcept {
    return predicates::orient3d_sign(a, b, c);
}

}  // namespace

int path_side(const predicates::Vector3& r, const predicates::Vector3& p, const predicates::Vector3& v) noexcept {
    const int side = orient(r, p, v);
    return side == 0 ? 1 : side;
}

std::size_t count_crossings(std::span<const UnitVec> chain, const predicates::Vector3& r,
                            const predicates::Vector3& p) noexcept {
    std::size_t crossings = 0;
    if (chain.empty()) {
        return crossings;
    }
    // The side of each vertex is computed once: the end of edge k is the start of edge k + 1.
    predicates::Vector3 a = as_vector3(chain[0]);
    int g = path_side(r, p, a);
    for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
        const predicates::Vector3 b = as_vector3(chain[k + 1]);
        const int h = path_side(r, p, b);
        if (g * h < 0 && orient(a, b, p) == g && orient(a, b, r) == -g) {
            ++crossings;
        }
        a = b;
        g = h;
    }
    return crossings;
}

bool are_antiparallel(const UnitVec& a, const UnitVec& b) noexcept {
    if (!(dot(a, b) < 0.0)) {
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

}  // namespace sferix::geodetic
