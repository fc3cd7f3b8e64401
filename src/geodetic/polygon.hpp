#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "geodetic/containment_grid.hpp"
#include "geodetic/coord.hpp"
#include "geodetic/edge_index.hpp"
#include "geodetic/error.hpp"
#include "geodetic/unit_vec.hpp"

namespace sferix::geodetic {

// A closed chain of great-circle arcs: at least 3 distinct vertices, the last vertex
// equal to the first. A ring of n stored vertices has n − 1 edges, the last one (the
// closing edge) ending at the repeated first vertex. Immutable, movable.
class GeodeticRing {
public:
    // Checks, the first failure deciding:
    //  1. every pair, in input order, as GeodeticCoord::try_new does;
    //  2. closure: fewer than 2 vertices, or first and last differing in lon or lat by
    //     exact floating comparison (-0.0 equals 0.0; -180 differs from 180):
    //     UnclosedRing;
    //  3. distinct vertices among all but the last (-0.0 equals 0.0): fewer than 3 gives
    //     TooFewPoints(found = that count, need = 3); repeats, consecutive or not, are
    //     otherwise allowed;
    //  4. every edge admissible (is_admissible_edge), else AntipodalEdge(first bad k).
    [[nodiscard]] static Result<GeodeticRing> try_from_lonlat(std::vector<LonLat> pairs);

    // The vertices in input order, closing vertex included, as given.
    [[nodiscard]] const std::vector<GeodeticCoord>& coords() const noexcept { return coords_; }
    // embed() of each vertex, same order and length as coords().
    [[nodiscard]] const std::vector<UnitVec>& vectors() const noexcept { return vectors_; }

private:
    GeodeticRing(std::vector<GeodeticCoord> coords, std::vector<UnitVec> vectors) noexcept;

    std::vector<GeodeticCoord> coords_;
    std::vector<UnitVec> vectors_;
};

// Which of the two regions bounded by the exterior ring a polygon fills.
enum class Fill {
    // The region to the left of the exterior ring (seen from outside the sphere): a
    // counterclockwise exterior bounds the small region it encloses, a clockwise one
    // makes the polygon the rest of the sphere.
    LeftOfExterior,
    // The smaller of the two regions, whatever the ring's direction, as files list
    // exteriors either way. An exterior whose left region is within rounding of a
    // hemisphere (2π steradians) may be taken either way.
    SmallerRegion,
};

// A filled region of the sphere: an exterior ring and any number of holes.
//
// The filled region is the region chosen by Fill, minus the holes: membership is the
// crossing parity, over the edges of all rings, of the great-circle path from a
// reference point whose own side is decided exactly at construction; so a point in a
// hole is outside whatever the hole's orientation, and neither the polygon's width nor
// the vertex a ring starts at changes the answer for a point off the boundary.
// Orientation, nesting and self-crossing are not checked; for rings that cross or
// touch, "left of the exterior" is judged at an exterior vertex where it can be judged
// exactly, trying the broadest corners first. Immutable, movable, safe to read from any thread. Satisfies
// rtree::RTreeObject; distance_2 is 0 inside.
class GeodeticPolygon {
public:
    using PointType = UnitVec;

    // The reference point lies this many radians (about 0.64 m on Earth) to the left of
    // the midpoint of the first exterior edge of non-zero length: far enough for the
    // exact predicate to see it off the edge. Which side of the boundary it is on is
    // decided, not assumed, so it may lie outside a narrow polygon.
    static constexpr double REFERENCE_OFFSET_RADIANS = 1e-7;

    // Never fails (all validation is per ring); the Result is for the callers' uniform
    // error flow. Computes the reference point, its side and the envelope once: linear
    // in the number of edges, up to MAX_REFERENCE_VERTEX_SCANS passes over them for
    // rings with vertices exactly on one great circle. With EdgeIndex::MIN_INDEXED_EDGES
    // edges or more over all rings it also builds an edge index (linear, from the arc
    // boxes the envelope needs anyway) and a containment grid (one short index walk per
    // cell, about one cell per 16 edges), which change no answer, only its cost.
    [[nodiscard]] static Result<GeodeticPolygon> try_new(GeodeticRing exterior, std::vector<GeodeticRing> interiors,
                                                         Fill fill = Fill::LeftOfExterior);

    // try_new without the Result: the rings are the validated parts, so assembling them
    // fails only by running out of memory. For callers that check the rings in one place
    // and assemble in another (a tree checks with the GIL held, assembles without it).
    [[nodiscard]] static GeodeticPolygon from_rings(GeodeticRing exterior, std::vector<GeodeticRing> interiors,
                                                    Fill fill = Fill::LeftOfExterior);

    // How many exterior vertices the exact side test of the reference point may scan
    // all edges for before it gives up (see contains_point's CAVEAT); each scan is
    // linear, so construction stays linear whatever the input.
    static constexpr std::size_t MAX_REFERENCE_VERTEX_SCANS = 16;

