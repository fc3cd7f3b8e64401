#include "geodetic/relate.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "geodetic/arc.hpp"
#include "geodetic/crossing.hpp"
#include "predicates/orient3d.hpp"

namespace sferix::geodetic {

namespace {

int orient(const UnitVec& a, const UnitVec& b, const UnitVec& c) noexcept {
    return predicates::orient3d_sign(as_vector3(a), as_vector3(b), as_vector3(c));
}

// The side of the plane normal to n (a rounded cross product of unit vectors) that v is
// certainly on, or 0 when the rounding could hide it (see PLANE_MARGIN).
int certain_side(const UnitVec& n, const UnitVec& v) noexcept {
    const double s = dot(n, v);
    return s > PLANE_MARGIN ? 1 : (s < -PLANE_MARGIN ? -1 : 0);
}

// orient(a, b, c), given certain_side(a × b rounded, c): a side it is certain of is the
// exact determinant's sign (det[a; b; c] = (a × b) · c), so only an uncertain one asks
// the predicate.
int sign_of(int certain, const UnitVec& a, const UnitVec& b, const UnitVec& c) noexcept {
    return certain != 0 ? certain : orient(a, b, c);
}

// Calls visit(a, b) for edges of `part` that may meet the arc s–t, every edge that does
// among them, until visit returns true; returns whether it did. The index, when the part
// has one, finds the runs near the arc; otherwise every edge not certainly on one side
// of the arc's great circle is visited.
template <typename Visit>
bool any_edge_near(const Part& part, const UnitVec& s, const UnitVec& t, Visit&& visit) {
    const UnitVec normal = cross(s, t);
    if (const EdgeIndex* index = part.edge_index()) {
        bool found = false;
        const ChainSource chains = part.chain_source();
        index->for_each_run_near_arc(arc_bounding_box(s, t), normal, [&](const EdgeRun& run, const Envelope&) {
            if (found) {
                return;
            }
            const std::span<const UnitVec> chain = chains(run.chain);
            for (std::size_t k = run.first; k < run.end; ++k) {
                if (visit(chain[k], chain[k + 1])) {
                    found = true;
                    return;
                }
            }
        });
        return found;
    }
    for (std::size_t c = 0; c < part.chain_count(); ++c) {
        const std::span<const UnitVec> chain = part.chain(c);
        for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
            const int side = certain_side(normal, chain[k]);
            if (side != 0 && side == certain_side(normal, chain[k + 1])) {
                continue;
            }
            if (visit(chain[k], chain[k + 1])) {
                return true;
            }
        }
    }
    return false;
}

// Calls visit(v) for the vertices of `part` inside `box` until it returns true; returns
// whether it did.
template <typename Visit>
bool any_vertex_in(const Part& part, const Envelope& box, Visit&& visit) {
    if (const EdgeIndex* index = part.edge_index()) {
        bool found = false;
        const ChainSource chains = part.chain_source();
        index->for_each_run_near_arc(box, UnitVec{0.0, 0.0, 0.0}, [&](const EdgeRun& run, const Envelope&) {
            const std::span<const UnitVec> chain = chains(run.chain);
            for (std::size_t k = run.first; !found && k <= run.end; ++k) {
                found = box.contains_point(chain[k]) && visit(chain[k]);
            }
        });
        return found;
    }
    for (std::size_t c = 0; c < part.chain_count(); ++c) {
        for (const UnitVec& v : part.chain(c)) {
            if (box.contains_point(v) && visit(v)) {
                return true;
            }
        }
    }
    return false;
}

// Whether an edge of a meets an edge of b. The edges of the part with fewer are walked
// and the other's edges near each found, through its index when it has one.
bool edges_meet(const Part& a, const Part& b) {
    const bool a_walks = a.edge_count() <= b.edge_count();
    const Part& walked = a_walks ? a : b;
    const Part& probed = a_walks ? b : a;
    // A small part far from the big one's boundary (a cell inside a country, or in the
    // sea beside it) meets no run of it: one walk of the index tells, not one per edge.
    if (const EdgeIndex* index = probed.edge_index()) {
        bool near = false;
        index->for_each_run_near_arc(walked.envelope(), UnitVec{0.0, 0.0, 0.0},
                                     [&](const EdgeRun&, const Envelope&) { near = true; });
        if (!near) {
            return false;
        }
    }
    for (std::size_t c = 0; c < walked.chain_count(); ++c) {
        const std::span<const UnitVec> chain = walked.chain(c);
        for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
            const UnitVec& s = chain[k];
            const UnitVec& t = chain[k + 1];
            // An edge with both ends certainly on one side of s–t's plane lies on that
            // side (its points are positive blends of its ends): the rounded normal
            // spares the exact predicates for most of the edges a run brings.
            const UnitVec normal = cross(s, t);
            if (any_edge_near(probed, s, t, [&](const UnitVec& x, const UnitVec& y) {
                    const int side = certain_side(normal, x);
                    return (side == 0 || side != certain_side(normal, y)) && arcs_meet(x, y, s, t);
                })) {
                return true;
            }
        }
    }
    return false;
}

