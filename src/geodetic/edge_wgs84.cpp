#include "geodetic/edge_wgs84.hpp"

#include <GeographicLib/Geodesic.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/distance.hpp"
#include "geodetic/edge_index.hpp"
#include "geodetic/wgs84.hpp"

// How the search along one arc reaches the stated accuracy.
//
// Parametrise the arc as x(θ) = a·cos θ + u·sin θ, θ in [0, L], and let s(θ) be the geodesic
// metres from q to x(θ) read as lon/lat, and g(θ) the great-circle metres on the sphere.
//
// 1. The window (proved). s ≥ k·g for k = WGS84_SPHERE_LOWER_BOUND (the stretch bound of
//    wgs84.hpp, with its margins). U = s at the sphere's nearest point of the arc bounds the
//    minimum, so the minimum lies where g ≤ U/k (+ 1 mm). On the great circle
//    cos(g/R) = ρ·cos(θ − θ0) (ρ = cos of q's angle to the circle, θ0 the foot), a
//    condition met on one interval of the circle around θ0: intersected with [0, L] it
//    gives at most two intervals, and nothing outside them is ever measured. Because
//    K/k ≈ 1.0226, the window reaches only about 0.21·U along the arc either side of the
//    foot.
//
// 2. The search in a window (proved under convexity). Each evaluation gives s and its
//    slope ds/dθ from GeographicLib's arrival azimuth (first variation: the slope is the
//    arc's velocity on the ellipsoid, (N·T_east, M·T_north), dotted with the unit vector
//    at the arrival azimuth). Where s is convex, a tangent line lies below s, so the
//    search stops only when (a) one sample's tangent, over the bracket that holds the
//    minimiser (a sample with slope ≤ 0 on its left, ≥ 0 on its right), or (b) the
//    intersection of the bracket ends' tangents, is within WGS84_EDGE_TOLERANCE_METRES of
//    the best sample. The samples come from secant steps on the slope, safeguarded by
//    bisection of the bracket; typically 3 to 5 inverses per edge.
//    Why s is convex in the window: s'' = |T|²·Hess(T̂, T̂) + ⟨∇s, ∇_T T⟩. The distance's
//    Hessian across the geodesic is M21/m12 ≈ cot(s/R)/R, and in the window T̂ is within
//    about 12 degrees of that direction (cos ≤ 0.21), so the first term is at least about
//    0.95·R·cot(s/R); the second is at most |T|² times the arc's geodesic curvature on the
//    ellipsoid, O(f/R), about 0.01·R. So s is convex in every window whose far end is
//    below about 9,900 km: CONVEX_LIMIT_METRES keeps 900 km of margin.
//
// 3. Beyond CONVEX_LIMIT_METRES (an edge farther than 9,000 km from the query, so rarely
//    the nearest thing a tree holds), the window is cut into pieces of FAR_PIECE_RADIANS
//    (about 127 km) and every piece whose ends' slopes bracket a minimum is refined as in 2;
//    there the bound holds for every local minimum whose basin is wider than a piece, and
//    the tests' brute force finds no miss.
//
// So a reported distance is a geodesic distance to a point of the arc (never below the
// true minimum by more than GeographicLib's 15 nm) and at most WGS84_EDGE_TOLERANCE_METRES
// above it: within 1 mm.

namespace sferix::geodetic {

namespace {

constexpr double INFINITE = std::numeric_limits<double>::infinity();
constexpr double DEGREES = 180.0 / std::numbers::pi;
constexpr double CONVEX_LIMIT_METRES = 9.0e6;
constexpr double FAR_PIECE_RADIANS = 0.02;
// Enough for bisection alone to shrink a half circle to 1e-15 radians.
constexpr int MAX_STEPS = 64;
constexpr double E2 = WGS84_F * (2.0 - WGS84_F);

// The geodesic metres and their slope at one point of the arc.
struct Sample {
    double theta;
    double s;
    double slope;
};

class ArcSearch {
public:
    ArcSearch(const GeodeticPoint& q, const UnitVec& a, const UnitVec& u, EdgeSearchStats* stats) noexcept
        : q_(q), a_(a), u_(u), stats_(stats) {}

