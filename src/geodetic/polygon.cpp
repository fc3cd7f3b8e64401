#include "geodetic/polygon.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <numbers>
#include <utility>

#include "geodetic/chain.hpp"
#include "geodetic/crossing.hpp"
#include "predicates/orient3d.hpp"
#include "support/panic.hpp"

namespace sferix::geodetic {

namespace {

constexpr std::size_t MIN_DISTINCT_RING_VERTICES = 3;

// Same vertex: lon and lat compare equal, so -0.0 and 0.0 are the same value.
bool same_vertex(const GeodeticCoord& a, const GeodeticCoord& b) noexcept {
    return a.lon() == b.lon() && a.lat() == b.lat();
}

// The number of distinct vertices among all but the last, counted only up to
// MIN_DISTINCT_RING_VERTICES (the exact count matters only below it), so the scan is
// linear and allocation-free however long the ring.
std::size_t count_distinct_open_vertices(const std::vector<GeodeticCoord>& coords) noexcept {
    std::array<const GeodeticCoord*, MIN_DISTINCT_RING_VERTICES> seen{};
    std::size_t count = 0;
    for (std::size_t i = 0; i + 1 < coords.size() && count < seen.size(); ++i) {
        const bool repeat = std::any_of(seen.begin(), seen.begin() + count,
                                        [&](const GeodeticCoord* other) { return same_vertex(*other, coords[i]); });
        if (!repeat) {
            seen[count++] = &coords[i];
        }
    }
    return count;
}

int orient(const predicates::Vector3& a, const predicates::Vector3& b, const predicates::Vector3& c) noexcept {
    return predicates::orient3d_sign(a, b, c);
}

// The point REFERENCE_OFFSET_RADIANS left of the midpoint of the first exterior edge
// whose endpoints have a non-zero cross product. Skipping zero-length edges makes a
// ring with a repeated first vertex classify exactly like the ring without the repeat.
std::optional<UnitVec> reference_point(const std::vector<UnitVec>& exterior) noexcept {
    for (std::size_t k = 0; k + 1 < exterior.size(); ++k) {
        const UnitVec& v0 = exterior[k];
        const UnitVec& v1 = exterior[k + 1];
        const UnitVec normal = cross(v0, v1);
        const double normal_2 = norm_2(normal);
        if (!(normal_2 > 0.0)) {
            continue;
        }
        const UnitVec sum = v0 + v1;
        const UnitVec midpoint = sum / norm(sum);
        const UnitVec left = normal / std::sqrt(normal_2);
        const UnitVec offset = midpoint + GeodeticPolygon::REFERENCE_OFFSET_RADIANS * left;
        return offset / norm(offset);
    }
    return std::nullopt;
}

// Which side of the exterior ring the reference point R is on, decided exactly.
//
// Take an exterior vertex A, the nearest vertices before and after it with other
// vectors, P and B, and the short arc Π from A to R. The answer is exact when:
//   (a) o(A, B, R), o(A, R, P) and o(A, B, P) are all non-zero: the rays from A toward
//       B, R and P are pairwise distinct and not opposite (no spike, no straight turn);
//   (b) exactly two edges of non-zero length, over all rings, have an endpoint equal
//       to A, namely P→A and A→B (A is visited once and touches no other ring);
//   (c) for every other edge C→D with C ≠ D: o(A, R, C) and o(A, R, D) are non-zero,
//       and o(C, D, A) and o(C, D, R) are either both zero or both non-zero.
// Proof. By (b) and (c) no edge but P→A and A→B passes through A (an edge through A
// has o(C, D, A) = 0 while o(C, D, R) ≠ 0), so near A the boundary is the two rays
// toward B and P, distinct by (a); they split a small disc around A into the sector
// swept counterclockwise from AB to AP, which lies left of both edges and so in the
// left region, and the other sector. Π starts into the first sector exactly when the
// ray toward R lies in it: for a convex corner (o(A, B, P) > 0) when R follows B and
// precedes P, o(A, B, R) > 0 and o(A, R, P) > 0; for a reflex corner when it is not in
// the convex complement, o(A, B, R) > 0 or o(A, R, P) > 0. Two short arcs from A on
// different great circles meet nowhere else, so Π meets P→A and A→B only at A. Every
// other edge of non-zero length has both endpoints strictly off Π's great circle by
// (c); if o(C, D, A) = o(C, D, R) = 0, the plane of C and D would hold A and R and so
// C, making o(A, R, C) zero, unless C and D are parallel: such an edge is a point and
// separates nothing. Otherwise A and R are strictly off the edge's great circle, and
// the four-sign test below (the one contains_point uses) decides exactly whether the
// two short arcs cross, at a point interior to both, where the boundary flips the
// region. So R is in the left region iff Π starts in it and crosses an even number of
// edges. Rotating a ring's start moves R but not the regions, so answers off the
// boundary do not change.
// A ring that crosses itself has no single left side: where an arc next to a thin
// spike crosses one of the spike's arcs (generalised coastlines have such spikes, and
// great-circle arcs bow away from the straight lines the data was drawn with), the
// ring has the sliver between the crossing and the tip on its left and the rest of
// the polygon on its right. Vertices are therefore tried broadest corner first, where
// the ring is least likely to be folded; a spike's tip has the sharpest corner of all.
// Returns nullopt when no vertex meets (a) to (c) within MAX_REFERENCE_VERTEX_SCANS
// scans, or when the exterior has fewer than two distinct vectors.
std::optional<bool> reference_left_of_exterior(const UnitVec& reference, const GeodeticRing& exterior,
                                               const std::vector<GeodeticRing>& interiors) {
    const std::vector<UnitVec>& ring = exterior.vectors();
    if (ring.size() < 2) {
        return std::nullopt;
    }
    // The open ring without consecutive repeats (cyclically): each entry's neighbours
    // are its P and B.
    const std::size_t open = ring.size() - 1;  // the closing vertex repeats vertex 0
    std::vector<UnitVec> distinct;
    for (std::size_t i = 0; i < open; ++i) {
        if (ring[i] != ring[(i + open - 1) % open]) {
            distinct.push_back(ring[i]);
        }
    }
    const std::size_t m = distinct.size();
    if (m < 2) {
        return std::nullopt;
    }
    // Broadest corner first: the angle between the rays toward P and B, in [0, π].
    std::vector<std::pair<double, std::size_t>> order;
    order.reserve(m);
    for (std::size_t j = 0; j < m; ++j) {
        const UnitVec& a = distinct[j];
        const UnitVec& b = distinct[(j + 1) % m];
        const UnitVec& p = distinct[(j + m - 1) % m];
        const double corner = std::fabs(std::atan2(dot(a, cross(b, p)), dot(b, p) - dot(a, b) * dot(a, p)));
        order.emplace_back(-corner, j);
    }
    // Taken from a heap, broadest first and equal corners in ring order: the order a
    // stable sort gives, though the first corner or two nearly always decide.
    const auto later = [](const auto& x, const auto& y) { return x.first > y.first || (x.first == y.first && x.second > y.second); };
    std::make_heap(order.begin(), order.end(), later);
    const predicates::Vector3 r = as_vector3(reference);
    std::size_t scans = 0;
    for (auto heap_end = order.end(); heap_end != order.begin(); --heap_end) {
        if (scans >= GeodeticPolygon::MAX_REFERENCE_VERTEX_SCANS) {
            break;
        }
        std::pop_heap(order.begin(), heap_end, later);
        const std::size_t j = (heap_end - 1)->second;
        const UnitVec& a_vec = distinct[j];
        const UnitVec& next = distinct[(j + 1) % m];
        const UnitVec& previous = distinct[(j + m - 1) % m];
        const predicates::Vector3 a = as_vector3(a_vec);
        const predicates::Vector3 b = as_vector3(next);
        const predicates::Vector3 p = as_vector3(previous);
        const int turn = orient(a, b, p);
        const int after_b = orient(a, b, r);
        const int before_p = orient(a, r, p);
        if (turn == 0 || after_b == 0 || before_p == 0) {
            continue;
        }
        ++scans;
        std::size_t touching = 0;
        std::size_t crossings = 0;
        bool exact = true;
        const auto scan = [&](const std::vector<UnitVec>& vectors) {
            for (std::size_t k = 0; exact && k + 1 < vectors.size(); ++k) {
                const UnitVec& c_vec = vectors[k];
                const UnitVec& d_vec = vectors[k + 1];
                if (c_vec == d_vec) {
                    continue;
                }
                if (c_vec == a_vec || d_vec == a_vec) {
                    ++touching;
                    continue;
                }
                const predicates::Vector3 c = as_vector3(c_vec);
                const predicates::Vector3 d = as_vector3(d_vec);
                const int g = orient(a, r, c);
                const int h = orient(a, r, d);
                const int at_a = orient(c, d, a);
                const int at_r = orient(c, d, r);
                if (g == 0 || h == 0 || (at_a == 0) != (at_r == 0)) {
                    exact = false;
                } else if (g * h < 0 && at_r == g && at_a == -g) {
                    ++crossings;
                }
            }
        };
        scan(ring);
        for (const GeodeticRing& hole : interiors) {
            scan(hole.vectors());
        }
        if (!exact || touching != 2) {
            continue;
        }
        const bool starts_left = turn > 0 ? (after_b > 0 && before_p > 0) : (after_b > 0 || before_p > 0);
        return starts_left == (crossings % 2 == 0);
    }
    return std::nullopt;
}

// Whether no edge of non-zero length, over all rings, has p on or within rounding of
// its great circle, so that none passes through p; edges of zero length cross no path.
bool reference_clear_of_edges(const UnitVec& p, const GeodeticRing& exterior,
                              const std::vector<GeodeticRing>& interiors) noexcept {
    const auto clear = [&p](const std::vector<UnitVec>& ring) {
        for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
            if (ring[k] != ring[k + 1] && !(std::abs(dot(cross(ring[k], ring[k + 1]), p)) > PLANE_MARGIN)) {
                return false;
            }
        }
        return true;
    };
    return clear(exterior.vectors()) &&
           std::all_of(interiors.begin(), interiors.end(), [&](const GeodeticRing& ring) { return clear(ring.vectors()); });
}

constexpr double INV_SQRT3 = 0.57735026918962584;
// Directions tried as hemisphere centres and area origins, after the vertex sum.
constexpr std::array<UnitVec, 14> FIXED_DIRECTIONS = {
    UnitVec{1, 0, 0},
    UnitVec{-1, 0, 0},
    UnitVec{0, 1, 0},
    UnitVec{0, -1, 0},
    UnitVec{0, 0, 1},
    UnitVec{0, 0, -1},
    UnitVec{INV_SQRT3, INV_SQRT3, INV_SQRT3},
    UnitVec{INV_SQRT3, INV_SQRT3, -INV_SQRT3},
    UnitVec{INV_SQRT3, -INV_SQRT3, INV_SQRT3},
    UnitVec{INV_SQRT3, -INV_SQRT3, -INV_SQRT3},
    UnitVec{-INV_SQRT3, INV_SQRT3, INV_SQRT3},
    UnitVec{-INV_SQRT3, INV_SQRT3, -INV_SQRT3},
    UnitVec{-INV_SQRT3, -INV_SQRT3, INV_SQRT3},
    UnitVec{-INV_SQRT3, -INV_SQRT3, -INV_SQRT3},
};

// A vertex counts as in the open hemisphere around c when its dot product with c
// exceeds this; the dot product of unit vectors is off by a few 1e-16 at most, so the
// true product is then positive.
constexpr double HEMISPHERE_MARGIN = 1e-12;

// A point antipodal to the centre of an open hemisphere that holds every vertex of
// `ring` (and so, arcs being short, the whole ring) and no vertex exactly at the
// centre; nullopt when neither the vertex sum nor a fixed direction is such a centre.
// That point lies in the part of the sphere the ring leaves whole, so the ring's
// larger region is the one that contains it; a parity test decides that exactly, also
// for a sliver too thin for any area sum to resolve.
std::optional<UnitVec> point_opposite_the_ring(const std::vector<UnitVec>& ring) noexcept {
    UnitVec sum{0, 0, 0};
    for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
        sum = sum + ring[k];
    }
    const auto holds_ring = [&ring](const UnitVec& centre) {
        return std::all_of(ring.begin(), ring.end(), [&centre](const UnitVec& v) {
            return dot(v, centre) > HEMISPHERE_MARGIN && v != centre;
        });
    };
    const double sum_norm = norm(sum);
    if (sum_norm > 0.0 && holds_ring(sum / sum_norm)) {
        return -1.0 * (sum / sum_norm);
    }
    for (const UnitVec& centre : FIXED_DIRECTIONS) {
        if (holds_ring(centre)) {
            return -1.0 * centre;
        }
    }
    return std::nullopt;
}

