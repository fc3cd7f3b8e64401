#include "index/nearest_k.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <unordered_set>
#include <utility>

#include "geodetic/distance.hpp"
#include "geodetic/wgs84.hpp"
#include "index/k_best.hpp"
#include "index/nearest_position.hpp"
#include "index/nearest_walk.hpp"

namespace sferix::indexed {

namespace {

// The sphere bound is exact for exact distances, but the chord and the geodesic inverse
// each round, by about 1e-9 m near zero; the bound only ends the walk beyond this margin,
// so points at (almost) the query's place still compete on position.
constexpr double ROUNDING_SLACK_METRES = 1e-6;

// Nearer first, then the smaller position: the order of every k-nearest answer.
bool precedes(const PositionWithMetres& a, const PositionWithMetres& b) noexcept {
    return a.metres < b.metres || (a.metres == b.metres && a.position < b.position);
}
struct Precedes {
    bool operator()(const PositionWithMetres& a, const PositionWithMetres& b) const noexcept { return precedes(a, b); }
};

// A leaf the bounded walk holds: its squared chord, input position and leaf index.
struct Candidate {
    double chord_2;
    std::uint32_t position;
    std::uint32_t leaf;
};

bool chord_precedes(const Candidate& a, const Candidate& b) noexcept {
    return a.chord_2 < b.chord_2 || (a.chord_2 == b.chord_2 && a.position < b.position);
}
struct ChordPrecedes {
    bool operator()(const Candidate& a, const Candidate& b) const noexcept { return chord_precedes(a, b); }
};

// The k nearest points by (metres, position), found best-first over the nodes: a
// node's leaves go straight into the k best by (squared chord, position) when it is
// expanded, never into the queue. A node or leaf is skipped when its squared chord is
// beyond the k-th's by more than METRE_TIE_GAP (its metres are larger), or when it lies
// no nearer than the k-th and every position below it is larger than all k held: then
// the k held precede all of its points. Leaves within the gap that do not enter the k
// best are kept aside (near), since equal metres may still rank them by position.
struct KNearestPolicy : ByPosition {
    KBest<Candidate, ChordPrecedes> best;
    std::vector<Candidate>* near;
    double limit_2;  // max_metres and the hint's bound, as squared chords widened by the gap
    double bound_2 = limit_2;

    // Whether the k held answers precede every point at a squared chord ≥ distance_2
    // whose position is ≥ `position`.
    [[nodiscard]] bool all_held_precede(double distance_2, std::uint32_t position) const {
        if (!best.full() || distance_2 < best.worst().chord_2) {
            return false;
        }
        return std::ranges::max(best.items(), {}, &Candidate::position).position < position;
    }

    [[nodiscard]] bool admit(const rtree::WalkEntry& child) {
        if (!child.is_leaf) {
            return child.distance_2 <= bound_2 && !all_held_precede(child.distance_2, child.tie_break);
        }
        const Candidate found{child.distance_2, child.tie_break, child.index};
        if (!(found.chord_2 <= bound_2)) {
            return false;
        }
        if (!best.full()) {
            best.push(found);
            if (best.full()) {
                tighten();
            }
        } else if (chord_precedes(found, best.worst())) {
            const Candidate evicted = best.replace_worst(found);
            tighten();
            if (evicted.chord_2 <= bound_2) {
                near->push_back(evicted);
            }
        } else if (!all_held_precede(found.chord_2, found.position)) {
            near->push_back(found);
        }
        return false;
    }