    [[nodiscard]] Sample at(double theta) const noexcept {
        const double c = std::cos(theta);
        const double s = std::sin(theta);
        const UnitVec x = c * a_ + s * u_;
        const UnitVec tangent = c * u_ - s * a_;
        const double lat = std::atan2(x.z, std::hypot(x.x, x.y));
        const double lon = std::atan2(x.y, x.x);
        double s12 = 0.0;
        double azi1 = 0.0;
        double azi2 = 0.0;
        GeographicLib::Geodesic::WGS84().Inverse(q_.lat(), q_.lon(), lat * DEGREES, lon * DEGREES, s12, azi1, azi2);
        if (stats_ != nullptr) {
            ++stats_->geodesic_inverses;
        }
        const double sin_lat = std::sin(lat);
        const double cos_lat = std::cos(lat);
        const double sin_lon = std::sin(lon);
        const double cos_lon = std::cos(lon);
        const double t_east = -sin_lon * tangent.x + cos_lon * tangent.y;
        const double t_north = -sin_lat * cos_lon * tangent.x - sin_lat * sin_lon * tangent.y + cos_lat * tangent.z;
        const double w = std::sqrt(1.0 - E2 * sin_lat * sin_lat);
        const double prime_vertical = WGS84_A / w;
        const double meridian = WGS84_A * (1.0 - E2) / (w * w * w);
        const double azimuth = azi2 / DEGREES;
        const double slope = prime_vertical * t_east * std::sin(azimuth) + meridian * t_north * std::cos(azimuth);
        return {theta, s12, slope};
    }

private:
    const GeodeticPoint& q_;
    UnitVec a_;
    UnitVec u_;
    EdgeSearchStats* stats_;
};

// The minimum of s over [lo, hi] (convex there), from a first sample inside; the best
// sample's s, within WGS84_EDGE_TOLERANCE_METRES of the minimum (see the comment above).
// `curvature` estimates s'' at θ (the sphere's), for the first step.
template <typename Curvature>
double refine(const ArcSearch& search, double lo, double hi, Sample cur, const Curvature& curvature) noexcept {
    constexpr double TOLERANCE = WGS84_EDGE_TOLERANCE_METRES;
    double best = cur.s;
    Sample left{lo, 0.0, 0.0};
    Sample right{hi, 0.0, 0.0};
    bool left_known = false;
    bool right_known = false;
    Sample previous{};
    bool has_previous = false;
    double last_width = hi - lo;
    int slow_steps = 0;
    for (int step = 0; step < MAX_STEPS; ++step) {
        if (best <= TOLERANCE) {
            return best;
        }
        if (!std::isnan(cur.slope)) {
            if (cur.slope <= 0.0) {
                left = cur;
                left_known = true;
            } else {
                right = cur;
                right_known = true;
            }
            // (a): s ≥ cur.s + slope·(θ − cur.θ) across the bracket.
            const double span = cur.slope <= 0.0 ? right.theta - cur.theta : cur.theta - left.theta;
            if (best - (cur.s - std::fabs(cur.slope) * span) <= TOLERANCE) {
                return best;
            }
        }
        // (b): the bracket ends' tangents meet no lower than this.
        if (left_known && right_known && left.slope < right.slope) {
            const double meet = (right.s - left.s + left.slope * left.theta - right.slope * right.theta) /
                                (left.slope - right.slope);
            if (best - (left.s + left.slope * (meet - left.theta)) <= TOLERANCE) {
                return best;
            }
        }
        const double width = right.theta - left.theta;
        if (!(width > 4.0 * std::numeric_limits<double>::epsilon() * std::max(1.0, std::fabs(right.theta)))) {
            return best;
        }
        // The next sample: the bracket's unmeasured end when the slope points at it (a
        // minimum at the end of the window is then certified at once), else a secant step
        // on the slope (the sphere's curvature for the first), else bisection when the step
        // leaves the bracket or the bracket stopped halving.
        slow_steps = width > 0.5 * last_width ? slow_steps + 1 : 0;
        last_width = width;
        double next = std::numeric_limits<double>::quiet_NaN();
        if (!std::isnan(cur.slope) && cur.slope > 0.0 && !left_known) {
            next = left.theta;
        } else if (!std::isnan(cur.slope) && cur.slope <= 0.0 && !right_known) {
            next = right.theta;
        } else if (slow_steps < 2 && !std::isnan(cur.slope)) {
            if (has_previous && previous.slope != cur.slope && !std::isnan(previous.slope)) {
                next = cur.theta - cur.slope * (cur.theta - previous.theta) / (cur.slope - previous.slope);
            } else {
                const double c = curvature(cur.theta);
                if (c > 0.0) {
                    next = cur.theta - cur.slope / c;
                }
            }
            if (!(next > left.theta && next < right.theta)) {
                next = std::numeric_limits<double>::quiet_NaN();
            }
        }
        if (std::isnan(next)) {
            next = 0.5 * (left.theta + right.theta);
            slow_steps = 0;
        }
        previous = cur;
        has_previous = true;
        cur = search.at(next);
        best = std::min(best, cur.s);
    }
    return best;
}

// The geodesic metres from q to the vertex v.
double vertex_distance(const GeodeticPoint& q, const UnitVec& v, EdgeSearchStats* stats) noexcept {
    const double lat = std::atan2(v.z, std::hypot(v.x, v.y)) * DEGREES;
    const double lon = std::atan2(v.y, v.x) * DEGREES;
    if (stats != nullptr) {
        ++stats->geodesic_inverses;
    }
    return geodesic_distance_wgs84(q.lon(), q.lat(), lon, lat);
}

// A lower bound of the geodesic metres to anything at squared chord chord_2 or more.
double geodesic_lower_bound(double chord_2) noexcept {
    return squared_chord_to_metres(chord_2) * WGS84_SPHERE_LOWER_BOUND - WGS84_SLACK_METRES;
}

// The great-circle metres within which the geodesic minimum must lie, given a geodesic
// distance `reach` already met (or a cutoff) beyond which nothing counts.
double window_metres(double reach) noexcept { return reach / WGS84_SPHERE_LOWER_BOUND + WGS84_SLACK_METRES; }

}  // namespace

double arc_distance_wgs84(const GeodeticPoint& q, const UnitVec& a, const UnitVec& b, double cutoff_metres,
                          EdgeSearchStats* stats) noexcept {
    const UnitVec& p = q.vector();
    const double sphere_2 = arc_distance_2(a, b, p);
    if (geodesic_lower_bound(sphere_2) > cutoff_metres) {
        return INFINITE;
    }
    if (stats != nullptr) {
        ++stats->edges_searched;
    }
    const double t = dot(a, b);
    const UnitVec w = b - t * a;
    const double w_2 = norm_2(w);
    if (!(chord_2(a, b) > DEGENERATE_ARC_SQUARED_CHORD) || w_2 == 0.0) {
        double best = vertex_distance(q, a, stats);
        if (geodesic_lower_bound(chord_2(p, b)) <= std::min(best, cutoff_metres)) {
            best = std::min(best, vertex_distance(q, b, stats));
        }
        return best;
    }
    const UnitVec u = w / std::sqrt(w_2);
    const double length = std::atan2(norm(cross(a, b)), t);
    const UnitVec normal = cross(a, u);
    const double pa = dot(p, a);
    const double pu = dot(p, u);
    const double pn = dot(p, normal);
    const double rho = std::hypot(pa, pu);
    const double foot = std::atan2(pu, pa);
    const ArcSearch search(q, a, u, stats);

    // The sphere's nearest point of the arc: the foot, or the nearer endpoint.
    double nearest = foot;
    if (!(foot >= 0.0 && foot <= length)) {
        nearest = chord_2(p, a) <= chord_2(p, b) ? 0.0 : length;
    }
    // The window comes from the first sample alone, never from the cutoff, so that an
    // edge measures the same whatever the caller's bound: a radius query then agrees
    // with the metres a nearest query reported.
    const Sample first = search.at(nearest);
    const double window = window_metres(first.s);

    // The window on the circle, |θ − foot| ≤ h with cos h = cos(D/R)/ρ, computed from
    // 1 − cos h = (2·sin²(D/2R) − pn²/(1 + ρ))/ρ, which keeps small windows exact.
    double h = std::numbers::pi;
    if (window < std::numbers::pi * EARTH_RADIUS_METRES && rho > 0.0) {
        const double half = std::sin(0.5 * window / EARTH_RADIUS_METRES);
        const double one_minus_cos = (2.0 * half * half - pn * pn / (1.0 + rho)) / rho;
        if (one_minus_cos < 2.0) {
            h = 2.0 * std::asin(std::sqrt(std::max(0.0, 0.5 * one_minus_cos)));
        }
    }
    struct Interval {
        double lo;
        double hi;
    };
    Interval intervals[3];
    std::size_t count = 0;
    if (h >= std::numbers::pi) {
        intervals[count++] = {0.0, length};
    } else {
        for (const double shift : {-2.0 * std::numbers::pi, 0.0, 2.0 * std::numbers::pi}) {
            const double lo = std::max(0.0, foot + shift - h);
            const double hi = std::min(length, foot + shift + h);
            if (lo <= hi) {
                intervals[count++] = {lo, hi};
            }
        }
    }

    // The sphere's second derivative of g, R·(ρ cos φ / sin G − ρ² sin² φ cos G / sin³ G)
    // with cos G = ρ cos φ, φ = θ − foot: the first Newton step's curvature.
    const auto curvature = [&](double theta) {
        const double phi = theta - foot;
        const double cos_g = rho * std::cos(phi);
        const double sin_g = std::sqrt(std::max(0.0, 1.0 - cos_g * cos_g));
        if (!(sin_g > 1e-300)) {
            return 0.0;
        }
        const double sin_phi = std::sin(phi);
        return EARTH_RADIUS_METRES *
               (rho * std::cos(phi) / sin_g - rho * rho * sin_phi * sin_phi * cos_g / (sin_g * sin_g * sin_g));
    };

    double best = first.s;
    const bool convex = window <= CONVEX_LIMIT_METRES;
    for (std::size_t i = 0; i < count; ++i) {
        const auto [lo, hi] = intervals[i];
        if (convex) {
            const double start = std::clamp(nearest, lo, hi);
            const Sample begin = start == nearest ? first : search.at(start);
            best = std::min(best, refine(search, lo, hi, begin, curvature));
            continue;
        }
        const auto pieces = static_cast<std::size_t>(std::ceil((hi - lo) / FAR_PIECE_RADIANS));
        const std::size_t n = std::max<std::size_t>(1, pieces);
        Sample previous = search.at(lo);
        best = std::min(best, previous.s);
        for (std::size_t j = 1; j <= n; ++j) {
            const double theta = j == n ? hi : lo + (hi - lo) * static_cast<double>(j) / static_cast<double>(n);
            const Sample next = search.at(theta);
            best = std::min(best, next.s);
            if (previous.slope < 0.0 && next.slope > 0.0) {
                best = std::min(best, refine(search, previous.theta, next.theta, previous, curvature));
            }
            previous = next;
        }
    }
    return best;
}

namespace {

// An edge worth a geodesic search: its squared chord to the query, chain and first vertex.
struct CandidateEdge {
    double chord_2;
    std::uint32_t chain;
    std::uint32_t first;
};

// The smallest geodesic metres to the edges of the chains (≤ cutoff, else some larger
// value); chains(c) is chain c, of chain_count, and `index` (may be null) their edge index.
template <typename Chains>
double chains_distance_wgs84(const GeodeticPoint& q, const Chains& chains, std::uint32_t chain_count,
                             const EdgeIndex* index, double cutoff_metres, EdgeSearchStats* stats) noexcept {
    const UnitVec& p = q.vector();
    std::vector<CandidateEdge> candidates;
    // Edges farther on the sphere than the bound below can beat neither an upper bound of
    // the minimum (the nearest edge's sphere metres stretched by at most K) nor the cutoff.
    const auto bound_2_for = [&](double sphere_2) {
        const double upper = squared_chord_to_metres(sphere_2) * WGS84_SPHERE_UPPER_BOUND + WGS84_SLACK_METRES;
        return metres_to_squared_chord(window_metres(std::min(upper, cutoff_metres)));
    };
    if (index != nullptr) {
        const ChainSource source{&chains, [](const void* owner, std::uint32_t c) noexcept {
                                     return (*static_cast<const Chains*>(owner))(c);
                                 }};
        const double sphere_2 = index->min_distance_2(p, INFINITE, source);
        if (geodesic_lower_bound(sphere_2) > cutoff_metres) {
            return INFINITE;
        }
        const double bound_2 = bound_2_for(sphere_2);
        const double reach = std::sqrt(bound_2) + BOX_MARGIN;
        const Envelope box = Envelope::from_corners(UnitVec{p.x - reach, p.y - reach, p.z - reach},
                                                    UnitVec{p.x + reach, p.y + reach, p.z + reach});
        index->for_each_run_near_arc(box, UnitVec{0.0, 0.0, 0.0}, [&](const EdgeRun& run, const Envelope&) {
            const std::span<const UnitVec> chain = chains(run.chain);
            for (std::uint32_t k = run.first; k < run.end; ++k) {
                const double d_2 = arc_distance_2(chain[k], chain[k + 1], p);
                if (d_2 <= bound_2) {
                    candidates.push_back({d_2, run.chain, k});
                }
            }
        });
    } else {
        double sphere_2 = INFINITE;
        for (std::uint32_t c = 0; c < chain_count; ++c) {
            const std::span<const UnitVec> chain = chains(c);
            for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
                const double d_2 = arc_distance_2(chain[k], chain[k + 1], p);
                sphere_2 = std::min(sphere_2, d_2);
                candidates.push_back({d_2, c, static_cast<std::uint32_t>(k)});
            }
        }
        if (geodesic_lower_bound(sphere_2) > cutoff_metres) {
            return INFINITE;
        }
        const double bound_2 = bound_2_for(sphere_2);
        std::erase_if(candidates, [&](const CandidateEdge& edge) { return !(edge.chord_2 <= bound_2); });
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const CandidateEdge& x, const CandidateEdge& y) { return x.chord_2 < y.chord_2; });
    double best = INFINITE;
    for (const CandidateEdge& edge : candidates) {
        const double reach = std::min(best, cutoff_metres);
        if (geodesic_lower_bound(edge.chord_2) > reach) {
            break;
        }
        const std::span<const UnitVec> chain = chains(edge.chain);
        best = std::min(best, arc_distance_wgs84(q, chain[edge.first], chain[edge.first + 1], reach, stats));
    }
    return best;
}

}  // namespace

double linestring_distance_wgs84(const GeodeticLineString& line, const GeodeticPoint& q, double cutoff_metres,
                                 EdgeSearchStats* stats) noexcept {
    const auto chains = [&line](std::uint32_t) noexcept { return std::span<const UnitVec>(line.vectors()); };
    return chains_distance_wgs84(q, chains, 1, line.edge_index(), cutoff_metres, stats);
}

double polygon_distance_wgs84(const GeodeticPolygon& polygon, const GeodeticPoint& q, double cutoff_metres,
                              EdgeSearchStats* stats) noexcept {
    if (polygon.contains_point(q.vector())) {
        return 0.0;
    }
    const auto chains = [&polygon](std::uint32_t c) noexcept {
        return std::span<const UnitVec>(c == 0 ? polygon.exterior().vectors() : polygon.interiors()[c - 1].vectors());
    };
    const auto rings = static_cast<std::uint32_t>(polygon.interiors().size() + 1);
    return chains_distance_wgs84(q, chains, rings, polygon.edge_index(), cutoff_metres, stats);
}

}  // namespace sferix::geodetic