// Whether the region left of `ring` is larger than a hemisphere, for rings that no
// hemisphere holds. The signed areas of the triangles (O, V_k, V_k+1) over the ring's
// edges sum to that region's area modulo 4π for any O antipodal to no vertex; O is the
// fixed direction farthest from every vertex's antipode, which keeps each triangle's
// area well conditioned. Such a ring is large, so the sum's rounding matters only
// within about 1e-12 sr of a hemisphere, where either answer is allowed. A spike
// (V, W, V) adds two triangle areas of opposite sign that cancel exactly.
bool left_area_exceeds_hemisphere(const std::vector<UnitVec>& ring) noexcept {
    UnitVec origin = FIXED_DIRECTIONS[0];
    double best_2 = -1.0;
    for (const UnitVec& candidate : FIXED_DIRECTIONS) {
        double nearest_2 = 4.0;
        for (const UnitVec& v : ring) {
            nearest_2 = std::min(nearest_2, norm_2(v + candidate));
        }
        if (nearest_2 > best_2) {
            best_2 = nearest_2;
            origin = candidate;
        }
    }
    double total = 0.0;
    for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
        const UnitVec& a = ring[k];
        const UnitVec& b = ring[k + 1];
        // tan(E / 2) = det(O, a, b) / (1 + a·b + b·O + O·a) for a triangle of short arcs
        // (Van Oosterom and Strackee); the denominator is summed symmetrically in a and
        // b, so the reversed edge gives exactly the negated area.
        const double det = dot(origin, cross(a, b));
        const double den = (1.0 + dot(a, b)) + (dot(origin, a) + dot(origin, b));
        total += 2.0 * std::atan2(det, den);
    }
    return std::remainder(total, 4.0 * std::numbers::pi) < 0.0;
}

}  // namespace

