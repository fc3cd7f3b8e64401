#pragma once

#include <cstddef>
#include <span>

#include "geodetic/edge_index.hpp"
#include "geodetic/unit_vec.hpp"
#include "predicates/orient3d.hpp"

// Crossing counts of a great-circle path against chains of edges, decided by exact
// orientation signs only: the parity rule behind polygon containment.

namespace sferix::geodetic {

[[nodiscard]] inline predicates::Vector3 as_vector3(const UnitVec& v) noexcept { return {v.x, v.y, v.z}; }

// The side of the r–p great circle a vertex counts as on: a vertex exactly on it counts
// as displaced infinitesimally toward r × p. Displacing every such vertex alike is a
// deformation of the rings too small to move r or p (both at a positive distance from
// the boundary) across it, and the displaced vertices lie off the circle; the other
// signs of the crossing test keep their values under it unless they are zero, which
// for a displaced vertex A needs A = ±p or A = ±r. So a path through a vertex counts a
// crossing exactly when it passes from one side of the boundary to the other there.
[[nodiscard]] int path_side(const predicates::Vector3& r, const predicates::Vector3& p,
                            const predicates::Vector3& v) noexcept;

// The number of edges of `chain` that the great-circle path from r to p crosses, each
// decided by exact signs only (the four-sign test of two short arcs), with vertices on
// the r–p circle displaced by path_side. An edge with p exactly on its own great circle
// counts as no crossing.
[[nodiscard]] std::size_t count_crossings(std::span<const UnitVec> chain, const predicates::Vector3& r,
                                          const predicates::Vector3& p) noexcept;

// What one pass over a chain tells about p: count_crossings from r to p, and whether p
// is clear of every edge's great circle.
struct ChainScan {
    std::size_t crossings;
    // Every edge (a, b) has |det[a; b; p]| > EDGE_CLEARANCE_DET, proven from the
    // floating-point determinant and its error bound. False as soon as one edge has
    // zero length (a = b, determinant 0) or passes within that margin of p.
    bool clear_of_edges;
};

// The determinant margin scan_chain proves. For unit vectors det[a; b; p] = (p − a) ·
// (a × b), so at least this far from every edge circle p is also this far (in chord)
// from every vertex: about 6 µm on Earth.
inline constexpr double EDGE_CLEARANCE_DET = 1e-12;

// count_crossings(chain, r, p) together with the clearance of p from every edge
// circle, in one pass: the signs are the same exact signs. REQUIRES: r, p unit vectors
// (norms within 1e-14 of 1), as are the chain's vertices.
[[nodiscard]] ChainScan scan_chain(std::span<const UnitVec> chain, const UnitVec& r, const UnitVec& p) noexcept;

// Whether a and b point in exactly opposite directions (a × b exactly zero, a · b < 0).
[[nodiscard]] bool are_antiparallel(const UnitVec& a, const UnitVec& b) noexcept;

// A box holding every point of the shorter great-circle arc from s to t, with
// BOX_MARGIN to spare: for s · t > 0 the box of s, t and the meeting point of the
// tangents at s and t, (s + t)/(1 + s · t), a triangle that holds the arc; otherwise
// the box of the whole sphere. REQUIRES: s, t unit vectors.
[[nodiscard]] Envelope short_arc_box(const UnitVec& s, const UnitVec& t) noexcept;

struct PathCrossings {
    std::size_t count;        // crossings of the path, as count_crossings counts them
    bool end_on_edge_circle;  // t exactly on the great circle of an edge whose run box holds t
};

// count_crossings from s to t summed over every chain of the index, looking only at the
// runs whose boxes meet short_arc_box(s, t) and the plane of s and t. The count is the
// full sum exactly: an edge the four-sign test counts crosses the path (once its
// vertices on the path's circle are displaced, by an amount that tends to zero) at a
// point of the path, which lies in the path's box and plane and, in the limit, on the
// edge, so in the edge's run box. end_on_edge_circle is set whenever t lies on an edge
// (t = a vertex included), and may be set for t merely on an edge's great circle.
// REQUIRES: s, t unit vectors, not antiparallel.
[[nodiscard]] PathCrossings count_crossings_near(const EdgeIndex& index, const ChainSource& chains,
                                                 const UnitVec& s, const UnitVec& t) noexcept;

// Whether p lies exactly on the great circle of an edge whose run box holds p:
// count_crossings_near(index, chains, p, p).end_on_edge_circle, without the path, whose
// sides for a path from p to itself are all exactly zero and so cost the exact stage.
[[nodiscard]] bool on_edge_circle_near(const EdgeIndex& index, const ChainSource& chains, const UnitVec& p) noexcept;

}  // namespace sferix::geodetic
