#include "index/nearest_position.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "geodetic/distance.hpp"
#include "geodetic/wgs84.hpp"
#include "rtree/algorithm/small_heap.hpp"
#include "rtree/params.hpp"
#include "rtree/invariant.hpp"
#include "support/chunked_run.hpp"

namespace sferix::indexed {

using geodetic::PointLeaf;
using geodetic::UnitVec;

namespace {

// A pending node or leaf ordered by squared chord, then by the smallest input
// position below it (the leaf's own for a leaf).
// Trivial, so that a walk's scratch arrays of them cost nothing to create.
struct TieEntry {
    std::uint32_t index;
    bool is_leaf;
    double distance_2;
    std::uint32_t tie_break;
};

// One place of the tree: a unit vector and the smallest input position stored there.
struct Place {
    UnitVec vector;
    std::uint32_t position;
};

// Best-first over a point tree in (squared chord, smallest position below) order.
// A child's key is never below its parent's (its box lies inside, its positions are
// a subset), so entries come out in nondecreasing key order: leaves in increasing
// (squared chord, input position), and every leaf at one vector before any later
// leaf at that vector has a larger position.
class TieOrderedWalk {
public:
    // Queues nothing beyond the squared chord bound_2. A walk `by_sphere` looks for the
    // points nearest on the sphere: every leaf it meets is a real point, so it also
    // queues nothing beyond the metre tie gap of the nearest leaf met so far (such an
    // entry cannot win or tie). A walk by another measure must see every leaf in order.
    TieOrderedWalk(const geodetic::PointTree& tree, const UnitVec& query, bool by_sphere,
                   double bound_2 = std::numeric_limits<double>::infinity())
        : view_(tree.rtree().view()),
          minima_(tree.min_positions()),
          query_(query),
          by_sphere_(by_sphere),
          bound_2_(bound_2) {
        expand(view_.root());
    }

    // The squared chord from the query to the nearest of the hint's leaves, widened by
    // the metre tie gap: no leaf beyond it can win or tie. Infinite without a usable hint.
    [[nodiscard]] static double hint_bound_2(const geodetic::PointTree& tree, const UnitVec& query,
                                             const NearestHint* hint) {
        double nearest_2 = std::numeric_limits<double>::infinity();
        if (hint != nullptr) {
            const auto leaves = tree.rtree().view().leaves;
            for (const std::uint32_t leaf : hint->leaves) {
                if (leaf < leaves.size()) {
                    nearest_2 = std::min(nearest_2, leaves[leaf].distance_2(query));
                }
            }
        }
        return nearest_2 * (1.0 + METRE_TIE_GAP);
    }

    // A leaf at the entry's place (the entry being a place).
    [[nodiscard]] std::uint32_t leaf_of_place(const TieEntry& entry) const {
        if (entry.is_leaf) {
            return entry.index;
        }
        const rtree::FlatNode<UnitVec>* node = &view_.nodes[entry.index];
        while (!node->has_leaf_children()) {
            node = &view_.nodes[node->first];
        }
        return node->first;
    }

    // The entry with the smallest key. Keys are unique among pending entries (siblings
    // hold disjoint positions, and a child is queued only once its parent is out), so
    // holding the nearest child of the last expansion aside keeps the order exactly.
    [[nodiscard]] std::optional<TieEntry> pop() {
        if (has_next_) {
            has_next_ = false;
            const std::span<const TieEntry> queued = heap_.entries();
            if (queued.empty() || precedes(next_, queued[0])) {
                return next_;
            }
            heap_.extend(std::span<const TieEntry>(&next_, 1));
        }
        return heap_.pop();
    }

    [[nodiscard]] const rtree::FlatNode<UnitVec>& node(const TieEntry& entry) const { return view_.nodes[entry.index]; }

    // What an entry stands for when it is one place: a leaf, or a node whose box is a
    // single vector, all of whose leaves share that vector (hence that squared chord)
    // and are represented by the smallest position below it. Such a subtree of
    // duplicates is answered without being walked. Nothing for any other node.
    [[nodiscard]] std::optional<Place> place(const TieEntry& entry) const {
        if (entry.is_leaf) {
            return Place{view_.leaves[entry.index].vector(), entry.tie_break};
        }
        const geodetic::Envelope& box = view_.nodes[entry.index].envelope;
        if (box.lower() == box.upper()) {
            return Place{box.lower(), entry.tie_break};
        }
        return std::nullopt;
    }