Result<GeodeticRing> GeodeticRing::try_from_lonlat(std::vector<LonLat> pairs) {
    auto validated = try_coords_from_lonlat(pairs);
    if (!validated) {
        return validated.error();
    }
    std::vector<GeodeticCoord> coords = std::move(validated).value();
    if (coords.size() < 2 || !same_vertex(coords.front(), coords.back())) {
        return GeodeticError::unclosed_ring();
    }
    const std::size_t distinct = count_distinct_open_vertices(coords);
    if (distinct < MIN_DISTINCT_RING_VERTICES) {
        return GeodeticError::too_few_points(distinct, MIN_DISTINCT_RING_VERTICES);
    }
    std::vector<UnitVec> vectors = embed_all(coords);
    if (const auto bad_edge = first_inadmissible_edge(vectors)) {
        return GeodeticError::antipodal_edge(*bad_edge);
    }
    return GeodeticRing(std::move(coords), std::move(vectors));
}

GeodeticRing::GeodeticRing(std::vector<GeodeticCoord> coords, std::vector<UnitVec> vectors) noexcept
    : coords_(std::move(coords)), vectors_(std::move(vectors)) {}

Result<GeodeticPolygon> GeodeticPolygon::try_new(GeodeticRing exterior, std::vector<GeodeticRing> interiors,
                                                 Fill fill) {
    return from_rings(std::move(exterior), std::move(interiors), fill);
}

