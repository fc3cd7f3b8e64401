#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "geodetic/coord.hpp"
#include "geodetic/edge_index.hpp"
#include "geodetic/error.hpp"
#include "geodetic/unit_vec.hpp"

namespace sferix::geodetic {

// The box of a chain of vertices joined by great-circle arcs: the union, edge by edge
// in order, of arc_bounding_box of every edge, so it includes each arc's interior
// extrema and the BOX_MARGIN of every arc box.
// REQUIRES: at least two vectors; fewer is the internal assertion
// "a linestring has at least one edge".
[[nodiscard]] Envelope arc_aware_bounding_box(std::span<const UnitVec> vectors);

class GeodeticLineString;

// A linestring's vertices, validated but not yet assembled into a GeodeticLineString:
// checking needs the input, assembling (the envelope, the edge index) needs neither
// it nor anything that can fail, so the two can run apart (a tree checks with the
// GIL held and assembles after releasing it). Only GeodeticLineString makes one.
// Movable.
class ValidatedLineString {
public:
    // The vertices in input order, as given.
    [[nodiscard]] const std::vector<GeodeticCoord>& coords() const noexcept { return coords_; }

private:
    friend class GeodeticLineString;
    ValidatedLineString(std::vector<GeodeticCoord> coords, std::vector<UnitVec> vectors) noexcept;

    std::vector<GeodeticCoord> coords_;
    std::vector<UnitVec> vectors_;
};

// A validated polyline of at least two vertices, joined by the shorter great-circle
// arcs between consecutive vertices (edge k joins vertex k and vertex k + 1).
// Consecutive duplicates are kept and form degenerate edges. Immutable, movable, safe
// to read from any thread. Satisfies rtree::RTreeObject; distance_2 is the squared
// chord to the nearest point of any edge.
class GeodeticLineString {
public:
    using PointType = UnitVec;

    // Checks, the first failure deciding:
    //  1. every pair, in input order, as GeodeticCoord::try_new does;
    //  2. at least 2 vertices, else TooFewPoints(found = number of pairs, need = 2);
    //  3. every edge admissible (is_admissible_edge), else AntipodalEdge(first bad k).
    [[nodiscard]] static Result<GeodeticLineString> try_from_lonlat(std::vector<LonLat> pairs);

    // The checks of try_from_lonlat, in its order, without assembling.
    [[nodiscard]] static Result<ValidatedLineString> try_validate_lonlat(std::vector<LonLat> pairs);

    // Assembles checked vertices: the envelope, and the edge index for a line of
    // EdgeIndex::MIN_INDEXED_EDGES edges or more (linear in the edges). Fails only by
    // running out of memory; try_from_lonlat(pairs) equals
    // from_validated(try_validate_lonlat(pairs)), bit for bit.
    [[nodiscard]] static GeodeticLineString from_validated(ValidatedLineString vertices);

    // The vertices in input order, as given.
    [[nodiscard]] const std::vector<GeodeticCoord>& coords() const noexcept { return coords_; }
    // embed() of each vertex, same order and length as coords().
    [[nodiscard]] const std::vector<UnitVec>& vectors() const noexcept { return vectors_; }
    // arc_aware_bounding_box(vectors()), computed once at construction.
    [[nodiscard]] const Envelope& envelope() const noexcept { return envelope_; }

    // The smallest arc_distance_2 from p over all edges: 0 on the line (up to
    // rounding), +infinity only for fewer than two vectors (unreachable once built).
    // A line of EdgeIndex::MIN_INDEXED_EDGES edges or more keeps an edge index, built
    // with it, and measures only the edges near p; the result is the same, bit for bit.
    [[nodiscard]] double distance_2(const UnitVec& p) const noexcept;

    // distance_2(p) when it is ≤ bound (inclusive), else nothing; a negative or NaN
    // bound gives nothing. Stops as soon as no edge can be within the bound.
    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const UnitVec& p, double bound) const noexcept;

    // Whether an edge index serves this line's queries.
    [[nodiscard]] bool has_edge_index() const noexcept { return edges_ != nullptr; }
    // That index (null without one), and the line as its one chain, for walks that
    // look for the edges near an arc or a box (relate.hpp).
    [[nodiscard]] const EdgeIndex* edge_index() const noexcept { return edges_.get(); }
    [[nodiscard]] ChainSource chain_source() const noexcept;

private:
    GeodeticLineString(std::vector<GeodeticCoord> coords, std::vector<UnitVec> vectors, const Envelope& envelope,
                       std::shared_ptr<const EdgeIndex> edges) noexcept;

    [[nodiscard]] double edge_distance_2(const UnitVec& p, double bound) const noexcept;

    std::vector<GeodeticCoord> coords_;
    std::vector<UnitVec> vectors_;
    // Null below EdgeIndex::MIN_INDEXED_EDGES edges, so that small lines, the many, stay
    // small; immutable, so copies share it.
    std::shared_ptr<const EdgeIndex> edges_;
    Envelope envelope_;
};

}  // namespace sferix::geodetic