// Whether some edge of `part` holds both s and t (and so the arc between them).
bool on_one_edge(const Part& part, const UnitVec& s, const UnitVec& t) {
    return any_edge_near(part, s, t,
                         [&](const UnitVec& x, const UnitVec& y) { return on_arc(x, y, s) && on_arc(x, y, t); });
}

// Whether every point of the chain is a point of `part`, a linestring or a polygon.
// Each edge is cut where it meets the part's boundary (the part's vertices on it; an
// edge crossing a polygon's boundary is not covered); a piece on one edge of the part is
// covered, a piece with an endpoint inside a polygon lies inside it (nothing in between
// touches the boundary), and a piece between two boundary points is asked at its
// midpoint.
bool covers_chain(const Part& part, std::span<const UnitVec> chain) {
    for (const UnitVec& v : chain) {
        if (!part.covers_point(v)) {
            return false;
        }
    }
    std::vector<UnitVec> stops;
    for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
        const UnitVec& u = chain[k];
        const UnitVec& v = chain[k + 1];
        if (u == v) {
            continue;
        }
        stops.clear();
        const bool crossed = any_edge_near(part, u, v, [&](const UnitVec& x, const UnitVec& y) {
            // Crossing a polygon's boundary leaves it; crossing an edge of a line says
            // nothing (the edge may run along another one of the line).
            if (part.kind() == Part::Kind::Polygon && arcs_cross(x, y, u, v)) {
                return true;
            }
            if (on_arc(u, v, x)) {
                stops.push_back(x);
            }
            if (on_arc(u, v, y)) {
                stops.push_back(y);
            }
            return false;
        });
        if (crossed) {
            return false;
        }
        stops.push_back(u);
        stops.push_back(v);
        std::sort(stops.begin(), stops.end(),
                  [&](const UnitVec& p, const UnitVec& q) { return chord_2(u, p) < chord_2(u, q); });
        stops.erase(std::unique(stops.begin(), stops.end()), stops.end());
        for (std::size_t i = 0; i + 1 < stops.size(); ++i) {
            const UnitVec& s = stops[i];
            const UnitVec& t = stops[i + 1];
            if (on_one_edge(part, s, t)) {
                continue;
            }
            if (part.kind() != Part::Kind::Polygon) {
                return false;
            }
            if (!part.on_boundary(s) || !part.on_boundary(t)) {
                continue;
            }
            const UnitVec sum = s + t;
            if (!part.polygon().contains_point(sum / norm(sum))) {
                return false;
            }
        }
    }
    return true;
}

// The squared distance between two boxes: 0 when they meet.
double box_gap_2(const Envelope& a, const Envelope& b) noexcept {
    double d[3];
    for (std::size_t axis = 0; axis < 3; ++axis) {
        d[axis] = std::max({0.0, a.lower()[axis] - b.upper()[axis], b.lower()[axis] - a.upper()[axis]});
    }
    return (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2];
}

// part.distance_2(p) when ≤ bound, else some value above it.
double distance_2_bounded(const Part& part, const UnitVec& p, double bound) noexcept {
    switch (part.kind()) {
        case Part::Kind::Point:
            return chord_2(part.point(), p);
        case Part::Kind::LineString:
            return part.line().distance_2_if_less_or_equal(p, bound).value_or(std::numeric_limits<double>::infinity());
        case Part::Kind::Polygon:
            return part.polygon().distance_2_if_less_or_equal(p, bound).value_or(std::numeric_limits<double>::infinity());
    }
    return std::numeric_limits<double>::infinity();
}

}  // namespace