GeodeticPolygon GeodeticPolygon::from_rings(GeodeticRing exterior, std::vector<GeodeticRing> interiors, Fill fill) {
    return GeodeticPolygon(std::move(exterior), std::move(interiors), fill);
}

GeodeticPolygon::GeodeticPolygon(GeodeticRing exterior, std::vector<GeodeticRing> interiors, Fill fill)
    : exterior_(std::move(exterior)),
      interiors_(std::move(interiors)),
      fill_(fill),
      envelope_(Envelope::new_empty()) {
    if (const std::optional<UnitVec> reference = reference_point(exterior_.vectors())) {
        reference_ = *reference;
        has_reference_ = true;
    }
    // A point the filled region is known to leave out, when there is one.
    std::optional<UnitVec> outside_point;
    if (has_reference_) {
        const std::optional<UnitVec> far_point =
            fill == Fill::SmallerRegion ? point_opposite_the_ring(exterior_.vectors()) : std::nullopt;
        if (far_point) {
            // The far point lies in the larger region, so outside: whichever side of the
            // exterior the reference point would be judged on, the full count from it
            // to the far point leaves it inside exactly when that count is odd.
            const predicates::Vector3 r = as_vector3(reference_);
            const predicates::Vector3 q = as_vector3(*far_point);
            std::size_t crossings = count_crossings(exterior_.vectors(), r, q);
            for (const GeodeticRing& ring : interiors_) {
                crossings += count_crossings(ring.vectors(), r, q);
            }
            reference_inside_ = crossings % 2 == 1;
            outside_point = far_point;
        } else {
            reference_inside_ = reference_left_of_exterior(reference_, exterior_, interiors_).value_or(true);
            if (fill == Fill::SmallerRegion && left_area_exceeds_hemisphere(exterior_.vectors())) {
                reference_inside_ = !reference_inside_;
            }
        }
    }
    std::vector<std::span<const UnitVec>> chains;
    chains.reserve(1 + interiors_.size());
    chains.emplace_back(exterior_.vectors());
    std::size_t edge_count = 0;
    for (const GeodeticRing& ring : interiors_) {
        chains.emplace_back(ring.vectors());
    }
    for (const std::span<const UnitVec> chain : chains) {
        edge_count += chain.size() < 2 ? 0 : chain.size() - 1;
    }
    SFERIX_ASSERT(edge_count > 0, "a polygon has at least one edge");
    std::optional<EdgeIndex> edges;
    if (edge_count >= EdgeIndex::MIN_INDEXED_EDGES) {
        edges = EdgeIndex::build(chains);
        envelope_ = edges->bounds();
    } else {
        for (const std::span<const UnitVec> chain : chains) {
            merge_arc_boxes(chain, envelope_);
        }
    }
    // The filled region can reach further along an axis than its boundary only at the
    // axis points themselves.
    static constexpr std::array<UnitVec, 6> AXIS_POINTS = {
        UnitVec{1, 0, 0}, UnitVec{-1, 0, 0}, UnitVec{0, 1, 0}, UnitVec{0, -1, 0}, UnitVec{0, 0, 1}, UnitVec{0, 0, -1},
    };
    // No edge comes near the axis points outside the ball round the boundary's box, and
    // what the ball leaves of the sphere is one cap: the full count gives them all one
    // answer, that of any other point there, as long as the count's start is clear of
    // every edge and none of them is its antipode (see containment_grid.cpp, 1 and 2).
    const UnitVec centre = 0.5 * (envelope_.lower() + envelope_.upper());
    const double radius = 0.5 * norm(envelope_.upper() - envelope_.lower()) * (1.0 + 1e-15) + 2.0 * BOX_MARGIN;
    const auto far_from_edges = [&](const UnitVec& v) { return norm(v - centre) > radius; };
    const bool shared = has_reference_ && reference_clear_of_edges(reference_, exterior_, interiors_);
    std::optional<bool> far_answer;
    if (shared && outside_point && far_from_edges(*outside_point) && !are_antiparallel(*outside_point, reference_)) {
        far_answer = false;
    }
    std::array<bool, 6> axis_inside{};
    for (std::size_t k = 0; k < AXIS_POINTS.size(); ++k) {
        if (shared && far_from_edges(AXIS_POINTS[k]) && !are_antiparallel(AXIS_POINTS[k], reference_)) {
            if (!far_answer) {
                far_answer = contains_point_by_full_count(AXIS_POINTS[k]);
            }
            axis_inside[k] = *far_answer;
        } else {
            axis_inside[k] = contains_point_by_full_count(AXIS_POINTS[k]);
        }
        if (axis_inside[k]) {
            envelope_.merge(Envelope::from_point(AXIS_POINTS[k]));
        }
    }
    if (edges) {
        std::optional<ContainmentGrid> grid;
        if (has_reference_) {
            grid = ContainmentGrid::try_build(*edges, chain_source(), edge_count, reference_, reference_inside_,
                                              axis_inside);
        }
        indexed_ = std::make_shared<const Indexed>(Indexed{std::move(*edges), std::move(grid)});
    }
}