    void tighten() { bound_2 = std::min(limit_2, best.worst().chord_2 * (1.0 + METRE_TIE_GAP)); }
};

void bounded_nearest_k(const geodetic::PointTree& tree, const geodetic::UnitVec& query, std::size_t k,
                       double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint) {
    const PointView view = tree.rtree().view();
    std::vector<Candidate> held;
    held.reserve(k);
    std::vector<Candidate> near;
    const double limit_2 =
        std::min(geodetic::metres_to_squared_chord(max_metres), hint_chord_2(view, query, k, hint)) *
        (1.0 + METRE_TIE_GAP);
    rtree::BestFirstWalk walk(view, query,
                              KNearestPolicy{{tree.min_positions()}, KBest<Candidate, ChordPrecedes>(held, k), &near, limit_2});
    const KNearestPolicy& policy = walk.policy();
    while (const std::optional<rtree::WalkEntry> entry = walk.pop()) {
        // Nodes come out by squared chord and the bound only shrinks: nothing later fits.
        if (!(entry->distance_2 <= policy.bound_2)) {
            break;
        }
        if (!policy.all_held_precede(entry->distance_2, entry->tie_break)) {
            walk.expand(*entry);
        }
    }

    // The held and the kept candidates, no longer a heap, ranked by metres.
    for (const Candidate& candidate : near) {
        if (candidate.chord_2 <= policy.bound_2) {
            held.push_back(candidate);
        }
    }
    std::vector<std::pair<PositionWithMetres, std::uint32_t>> ranked;
    ranked.reserve(held.size());
    for (const Candidate& candidate : held) {
        const double metres = geodetic::squared_chord_to_metres(candidate.chord_2);
        if (metres <= max_metres) {
            ranked.push_back({PositionWithMetres{candidate.position, metres}, candidate.leaf});
        }
    }
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return precedes(a.first, b.first); });
    if (ranked.size() > k) {
        ranked.resize(k);
    }
    for (const auto& [hit, leaf] : ranked) {
        hits.push_back(hit);
    }
    if (hint != nullptr) {
        hint->leaves.clear();
        for (const auto& [hit, leaf] : ranked) {
            hint->leaves.push_back(leaf);
        }
    }
}

// The WGS84 k nearest walk: every point within bound_2 is queued, and met on the way
// in: the k nearest met on the sphere bound the answer from above. No answer's
// geodesic metres exceed `limit`: max_metres; then, once k points are met (or given by
// the hint), the upper bound of the k-th nearest of them on the sphere; then the k-th
// answer held. bound_2 is a squared chord beyond which the sphere lower bound of every
// point exceeds it; the tie gap makes it err wide of the metres test, so it only drops
// what that test would drop.
struct Wgs84KNearestPolicy : ByPosition {
    std::span<const geodetic::GeodeticCoord> coords;
    KBest<Candidate, ChordPrecedes> met;  // the k nearest points met on the sphere
    double limit = NO_MAX_DISTANCE;
    double bound_2 = std::numeric_limits<double>::infinity();

    void lower_limit(double metres) {
        if (metres < limit) {
            limit = metres;
            bound_2 = geodetic::metres_to_squared_chord((limit + ROUNDING_SLACK_METRES) /
                                                        geodetic::WGS84_SPHERE_LOWER_BOUND) *
                      (1.0 + METRE_TIE_GAP);
        }
    }
    // The metres no point at squared chord distance_2 exceeds on WGS84.
    [[nodiscard]] static double at_most_metres(double distance_2) {
        return geodetic::squared_chord_to_metres(distance_2) * geodetic::WGS84_SPHERE_UPPER_BOUND + ROUNDING_SLACK_METRES;
    }

    [[nodiscard]] bool admit(const rtree::WalkEntry& child) {
        if (!(child.distance_2 <= bound_2)) {
            return false;
        }
        if (child.is_leaf) {
            __builtin_prefetch(&coords[child.tie_break]);
            if (met.offer(Candidate{child.distance_2, child.tie_break, child.index}) && met.full()) {
                lower_limit(at_most_metres(met.worst().chord_2));
            }
        }
        return true;
    }
};

}  // namespace