bool on_arc(const UnitVec& a, const UnitVec& b, const UnitVec& p) noexcept {
    if (p == a || p == b) {
        return true;
    }
    // Most edges are nowhere near p's great circle: their rounded normal says so without
    // the exact predicate.
    if (certain_side(cross(a, b), p) != 0 || orient(a, b, p) != 0) {
        return false;
    }
    // a, b and p lie in one plane through the origin, so p = αa + βb with a × p = β(a × b)
    // and p × b = α(a × b): against any q off that plane, det[a; p; q] and det[p; b; q]
    // carry the signs of β and α times that of det[a; b; q]. p is on the shorter arc
    // exactly when neither is negative.
    const UnitVec probes[] = {cross(a, b), {1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
    for (const UnitVec& q : probes) {
        const int s = orient(a, b, q);
        if (s != 0) {
            return orient(a, p, q) * s >= 0 && orient(p, b, q) * s >= 0;
        }
    }
    // a × b is exactly zero: b is a, as a direction, and so is every point of the arc.
    for (const UnitVec& q : {probes[1], probes[2], probes[3]}) {
        if (orient(a, p, q) != 0) {
            return false;
        }
    }
    return dot(a, p) > 0.0;
}

bool arcs_cross(const UnitVec& a, const UnitVec& b, const UnitVec& c, const UnitVec& d) noexcept {
    const int g = orient(c, d, a);
    return g != 0 && orient(c, d, b) == -g && orient(a, b, d) == g && orient(a, b, c) == -g;
}

bool arcs_meet(const UnitVec& a, const UnitVec& b, const UnitVec& c, const UnitVec& d) noexcept {
    return arcs_cross(a, b, c, d) || on_arc(a, b, c) || on_arc(a, b, d) || on_arc(c, d, a) || on_arc(c, d, b);
}

Envelope Part::envelope() const noexcept {
    switch (kind_) {
        case Kind::Point:
            return Envelope::from_point(point_);
        case Kind::LineString:
            return line_->envelope();
        case Kind::Polygon:
            return polygon_->envelope();
    }
    return Envelope::new_empty();
}

std::size_t Part::chain_count() const noexcept {
    return kind_ == Kind::Polygon ? 1 + polygon_->interiors().size() : 1;
}

std::span<const UnitVec> Part::chain(std::size_t c) const noexcept {
    switch (kind_) {
        case Kind::Point:
            return {&point_, 1};
        case Kind::LineString:
            return line_->vectors();
        case Kind::Polygon:
            return c == 0 ? polygon_->exterior().vectors() : polygon_->interiors()[c - 1].vectors();
    }
    return {};
}

std::size_t Part::edge_count() const noexcept {
    std::size_t count = 0;
    for (std::size_t c = 0; c < chain_count(); ++c) {
        count += chain(c).size() - 1;
    }
    return count;
}

const EdgeIndex* Part::edge_index() const noexcept {
    switch (kind_) {
        case Kind::Point:
            return nullptr;
        case Kind::LineString:
            return line_->edge_index();
        case Kind::Polygon:
            return polygon_->edge_index();
    }
    return nullptr;
}

ChainSource Part::chain_source() const noexcept {
    return kind_ == Kind::LineString ? line_->chain_source() : polygon_->chain_source();
}

bool Part::on_boundary(const UnitVec& p) const noexcept {
    if (kind_ == Kind::Point) {
        return p == point_;
    }
    return any_edge_near(*this, p, p, [&](const UnitVec& a, const UnitVec& b) { return on_arc(a, b, p); });
}

bool Part::covers_point(const UnitVec& p) const noexcept {
    if (kind_ == Kind::Polygon && polygon_->contains_point(p)) {
        return true;
    }
    return on_boundary(p);
}

double Part::distance_2(const UnitVec& p) const noexcept {
    return distance_2_bounded(*this, p, std::numeric_limits<double>::infinity());
}

bool intersects(const Part& a, const Part& b) noexcept {
    if (!a.envelope().intersects(b.envelope())) {
        return false;
    }
    if (a.kind() == Part::Kind::Point) {
        return b.covers_point(a.point());
    }
    if (b.kind() == Part::Kind::Point) {
        return a.covers_point(b.point());
    }
    // A vertex of one inside the other polygon settles it before any edge is looked
    // at: the usual answer for a small part across a big one's boundary.
    const bool b_holds = b.kind() == Part::Kind::Polygon;
    const bool a_holds = a.kind() == Part::Kind::Polygon;
    if ((b_holds && b.polygon().contains_point(a.chain(0)[0])) ||
        (a_holds && a.polygon().contains_point(b.chain(0)[0]))) {
        return true;
    }
    if (edges_meet(a, b)) {
        return true;
    }
    // The boundaries are apart: the parts meet only where one lies inside a polygon,
    // which any one of its vertices tells (covers_point, whose inside is asked above).
    return (b_holds && b.on_boundary(a.chain(0)[0])) || (a_holds && a.on_boundary(b.chain(0)[0]));
}

bool covers(const Part& a, const Part& b) noexcept {
    if (!a.envelope().intersects(b.envelope())) {
        return false;
    }
    if (b.kind() == Part::Kind::Point) {
        return a.covers_point(b.point());
    }
    switch (a.kind()) {
        case Part::Kind::Point: {
            if (b.kind() == Part::Kind::Polygon) {
                return false;
            }
            const std::span<const UnitVec> chain = b.chain(0);
            return std::all_of(chain.begin(), chain.end(), [&](const UnitVec& v) { return v == a.point(); });
        }
        case Part::Kind::LineString:
            return b.kind() == Part::Kind::LineString && covers_chain(a, b.chain(0));
        case Part::Kind::Polygon:
            break;
    }
    for (std::size_t c = 0; c < b.chain_count(); ++c) {
        if (!covers_chain(a, b.chain(c))) {
            return false;
        }
    }
    if (b.kind() != Part::Kind::Polygon) {
        return true;
    }
    // b's boundary lies in a; b is in a unless a's boundary enters b's interior, where
    // then one of a's vertices lies (an edge of a could enter it only across b's
    // boundary, which lies in a).
    return !any_vertex_in(a, b.envelope(), [&](const UnitVec& w) {
        return b.polygon().contains_point(w) && !b.on_boundary(w);
    });
}

std::optional<double> distance_2_within(const Part& a, const Part& b, double bound_2) noexcept {
    if (!(bound_2 >= 0.0) || box_gap_2(a.envelope(), b.envelope()) > bound_2) {
        return std::nullopt;
    }
    // A point measures to the other part directly; only a point (all but) on it needs
    // the exact test, to report 0 exactly where they intersect.
    if (a.kind() == Part::Kind::Point || b.kind() == Part::Kind::Point) {
        const bool a_is_point = a.kind() == Part::Kind::Point;
        const Part& other = a_is_point ? b : a;
        const UnitVec& p = a_is_point ? a.point() : b.point();
        const double d = distance_2_bounded(other, p, bound_2);
        if (d <= DEGENERATE_ARC_SQUARED_CHORD && other.covers_point(p)) {
            return 0.0;
        }
        if (d <= bound_2) {
            return d;
        }
        return std::nullopt;
    }
    if (intersects(a, b)) {
        return 0.0;
    }
    // A vertex within bound_2 of the other part lies in that part's box widened by the
    // chord (and a hair for the rounding of the square root).
    const double reach = std::sqrt(bound_2) * (1.0 + 1e-15) + BOX_MARGIN;
    double best = std::numeric_limits<double>::infinity();
    const auto nearer_than_best = [&](const Part& from, const Part& to) {
        any_vertex_in(from, widened(to.envelope(), reach), [&](const UnitVec& v) {
            best = std::min(best, distance_2_bounded(to, v, std::min(best, bound_2)));
            return false;
        });
    };
    nearer_than_best(a, b);
    nearer_than_best(b, a);
    if (best <= bound_2) {
        return best;
    }
    return std::nullopt;
}

namespace {

// The ball round a box's centre through its corners: it holds the box, so its cap holds
// the box's points of the sphere. The centre and half-diagonal are rounded by under
// 1e-15; BOX_MARGIN, far above that, keeps the whole ball inside what is tested.
struct Ball {
    UnitVec centre;
    double radius;

    explicit Ball(const Envelope& box) noexcept
        : centre(0.5 * (box.lower() + box.upper())),
          radius(0.5 * norm(box.upper() - box.lower()) * (1.0 + 1e-15) + BOX_MARGIN) {}

    // Whether the arc a–b may have a point in the ball. An arc misses the ball when its
    // plane does: the ball's points are within radius of the centre, so their dot
    // products with the normal within |normal| · radius of the centre's, which the
    // rounded normal gives to within PLANE_MARGIN. A shorter arc also lies in the ball
    // round its chord's midpoint through its endpoints (along the arc p · (a + b) is
    // least at the ends), and two balls apart by more than the rounding share no point.
    [[nodiscard]] bool may_meet(const UnitVec& a, const UnitVec& b) const noexcept {
        return may_meet(0.5 * (a + b), 0.25 * chord_2(a, b), [&] {
            const UnitVec normal = cross(a, b);
            return EdgeMeasures{normal, norm(normal), 0.5 * norm(a - b)};
        });
    }

    // What may_meet measures of an edge beyond its chord's midpoint and a quarter of
    // its square: the rounded a × b, its length, and half the chord.
    struct EdgeMeasures {
        UnitVec normal;
        double normal_length;
        double half_chord;
    };

    // The same, given the chord's midpoint, a quarter of its square and a way to the
    // rest, which an edge kept for narrowing has ready.
    template <typename Measures>
    [[nodiscard]] bool may_meet(const UnitVec& middle, double half_chord_2, Measures&& measures_of) const noexcept {
        // First without a square root, the balls' gap squared against twice the sum of
        // the radii squared, which is at least their sum squared.
        const double apart_2 = chord_2(middle, centre);
        const double widened_radius = radius + BOX_MARGIN;
        if (apart_2 > 2.0 * (half_chord_2 + widened_radius * widened_radius)) {
            return false;
        }
        const EdgeMeasures edge = measures_of();
        if (std::abs(dot(edge.normal, centre)) > (edge.normal_length + 1e-15) * radius + PLANE_MARGIN) {
            return false;
        }
        const double reach = edge.half_chord + radius + BOX_MARGIN;
        return apart_2 <= reach * reach;
    }
};

// Calls visit(a, b) for the edges of `polygon` that may meet `ball`, until it returns
// true; returns whether it did.
template <typename Visit>
bool any_edge_in_ball(const Part& polygon, const Ball& ball, Visit&& visit) {
    const auto run = [&](std::span<const UnitVec> chain, std::size_t first, std::size_t end) {
        for (std::size_t k = first; k < end; ++k) {
            if (ball.may_meet(chain[k], chain[k + 1]) && visit(chain[k], chain[k + 1])) {
                return true;
            }
        }
        return false;
    };
    if (const EdgeIndex* index = polygon.edge_index()) {
        const ChainSource chains = polygon.chain_source();
        return index->any_run_near(widened(Envelope::from_point(ball.centre), ball.radius),
                                   [&](const EdgeRun& r) { return run(chains(r.chain), r.first, r.end); });
    }
    for (std::size_t c = 0; c < polygon.chain_count(); ++c) {
        const std::span<const UnitVec> chain = polygon.chain(c);
        if (chain.size() >= 2 && run(chain, 0, chain.size() - 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace

BoxPlace place_of_box(const Part& polygon, const Envelope& box, const UnitVec& sample) noexcept {
    if (!polygon.envelope().intersects(box)) {
        return BoxPlace::Outside;
    }
    if (any_edge_in_ball(polygon, Ball(box), [](const UnitVec&, const UnitVec&) { return true; })) {
        return BoxPlace::Unknown;
    }
    return polygon.polygon().contains_point(sample) ? BoxPlace::Inside : BoxPlace::Outside;
}

bool NearBoundary::gather(const Part& polygon, const Envelope& box, const UnitVec& sample, std::size_t max_edges) {
    edges_.clear();
    toward_sample_.clear();
    sample_ = sample;
    if (!polygon.envelope().intersects(box)) {
        sample_inside_ = false;
        return true;
    }
    const Ball ball(box);
    // Under a hemisphere: the cap's plane then stays on the centre's side of the origin,
    // so the cap holds the arc between any two of its points.
    if (!(ball.radius < 1.0)) {
        return false;
    }
    const bool crowded = any_edge_in_ball(polygon, ball, [&](const UnitVec& a, const UnitVec& b) {
        const UnitVec normal = cross(a, b);
        const int sample_side = certain_side(normal, sample);
        edges_.push_back({a, b, normal, sample_side, sign_of(sample_side, a, b, sample), 0.5 * (a + b),
                          0.25 * chord_2(a, b), norm(normal), 0.5 * norm(a - b)});
        toward_sample_.push_back(static_cast<double>(sample_side) * normal);
        return edges_.size() > max_edges;
    });
    if (crowded || std::any_of(edges_.begin(), edges_.end(), [&](const Edge& e) {
            return e.sample_orient == 0 && on_arc(e.a, e.b, sample);
        })) {
        return false;
    }
    sample_inside_ = polygon.polygon().contains_point(sample);
    return true;
}

bool NearBoundary::narrow(const NearBoundary& wider, const Envelope& box, const UnitVec& sample,
                          std::size_t max_edges) {
    edges_.clear();
    toward_sample_.clear();
    const Ball ball(box);
    if (!(ball.radius < 1.0)) {
        return false;
    }
    for (const Edge& edge : wider.edges_) {
        if (!ball.may_meet(edge.middle, edge.half_chord_2, [&] {
                return Ball::EdgeMeasures{edge.normal, edge.normal_length, edge.half_chord};
            })) {
            continue;
        }
        if (edges_.size() == max_edges) {
            return false;
        }
        const int sample_side = certain_side(edge.normal, sample);
        const int sample_orient = sign_of(sample_side, edge.a, edge.b, sample);
        if (sample_orient == 0 && on_arc(edge.a, edge.b, sample)) {
            return false;
        }
        edges_.push_back(edge);
        edges_.back().sample_side = sample_side;
        edges_.back().sample_orient = sample_orient;
        toward_sample_.push_back(static_cast<double>(edges_.back().sample_side) * edge.normal);
    }
    // Off every edge (the ones left out do not reach the box), so covers is the side.
    const std::optional<bool> inside = wider.covers(sample);
    if (!inside) {
        return false;
    }
    sample_ = sample;
    sample_inside_ = *inside;
    return true;
}

std::optional<bool> NearBoundary::covers(const UnitVec& p) const noexcept {
    if (p == sample_) {
        return sample_inside_;
    }
    bool crossed = false;
    std::optional<UnitVec> path_normal;
    // p certainly off an edge's great circle and on the sample's side of it, as it is for
    // most: the path stays on that side, so it neither meets nor crosses the edge. That
    // test is made for 64 edges at a time without a branch (dot(toward_sample_[k], p) is
    // exactly certain_side's product, signed so the sample's side is positive); only
    // the edges it leaves open are looked at, in order.
    constexpr std::size_t BLOCK = 64;
    for (std::size_t first = 0; first < edges_.size(); first += BLOCK) {
        const std::size_t end = std::min(edges_.size(), first + BLOCK);
        std::uint64_t open = 0;
        for (std::size_t k = first; k < end; ++k) {
            open |= std::uint64_t{!(dot(toward_sample_[k], p) > PLANE_MARGIN)} << (k - first);
        }
        for (; open != 0; open &= open - 1) {
            const Edge& edge = edges_[first + static_cast<std::size_t>(std::countr_zero(open))];
            // An edge with both ends certainly on one side of the path's plane neither
            // crosses the path nor holds p, which lies in that plane: the usual case for
            // an edge whose circle, not itself, passes between the sample and p.
            if (!path_normal) {
                path_normal = cross(sample_, p);
            }
            const int side = certain_side(*path_normal, edge.a);
            const int b_side = certain_side(*path_normal, edge.b);
            if (side != 0 && side == b_side) {
                continue;
            }
            const int p_side = certain_side(edge.normal, p);
            if (p_side == 0 && on_arc(edge.a, edge.b, p)) {
                return true;
            }
            // Degenerate edges never cross (contains_point's rule).
            if (edge.a == edge.b) {
                continue;
            }
            const int g = edge.sample_orient;
            const int h = sign_of(p_side, edge.a, edge.b, p);
            const int e = sign_of(side, sample_, p, edge.a);
            const int f = sign_of(b_side, sample_, p, edge.b);
            if (g == 0 || h == 0 || e == 0 || f == 0) {
                return std::nullopt;
            }
            crossed ^= h == -g && f == g && e == -g;
        }
    }
    return sample_inside_ != crossed;
}

Shape::Shape(std::vector<UnitVec> points, std::vector<GeodeticLineString> lines,
             std::vector<GeodeticPolygon> polygons)
    : points_(std::move(points)), lines_(std::move(lines)), polygons_(std::move(polygons)) {
    parts_.reserve(points_.size() + lines_.size() + polygons_.size());
    for (const UnitVec& p : points_) {
        parts_.push_back(Part::of(p));
    }
    for (const GeodeticLineString& line : lines_) {
        parts_.push_back(Part::of(line));
    }
    for (const GeodeticPolygon& polygon : polygons_) {
        parts_.push_back(Part::of(polygon));
    }
    for (const Part& part : parts_) {
        envelope_.merge(part.envelope());
    }
}

Envelope widened(const Envelope& box, double by) noexcept {
    const UnitVec step{by, by, by};
    return Envelope::from_corners(box.lower() - step, box.upper() + step);
}

}  // namespace sferix::geodetic