    [[nodiscard]] const GeodeticRing& exterior() const noexcept { return exterior_; }
    [[nodiscard]] const std::vector<GeodeticRing>& interiors() const noexcept { return interiors_; }
    // The region rule the polygon was built with, so that a copy rebuilt from its rings
    // fills the same region.
    [[nodiscard]] Fill fill() const noexcept { return fill_; }

    // The box of the whole filled region: the union of the arc boxes of every ring edge
    // (exterior first), extended by each of the six axis points (±1, 0, 0), (0, ±1, 0),
    // (0, 0, ±1) that contains_point accepts; a polygon around a pole thus reaches
    // z = ±1 although no edge does.
    [[nodiscard]] const Envelope& envelope() const noexcept { return envelope_; }

    // Whether p (a unit vector) is in the filled region: the parity of edge crossings
    // on the great-circle path from the reference point to p, each decided by the exact
    // orientation predicate, compared with the reference point's own side. An edge with
    // an endpoint exactly on that path's great circle, or with p exactly on the edge's
    // great circle, is not crossed, so a point on an edge is classified by the
    // crossings before it (on a convex exterior without holes it is inside), and a
    // point whose path passes exactly through a vertex may be misjudged. Degenerate
    // edges never cross. With an edge index, most queries count only the crossings on a
    // short path from a point whose answer was decided at construction by this same
    // rule, and get the same answer (see containment_grid.cpp).
    // CAVEAT: an exterior whose every edge has a zero cross product (all its vertices
    // embed to one vector) bounds no area; such a polygon contains no point. When no
    // exterior vertex can judge the reference point's side exactly within
    // MAX_REFERENCE_VERTEX_SCANS scans (each tried vertex repeated, or with a vertex or
    // the reference point exactly on a great circle through it and another), the
    // reference point counts as left of the exterior. A query exactly antipodal to a
    // vertex, or to the reference point, may be misjudged.
    [[nodiscard]] bool contains_point(const UnitVec& p) const noexcept;

    // 0 when contains_point(p); otherwise the smallest arc_distance_2 from p over every
    // edge of every ring, exterior first. A point in a hole measures to the nearest ring
    // edge, normally the hole's boundary. With an edge index only the edges near p are
    // measured; the result is the same, bit for bit.
    [[nodiscard]] double distance_2(const UnitVec& p) const noexcept;

    // distance_2(p) when it is ≤ bound (inclusive), else nothing; a negative or NaN
    // bound gives nothing. Stops early: with bound 0 outside the polygon, only the edges
    // whose boxes hold p are measured; without an edge index, a bound of at most 1e-30
    // (what radius 0 asks) measures no edge unless p is within about 6 µm of an edge's
    // great circle (see scan_chain).
    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const UnitVec& p, double bound) const noexcept;

    // contains_point(p) by the crossing count over every edge, never through the
    // index: the rule the indexed answer must reproduce, for tests and benchmarks.
    [[nodiscard]] bool contains_point_by_full_count(const UnitVec& p) const noexcept;

    // The point the crossing count starts from (nothing when the exterior has no edge
    // of non-zero length): a query exactly antipodal to it has no path to count along.
    [[nodiscard]] std::optional<UnitVec> reference() const noexcept {
        return has_reference_ ? std::optional<UnitVec>(reference_) : std::nullopt;
    }

    // Whether an edge index serves this polygon's queries.
    [[nodiscard]] bool has_edge_index() const noexcept { return indexed_ != nullptr; }
    // That index (null without one), and the rings as its chains (ring c: the exterior
    // for 0, hole c − 1 after it), for walks that look for the edges near an arc or a
    // box (relate.hpp).
    [[nodiscard]] const EdgeIndex* edge_index() const noexcept { return indexed_ ? &indexed_->edges : nullptr; }
    [[nodiscard]] ChainSource chain_source() const noexcept;

private:
    GeodeticPolygon(GeodeticRing exterior, std::vector<GeodeticRing> interiors, Fill fill);

    // The smallest arc_distance_2 over every ring edge when it is ≤ bound, else some
    // value > bound.
    [[nodiscard]] double edge_distance_2(const UnitVec& p, double bound) const noexcept;

    GeodeticRing exterior_;
    std::vector<GeodeticRing> interiors_;
    // A pure function of the exterior. None (has_reference_ false) when the exterior
    // has no edge of non-zero length.
    UnitVec reference_{};
    // The flags share one word: a polygon of the many small ones is then a 16-byte
    // size class smaller.
    bool has_reference_ = false;
    // Whether reference_ is in the filled region.
    bool reference_inside_ = true;
    Fill fill_;
    // Held by pointer, next to the fields every query reads: small polygons, the many,
    // then pay one null pointer for it, in a cache line they load anyway. Immutable, so
    // copies share it.
    struct Indexed {
        EdgeIndex edges;
        std::optional<ContainmentGrid> grid;
    };
    std::shared_ptr<const Indexed> indexed_;
    Envelope envelope_;
};

}  // namespace sferix::geodetic
