#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "geodetic/edge_index.hpp"
#include "geodetic/linestring.hpp"
#include "geodetic/polygon.hpp"
#include "geodetic/unit_vec.hpp"

// How two geometries on the sphere lie to each other: whether they share a point,
// whether one holds every point of the other, and how far apart they are.
//
//   const Part a = Part::of(polygon), b = Part::of(line);
//   intersects(a, b);                 // they share at least one point
//   covers(a, b);                     // every point of b is a point of a
//   distance_2_within(a, b, bound_2); // their squared chord, when ≤ bound_2
//
// Every set is closed: a polygon holds its boundary, a linestring its endpoints. Where
// arcs cross, touch or overlap and whether a vertex lies on an arc are decided with the
// exact orientation predicate alone, so shared vertices, collinear overlapping edges, a
// vertex exactly on an edge and polygons touching along an edge come out as the closed
// definitions say. Two rules are not exact: inside a polygon off its boundary is its
// contains_point (exact but for its stated caveats), and where an edge runs between two
// boundary points of a polygon without touching the boundary in between, whether it runs
// inside is asked at the arc's rounded midpoint.
//
// Big geometries (those with an edge index) are looked at only near the other one: the
// edges of the one with fewer edges are walked, the other's index finds the edges near
// each, so two 10^5-edge geometries cost about 10^5 index probes, not 10^10 pairs.

namespace sferix::geodetic {

// Whether p lies on the closed shorter arc from a to b, exactly. A degenerate arc
// (a × b exactly zero) is the one direction of a.
[[nodiscard]] bool on_arc(const UnitVec& a, const UnitVec& b, const UnitVec& p) noexcept;

// Whether the arcs a–b and c–d cross at one point interior to both: the four
// orientation signs, all nonzero, put c and d on opposite sides of a–b's circle and a
// and b on opposite sides of c–d's, at the crossing on both arcs rather than its
// antipode (the four-sign test that count_crossings counts with).
[[nodiscard]] bool arcs_cross(const UnitVec& a, const UnitVec& b, const UnitVec& c, const UnitVec& d) noexcept;

// Whether the closed arcs a–b and c–d share a point: they cross, or an endpoint of one
// lies on the other (which covers touching at a vertex and collinear overlap).
[[nodiscard]] bool arcs_meet(const UnitVec& a, const UnitVec& b, const UnitVec& c, const UnitVec& d) noexcept;

// One part of a geometry, borrowed: a point, a linestring or a polygon. Cheap to copy;
// the geometry must outlive it.
class Part {
public:
    enum class Kind { Point, LineString, Polygon };

    [[nodiscard]] static Part of(const UnitVec& point) noexcept { return Part(Kind::Point, point, nullptr, nullptr); }
    [[nodiscard]] static Part of(const GeodeticLineString& line) noexcept {
        return Part(Kind::LineString, {}, &line, nullptr);
    }
    [[nodiscard]] static Part of(const GeodeticPolygon& polygon) noexcept {
        return Part(Kind::Polygon, {}, nullptr, &polygon);
    }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const UnitVec& point() const noexcept { return point_; }
    [[nodiscard]] const GeodeticLineString& line() const noexcept { return *line_; }
    [[nodiscard]] const GeodeticPolygon& polygon() const noexcept { return *polygon_; }

    [[nodiscard]] Envelope envelope() const noexcept;
    // The chains of vertices: one for a point or a line, the rings of a polygon.
    [[nodiscard]] std::size_t chain_count() const noexcept;
    [[nodiscard]] std::span<const UnitVec> chain(std::size_t c) const noexcept;
    [[nodiscard]] std::size_t edge_count() const noexcept;
    // The part's edge index, null for a point or a geometry too small to keep one.
    [[nodiscard]] const EdgeIndex* edge_index() const noexcept;
    [[nodiscard]] ChainSource chain_source() const noexcept;

    // Whether p is a point of the part: equal to the point, on an edge of the line, in
    // the polygon or on its boundary.
    [[nodiscard]] bool covers_point(const UnitVec& p) const noexcept;
    // Whether p lies exactly on an edge (for a point: is the point).
    [[nodiscard]] bool on_boundary(const UnitVec& p) const noexcept;
    // The squared chord from p to the part (0 inside a polygon).
    [[nodiscard]] double distance_2(const UnitVec& p) const noexcept;

private:
    Part(Kind kind, const UnitVec& point, const GeodeticLineString* line, const GeodeticPolygon* polygon) noexcept
        : kind_(kind), point_(point), line_(line), polygon_(polygon) {}