ChainSource GeodeticPolygon::chain_source() const noexcept {
    return {this, [](const void* owner, std::uint32_t c) noexcept -> std::span<const UnitVec> {
                const auto& polygon = *static_cast<const GeodeticPolygon*>(owner);
                return c == 0 ? polygon.exterior_.vectors() : polygon.interiors_[c - 1].vectors();
            }};
}

bool GeodeticPolygon::contains_point(const UnitVec& p) const noexcept {
    if (indexed_ && indexed_->grid) {
        if (const std::optional<bool> inside = indexed_->grid->contains(indexed_->edges, chain_source(), p)) {
            return *inside;
        }
    }
    return contains_point_by_full_count(p);
}

bool GeodeticPolygon::contains_point_by_full_count(const UnitVec& p) const noexcept {
    if (!has_reference_) {
        return false;
    }
    const predicates::Vector3 r = as_vector3(reference_);
    const predicates::Vector3 q = as_vector3(p);
    std::size_t crossings = count_crossings(exterior_.vectors(), r, q);
    for (const GeodeticRing& ring : interiors_) {
        crossings += count_crossings(ring.vectors(), r, q);
    }
    return (crossings % 2 == 0) == reference_inside_;
}

double GeodeticPolygon::distance_2(const UnitVec& p) const noexcept {
    if (contains_point(p)) {
        return 0.0;
    }
    return edge_distance_2(p, std::numeric_limits<double>::infinity());
}

