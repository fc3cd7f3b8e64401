#pragma once

#include "geodetic/unit_vec.hpp"

// Great-circle arcs: the edges of linestrings and rings. An arc is the pair (a, b) of
// unit vectors of two consecutive vertices and stands for the shorter great-circle arc
// from a to b. Nothing here stores an arc; the geometries pass their vertex pairs.

namespace sferix::geodetic {

// An edge whose endpoints are at squared chord ≥ this is refused: 3.99999955 is the
// squared chord of an arc of about 179.96 degrees, beyond which the shorter arc between
// (nearly) antipodal points is undefined or numerically unstable.
inline constexpr double MAX_EDGE_SQUARED_CHORD = 3.99999955;

// An arc whose endpoints are at squared chord ≤ this (a chord of 1e-12, about 6 µm on
// Earth) is treated as its two endpoints only: its direction is mostly rounding noise.
inline constexpr double DEGENERATE_ARC_SQUARED_CHORD = 1e-24;

// Added on every side of every arc box, so that rounding in the embedding and the
// extremum formulas never leaves a point of the arc just outside its box.
inline constexpr double BOX_MARGIN = 1e-12;

// Whether (a, b) may form an edge: |a − b|² < MAX_EDGE_SQUARED_CHORD (strictly).
// A repeated vertex (a = b) is admissible; exact antipodes (squared chord 4) and points
// 179.99 degrees apart are not, points 179.9 degrees apart are.
[[nodiscard]] bool is_admissible_edge(const UnitVec& a, const UnitVec& b) noexcept;

// The squared chord (in [0, 4]) from p to the nearest point of the arc from a to b.
// REQUIRES: a, b, p unit vectors; exact up to rounding for arcs shorter than 180
// degrees. The result is 0 for a point on the arc and never exceeds the smaller of the
// squared chords to the endpoints. A degenerate arc (|a − b|² ≤ 1e-24, a = b included)
// measures to its endpoints only. Poles and the antimeridian need no special care.
[[nodiscard]] double arc_distance_2(const UnitVec& a, const UnitVec& b, const UnitVec& p) noexcept;

// A box containing every point of the arc from a to b: the box of the endpoints,
// widened on each axis to the arc's interior extremum when the arc passes it (an arc
// over a pole reaches z = 1, one across lon 0 on the equator reaches x = 1), then
// widened by BOX_MARGIN on every side, for a degenerate arc too.
// REQUIRES: a, b unit vectors, normally an admissible edge.
[[nodiscard]] Envelope arc_bounding_box(const UnitVec& a, const UnitVec& b) noexcept;

}  // namespace sferix::geodetic
