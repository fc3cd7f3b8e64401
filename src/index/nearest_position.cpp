#include "index/nearest_position.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include "geodetic/distance.hpp"
#include "geodetic/wgs84.hpp"
#include "index/nearest_walk.hpp"

namespace sferix::indexed {

using geodetic::UnitVec;

namespace {

// Queues nothing beyond the squared chord `bound`, nor any entry whose smallest
// position is not below position_bound. Every leaf the walk meets is a real point, so
// it also queues nothing beyond the metre tie gap of the nearest leaf met so far (such
// an entry cannot win or tie), nor a node's leaves beyond that of the node's nearest.
struct NearestPolicy : ByPosition {
    SquaredChord bound = SquaredChord::infinity();
    std::uint32_t position_bound = std::numeric_limits<std::uint32_t>::max();

    void meet_leaves(double nearest_2) noexcept { bound = std::min(bound, tie_widened(SquaredChord::from_raw(nearest_2))); }
    [[nodiscard]] bool admit(const rtree::WalkEntry& child) const noexcept {
        return child.tie_break < position_bound && chord_of(child) <= bound;
    }
    [[nodiscard]] double leaf_bound() const noexcept { return bound.raw(); }
};

// The WGS84 nearest walk queues nothing whose sphere lower bound exceeds `limit`:
// the metres of a point met (on the way in, its sphere upper bound) or solved. What
// it drops would have ended the walk when taken out, so the answer is the same; the
// walk just does not queue every leaf of every node it opens.
struct Wgs84NearestPolicy : ByPosition, Wgs84Limit {
    [[nodiscard]] bool admit(const rtree::WalkEntry& child) {
        if (!within_bound(child)) {
            return false;
        }
        if (child.is_leaf) {
            lower_limit(wgs84_at_most_metres(chord_of(child)));
        }
        return true;
    }
    [[nodiscard]] bool keep_leaf(const rtree::WalkEntry& child) const noexcept { return within_bound(child); }
};

}  // namespace

std::optional<PositionWithMetres> nearest_position(const indexed::PointTree& tree,
                                                   const geodetic::GeodeticPoint& query, NearestHint* hint) {
    const PointView view = tree.rtree().view();
    const SquaredChord hinted = tie_widened(hint_chord(view, query.vector(), 1, hint));
    rtree::BestFirstWalk walk(view, query.vector(), NearestPolicy{{tree.min_positions()}, hinted});
    std::optional<rtree::WalkEntry> first;
    while ((first = walk.pop())) {
        if (place_of(view, *first)) {
            break;
        }
        walk.expand(*first);
    }
    if (!first) {
        return std::nullopt;
    }
    if (hint != nullptr) {
        hint->leaves.assign(1, leaf_of_place(view, *first));
    }
    // The first leaf has the smallest squared chord and, among those, the smallest
    // position. Leaves at a larger chord whose metres round to the same value still
    // tie, so the walk goes on while the metres stay equal, and only into subtrees
    // that hold a smaller position.
    const double m0 = chord_of(*first).metres();
    const SquaredChord tie_bound = tie_widened(chord_of(*first));
    std::uint32_t& best_position = walk.policy().position_bound;
    best_position = first->tie_break;
    while (const std::optional<rtree::WalkEntry> entry = walk.pop()) {
        // Written so that a NaN distance counts as a tie rather than ending the run; the
        // chord test first spares the conversion for all but near ties.
        if (chord_of(*entry) > tie_bound || chord_of(*entry).metres() > m0) {
            break;
        }
        if (entry->tie_break >= best_position) {
            continue;
        }
        if (place_of(view, *entry)) {
            best_position = entry->tie_break;
        } else {
            walk.expand(*entry);
        }
    }
    return PositionWithMetres{best_position, m0};
}

std::optional<PositionWithMetres> nearest_position_wgs84(const indexed::PointTree& tree,
                                                         const geodetic::GeodeticPoint& query, GeodesicSearchStats* stats) {
    const PointView view = tree.rtree().view();
    rtree::BestFirstWalk walk(view, query.vector(), Wgs84NearestPolicy{{tree.min_positions()}, {}});
    // The winner so far, and the last vector solved (duplicates come out in runs,
    // so one remembered vector saves their inverses).
    std::optional<std::uint32_t> best_position;
    UnitVec best_vector{};
    double best_d = 0.0;
    std::optional<UnitVec> solved_vector;
    double solved_d = 0.0;
    std::uint64_t inverses = 0;

    // A point at `v` cannot take the lead: it is the winner's own vector (and comes
    // later, so with a larger position) or a vector already solved and not closer.
    const auto cannot_win = [&](const UnitVec& v) {
        if (!best_position) {
            return false;
        }
        return v == best_vector || (solved_vector && v == *solved_vector && !(solved_d < best_d));
    };

    while (const std::optional<rtree::WalkEntry> entry = walk.pop()) {
        if (best_position) {
            // Every later leaf is at least this far on the sphere, hence at least this
            // lower bound on the ellipsoid: none of them can beat best_d any more.
            const double sphere_metres = chord_of(*entry).metres();
            if (sphere_metres * geodetic::WGS84_SPHERE_LOWER_BOUND > best_d) {
                break;
            }
        }
        const std::optional<Place> place = place_of(view, *entry);
        if (!place) {
            walk.expand(*entry);
            continue;
        }
        if (cannot_win(place->vector)) {
            continue;
        }
        double d = 0.0;
        if (solved_vector && place->vector == *solved_vector) {
            d = solved_d;
        } else {
            const geodetic::GeodeticCoord& coord = tree.coord(place->position);
            d = geodetic::geodesic_distance_wgs84(query.lon(), query.lat(), coord.lon(), coord.lat());
            ++inverses;
            solved_vector = place->vector;
            solved_d = d;
        }
        if (!best_position || d < best_d) {
            best_position = place->position;
            best_vector = place->vector;
            best_d = d;
            walk.policy().lower_limit(d);
        }
    }
    if (stats != nullptr) {
        stats->geodesic_inverses = inverses;
    }
    if (!best_position) {
        return std::nullopt;
    }
    return PositionWithMetres{*best_position, best_d};
}

}  // namespace sferix::indexed