template <geodetic::GeodeticLeaf Leaf>
void nearest_k(const geodetic::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query, std::size_t k,
               double max_metres, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    auto sequence = tree.nearest_neighbor_iter_with_distance(query);
    // The parts of a multipart item share its position: its first leaf met is its
    // nearest part, and the others are passed over.
    std::unordered_set<std::uint64_t> met;
    while (const auto hit = sequence.next()) {
        // Metres come out nondecreasing, so the first leaf past either bound ends the
        // walk; leaves tied with the k-th are kept so the position can break the tie.
        if (!(hit->metres <= max_metres)) {
            break;
        }
        if (hits.size() >= k && hit->metres > hits.back().metres) {
            break;
        }
        if (tree.repeats_positions() && !met.insert(hit->leaf->data()).second) {
            continue;
        }
        hits.push_back({hit->leaf->data(), hit->metres});
    }
    std::sort(hits.begin(), hits.end(), precedes);
    if (hits.size() > k) {
        hits.resize(k);
    }
}

void nearest_k(const geodetic::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
               double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    if (k != 1) {
        bounded_nearest_k(tree, query.vector(), k, max_metres, hits, hint);
        return;
    }
    const std::optional<PositionWithMetres> nearest = nearest_position(tree, query, hint);
    if (nearest && nearest->metres <= max_metres) {
        hits.push_back(*nearest);
    }
}

void nearest_k_wgs84(const geodetic::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                     double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    const PointView view = tree.rtree().view();
    std::vector<Candidate> met;
    Wgs84KNearestPolicy start{{tree.min_positions()}, tree.coords(), KBest<Candidate, ChordPrecedes>(met, k)};
    start.lower_limit(max_metres);
    if (const double hinted_2 = hint_chord_2(view, query.vector(), k, hint); hinted_2 < NO_MAX_DISTANCE) {
        start.lower_limit(Wgs84KNearestPolicy::at_most_metres(hinted_2));
    }
    rtree::BestFirstWalk walk(view, query.vector(), start);
    Wgs84KNearestPolicy& policy = walk.policy();

    // The k nearest by geodesic metres, in hits.
    KBest<PositionWithMetres, Precedes> best(hits, k);
    while (const std::optional<rtree::WalkEntry> entry = walk.pop()) {
        // Entries come out by squared chord and the bound only shrinks: nothing later fits.
        if (!(entry->distance_2 <= policy.bound_2)) {
            break;
        }
        if (!entry->is_leaf) {
            walk.expand(*entry);
            continue;
        }
        // A lower bound of this and every later point's geodesic metres.
        const double bound = geodetic::squared_chord_to_metres(entry->distance_2) * geodetic::WGS84_SPHERE_LOWER_BOUND -
                             ROUNDING_SLACK_METRES;
        if (bound > policy.limit) {
            break;
        }
        const geodetic::GeodeticCoord& point = tree.coord(entry->tie_break);
        const double d = geodetic::geodesic_distance_wgs84(query.lon(), query.lat(), point.lon(), point.lat());
        if (!(d <= max_metres)) {
            continue;
        }
        if (best.offer(PositionWithMetres{entry->tie_break, d}) && best.full()) {
            policy.lower_limit(best.worst().metres);
        }
    }
    best.sort();
    if (hint != nullptr) {
        hint->leaves.clear();
        if (policy.met.full()) {
            for (const Candidate& point : met) {
                hint->leaves.push_back(point.leaf);
            }
        }
    }
}

template void nearest_k<geodetic::PointLeaf>(const geodetic::GeodeticRTree<geodetic::PointLeaf>&,
                                              const geodetic::GeodeticPoint&, std::size_t, double,
                                              std::vector<PositionWithMetres>&);
template void nearest_k<geodetic::LineStringLeaf>(const geodetic::GeodeticRTree<geodetic::LineStringLeaf>&,
                                              const geodetic::GeodeticPoint&, std::size_t, double,
                                              std::vector<PositionWithMetres>&);
template void nearest_k<geodetic::PolygonLeaf>(const geodetic::GeodeticRTree<geodetic::PolygonLeaf>&,
                                              const geodetic::GeodeticPoint&, std::size_t, double,
                                              std::vector<PositionWithMetres>&);

}  // namespace sferix::indexed