    // Pushes the children of `node` whose smallest position is below `position_bound`.
    void expand(const rtree::FlatNode<UnitVec>& node, std::uint32_t position_bound = std::numeric_limits<std::uint32_t>::max()) {
        Run run;
        const std::uint32_t end = node.first + std::uint32_t{node.count};
        if (node.has_leaf_children()) {
            std::array<double, rtree::MAX_INNER_CHILDREN> distances_2{};
            rtree::check_invariant(node.count <= distances_2.size(), "a node with more than MAX_INNER_CHILDREN children");
            double nearest_2 = std::numeric_limits<double>::infinity();
            for (std::uint32_t i = node.first; i < end; ++i) {
                const double distance_2 = view_.leaves[i].distance_2(query_);
                distances_2[i - node.first] = distance_2;
                nearest_2 = std::min(nearest_2, distance_2);
            }
            if (by_sphere_) {
                bound_2_ = std::min(bound_2_, nearest_2 * (1.0 + METRE_TIE_GAP));
            }
            for (std::uint32_t i = node.first; i < end; ++i) {
                const auto position = static_cast<std::uint32_t>(view_.leaves[i].data());
                const double distance_2 = distances_2[i - node.first];
                if (position < position_bound && distance_2 <= bound_2_) {
                    run.push(TieEntry{i, true, distance_2, position});
                }
            }
        } else {
            for (std::uint32_t i = node.first; i < end; ++i) {
                const double distance_2 = view_.nodes[i].envelope.distance_2(query_);
                if (minima_[i] < position_bound && distance_2 <= bound_2_) {
                    run.push(TieEntry{i, false, distance_2, minima_[i]});
                }
            }
        }
        // The nearest child is usually the next entry out: it waits beside the heap
        // rather than going through it.
        if (run.length == 0) {
            return;
        }
        TieEntry* nearest = run.entries.data();
        for (std::size_t i = 1; i < run.length; ++i) {
            if (precedes(run.entries[i], *nearest)) {
                nearest = &run.entries[i];
            }
        }
        if (has_next_) {
            heap_.extend(std::span<const TieEntry>(&next_, 1));
        }
        next_ = *nearest;
        has_next_ = true;
        *nearest = run.entries[run.length - 1];
        --run.length;
        heap_.extend(run);
    }

private:
    [[nodiscard]] static bool precedes(const TieEntry& a, const TieEntry& b) noexcept {
        return a.distance_2 < b.distance_2 || (a.distance_2 == b.distance_2 && a.tie_break < b.tie_break);
    }

    // The kept children of one node, in storage order: SmallHeap::extend takes a
    // sized run, and a node has at most MAX_INNER_CHILDREN children.
    struct Run {
        std::array<TieEntry, rtree::MAX_INNER_CHILDREN> entries;
        std::size_t length = 0;

        void push(const TieEntry& entry) {
            rtree::check_invariant(length < entries.size(), "a node with more than MAX_INNER_CHILDREN children");
            entries[length++] = entry;
        }
        [[nodiscard]] const TieEntry* begin() const noexcept { return entries.data(); }
        [[nodiscard]] const TieEntry* end() const noexcept { return entries.data() + length; }
        [[nodiscard]] std::size_t size() const noexcept { return length; }
    };

    rtree::FlatTreeView<PointLeaf> view_;
    std::span<const std::uint32_t> minima_;
    UnitVec query_;
    bool by_sphere_;
    double bound_2_;
    rtree::SmallHeap<TieEntry> heap_;
    TieEntry next_;
    bool has_next_ = false;
};

}  // namespace

std::optional<PositionWithMetres> nearest_position(const geodetic::PointTree& tree,
                                                   const geodetic::GeodeticPoint& query, NearestHint* hint) {
    TieOrderedWalk walk(tree, query.vector(), true, TieOrderedWalk::hint_bound_2(tree, query.vector(), hint));
    std::optional<TieEntry> first;
    support::StopCheck stop;
    while ((first = walk.pop())) {
        stop.visit();
        if (walk.place(*first)) {
            break;
        }
        walk.expand(walk.node(*first));
    }
    if (!first) {
        return std::nullopt;
    }
    if (hint != nullptr) {
        hint->leaves.assign(1, walk.leaf_of_place(*first));
    }
    // The first leaf has the smallest squared chord and, among those, the smallest
    // position. Leaves at a larger chord whose metres round to the same value still
    // tie, so the walk goes on while the metres stay equal, and only into subtrees
    // that hold a smaller position.
    const double m0 = geodetic::squared_chord_to_metres(first->distance_2);
    const double tie_bound_2 = first->distance_2 * (1.0 + METRE_TIE_GAP);
    std::uint32_t best_position = first->tie_break;
    while (const std::optional<TieEntry> entry = walk.pop()) {
        stop.visit();
        // Written so that a NaN distance counts as a tie rather than ending the run; the
        // chord test first spares the conversion for all but near ties.
        if (entry->distance_2 > tie_bound_2 || geodetic::squared_chord_to_metres(entry->distance_2) > m0) {
            break;
        }
        if (entry->tie_break >= best_position) {
            continue;
        }
        if (walk.place(*entry)) {
            best_position = entry->tie_break;
        } else {
            walk.expand(walk.node(*entry), best_position);
        }
    }
    return PositionWithMetres{best_position, m0};
}

std::optional<PositionWithMetres> nearest_position_wgs84(const geodetic::PointTree& tree,
                                                         const geodetic::GeodeticPoint& query, GeodesicSearchStats* stats) {
    TieOrderedWalk walk(tree, query.vector(), false);

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

    support::StopCheck stop;
    while (const std::optional<TieEntry> entry = walk.pop()) {
        stop.visit();
        if (best_position) {
            // Every later leaf is at least this far on the sphere, hence at least this
            // lower bound on the ellipsoid: none of them can beat best_d any more.
            const double sphere_metres = geodetic::squared_chord_to_metres(entry->distance_2);
            if (sphere_metres * geodetic::WGS84_SPHERE_LOWER_BOUND > best_d) {
                break;
            }
        }
        const std::optional<Place> place = walk.place(*entry);
        if (!place) {
            walk.expand(walk.node(*entry));
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