double GeodeticPolygon::edge_distance_2(const UnitVec& p, double bound) const noexcept {
    if (indexed_) {
        return indexed_->edges.min_distance_2(p, bound, chain_source());
    }
    double best = chain_distance_2(exterior_.vectors(), p);
    for (const GeodeticRing& ring : interiors_) {
        best = std::min(best, chain_distance_2(ring.vectors(), p));
    }
    return best;
}

// Why a bound this small lets the clearance of scan_chain stand for the edge distances:
// if |det[a; b; p]| > D = EDGE_CLEARANCE_DET (unit vectors, norms within 1e-14 of 1),
// arc_distance_2(a, b, p) as computed is above 1e-30.
//  - Endpoints: det[a; b; p] = (p − a) · (a × b) with |a × b| ≤ 1 + 1e-13, so |p − a|
//    > 0.99 D and chord_2(p, a), a sum of three rounded squares, exceeds 0.98 D²; so
//    for b. A degenerate arc measures only these.
//  - The circle term 2s²/(1 + L): s = p · n with n = a × u, u = w / |w| and w = b − t·a
//    for the rounded t = a · b. In exact arithmetic a × (b − t·a) = a × b whatever t,
//    so the rounding of w (|ω| ≤ u|t·a| + u|w| < 3u, u = 2^-53) only adds a × ω,
//    and s = (det + p · (a × ω)) / (|w|(1 + ζ)) + e, where ζ (the norm and square
//    root, |ζ| < 3u) and e (the division, the cross and the dot product, |e| < 8u)
//    are roundings. As |w| ≤ 1.01, |s| ≥ (D − 4u) / 1.02 − 8u > 0.97 D, and with
//    L ≤ 1.01 the term exceeds 0.9 D² = 9e-25.
// Every rounding term is under 20u ≈ 2.2e-15, four orders below D, so the margins are
// loose on purpose.
constexpr double MAX_CLEARED_BOUND_2 = 1e-30;

std::optional<double> GeodeticPolygon::distance_2_if_less_or_equal(const UnitVec& p, double bound) const noexcept {
    if (!(bound >= 0.0)) {
        return std::nullopt;
    }
    if (bound <= MAX_CLEARED_BOUND_2 && !indexed_ && has_reference_) {
        // Radius 0 on a small polygon: one pass of exact signs gives the containment
        // (contains_point_by_full_count's count) and, for a point off every edge's
        // circle, shows that no edge is within the bound, without measuring any.
        ChainScan scanned = scan_chain(exterior_.vectors(), reference_, p);
        for (const GeodeticRing& ring : interiors_) {
            const ChainScan hole = scan_chain(ring.vectors(), reference_, p);
            scanned.crossings += hole.crossings;
            scanned.clear_of_edges = scanned.clear_of_edges && hole.clear_of_edges;
        }
        if ((scanned.crossings % 2 == 0) == reference_inside_) {
            return 0.0;
        }
        if (scanned.clear_of_edges) {
            return std::nullopt;
        }
    } else if (contains_point(p)) {
        return 0.0;
    }
    const double d = edge_distance_2(p, bound);
    if (d <= bound) {
        return d;
    }
    return std::nullopt;
}

}  // namespace sferix::geodetic