    Kind kind_;
    UnitVec point_;
    const GeodeticLineString* line_;
    const GeodeticPolygon* polygon_;
};

// Whether a and b share at least one point.
[[nodiscard]] bool intersects(const Part& a, const Part& b) noexcept;

// Whether every point of b is a point of a. A polygon is never covered by a point or a
// line (it has area, they have none).
[[nodiscard]] bool covers(const Part& a, const Part& b) noexcept;

// The smallest squared chord between a point of a and a point of b (0 where they
// intersect) when it is ≤ bound_2, else nothing; a negative or NaN bound gives nothing.
// Off an intersection the nearest pair of two great-circle arcs has an endpoint of one
// of them, so the smallest distance of any vertex of either part to the other part is
// the answer, each measured as the parts' own distance_2 measures it.
[[nodiscard]] std::optional<double> distance_2_within(const Part& a, const Part& b, double bound_2) noexcept;

// Where the points of the sphere inside a box lie with respect to a polygon.
enum class BoxPlace {
    Inside,   // every one in the polygon, off its boundary
    Outside,  // none in the polygon or on its boundary
    Unknown,  // the boundary may pass near the box
};

// The place of the points of the sphere inside `box` with respect to the polygon
// `polygon` (a Part of kind Polygon), `sample` being one of them (a unit vector in
// `box`), whose side decides when no edge comes near. Those points lie in the cap cut
// from the sphere by the ball round the box's centre through its corners; a cap is
// connected, so when no edge can reach that ball it lies wholly on one side of the
// boundary. Exact where it answers Inside or Outside as far as
// contains_point(sample) is (its caveats apply to the sample); Unknown says nothing.
// Costs a walk of the edge index for the box of the ball, or a scan of the edges for a
// polygon without one.
[[nodiscard]] BoxPlace place_of_box(const Part& polygon, const Envelope& box, const UnitVec& sample) noexcept;

// A polygon's boundary near a box, for deciding many points of the sphere in that box
// (the cap place_of_box reasons about) with the edges that can matter to them alone:
//
//   NearBoundary near;
//   if (near.gather(polygon, box, sample)) { if (auto in = near.covers(p)) ...; }
//
// Every edge through the cap is gathered, and an arc between two points of a cap under
// a hemisphere stays in it, so whether p is on the boundary and how often the arc from
// the sample to p crosses it are read from those edges only; p is inside when the
// sample is and the crossings are even, or the other way round.
class NearBoundary {
public:
    // Gathers the edges of `polygon` (a Part of kind Polygon) that may reach the cap of
    // `box`, and decides `sample`, a point of the sphere in `box`, with contains_point.
    // False, with nothing to serve, when the cap reaches a hemisphere, more than
    // `max_edges` edges are near, or the sample lies on an edge.
    [[nodiscard]] bool gather(const Part& polygon, const Envelope& box, const UnitVec& sample, std::size_t max_edges);

    // gather for a box inside the box `wider` was gathered for, from wider's edges
    // alone: an arc between two points of the smaller cap stays in both caps, so the
    // edges it can meet are among wider's. The sample is decided by wider.covers, not
    // by the polygon. False, with nothing to serve, where gather would be, or when
    // wider cannot decide the sample.
    [[nodiscard]] bool narrow(const NearBoundary& wider, const Envelope& box, const UnitVec& sample,
                              std::size_t max_edges);

    // covers_point(p) for p (a unit vector in the box gathered for), or nothing when p's
    // arc from the sample meets a vertex or runs along an edge's great circle, or p lies
    // on one off its edge: the caller then asks covers_point, whose crossing rules
    // decide such points.
    [[nodiscard]] std::optional<bool> covers(const UnitVec& p) const noexcept;

    // What the last gather or narrow that succeeded found: no edge near the box (its
    // points are then all inside or all outside, as the sample is), and the sample's side.
    [[nodiscard]] bool empty() const noexcept { return edges_.empty(); }
    [[nodiscard]] bool sample_inside() const noexcept { return sample_inside_; }

private:
    struct Edge {
        UnitVec a, b;
        UnitVec normal;      // a × b, rounded
        int sample_side;     // certain_side of the sample to that normal
        int sample_orient;   // the exact orientation of (a, b, sample)
        // What a narrower box's ball test needs, rounded as that test computes them.
        UnitVec middle;       // (a + b) / 2
        double half_chord_2;  // chord_2(a, b) / 4
        double normal_length; // norm(normal)
        double half_chord;    // norm(a − b) / 2
    };
    std::vector<Edge> edges_;
    // normal · sample_side for each edge, apart so that covers' first pass reads them
    // densely: p · it > PLANE_MARGIN puts p certainly on the sample's side.
    std::vector<UnitVec> toward_sample_;
    UnitVec sample_{};
    bool sample_inside_ = false;
};

// One geometry of any kind, owned: points, linestrings and polygons, the parts of one
// query. Move-only: parts() borrows from it.
class Shape {
public:
    Shape() = default;
    Shape(std::vector<UnitVec> points, std::vector<GeodeticLineString> lines, std::vector<GeodeticPolygon> polygons);
    Shape(Shape&&) noexcept = default;
    Shape& operator=(Shape&&) noexcept = default;
    Shape(const Shape&) = delete;
    Shape& operator=(const Shape&) = delete;

    [[nodiscard]] std::span<const Part> parts() const noexcept { return parts_; }
    // The union of the parts' envelopes; empty without parts.
    [[nodiscard]] const Envelope& envelope() const noexcept { return envelope_; }

private:
    std::vector<UnitVec> points_;
    std::vector<GeodeticLineString> lines_;
    std::vector<GeodeticPolygon> polygons_;
    std::vector<Part> parts_;
    Envelope envelope_ = Envelope::new_empty();
};

// `box` widened by `by` on every side.
[[nodiscard]] Envelope widened(const Envelope& box, double by) noexcept;

}  // namespace sferix::geodetic
