#include "index/nearest_k.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <unordered_set>
#include <utility>

#include "geodetic/distance.hpp"
#include "geodetic/edge_wgs84.hpp"
#include "geodetic/wgs84.hpp"
#include "index/k_best.hpp"
#include "index/nearest_position.hpp"
#include "rtree/algorithm/prefetch.hpp"
#include "rtree/algorithm/small_heap.hpp"
#include "rtree/params.hpp"
#include "support/chunked_run.hpp"

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

// A node waiting in the bounded walk, by its box's squared chord, then the smallest
// position below it. Trivial, so that the walk's inline heap (512 bytes) is not cleared
// for every query: nearest_k(q, 10) on a tree of ten points 1.41 -> 1.28 us a call.
struct NodeEntry {
    double distance_2;
    std::uint32_t tie_break;
    std::uint32_t index;
};

// A node (is_leaf 0) or point leaf waiting in the WGS84 walk, by its squared chord.
// Trivial, like NodeEntry.
struct WalkEntry {
    double distance_2;
    std::uint32_t index;
    std::uint32_t is_leaf;
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

// The squared chord to the farthest of the hint's k leaves: k points lie within it.
// Infinite unless the hint holds exactly k usable leaves.
double hint_chord_2(const rtree::FlatTreeView<geodetic::PointLeaf>& view, const geodetic::UnitVec& query,
                    std::size_t k, const NearestHint* hint) {
    if (hint == nullptr || hint->leaves.size() != k) {
        return std::numeric_limits<double>::infinity();
    }
    double farthest_2 = 0.0;
    for (const std::uint32_t leaf : hint->leaves) {
        if (leaf >= view.leaves.size()) {
            return std::numeric_limits<double>::infinity();
        }
        farthest_2 = std::max(farthest_2, view.leaves[leaf].distance_2(query));
    }
    return farthest_2;
}

// hint_chord_2 widened by the metre tie gap: no answer lies beyond.
double widened_hint_chord_2(const rtree::FlatTreeView<geodetic::PointLeaf>& view, const geodetic::UnitVec& query,
                    std::size_t k, const NearestHint* hint) {
    return hint_chord_2(view, query, k, hint) * (1.0 + METRE_TIE_GAP);
}

// The k nearest points by (metres, position), found best-first over the nodes with the
// k best by (squared chord, position) held in a max-heap (front() the k-th). A node or
// leaf is skipped when its squared chord is beyond the k-th's by more than METRE_TIE_GAP
// (its metres are larger), or when it lies no nearer than the k-th and every position
// below it is larger than all k held: then the k held precede all of its points. Leaves
// within the gap that do not enter the k best are kept aside, since equal metres may
// still rank them by position. At the end the held and kept candidates are ranked by
// metres.
void bounded_nearest_k(const geodetic::PointTree& tree, const geodetic::UnitVec& query, std::size_t k,
                       double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint) {
    const auto view = tree.rtree().view();
    const std::span<const std::uint32_t> minima = tree.min_positions();
    const double limit_2 = std::min(geodetic::metres_to_squared_chord(max_metres) * (1.0 + METRE_TIE_GAP),
                                    widened_hint_chord_2(view, query, k, hint));
    double bound_2 = limit_2;
    std::vector<Candidate> held;
    held.reserve(k);
    KBest<Candidate, ChordPrecedes> best(held, k);
    std::vector<Candidate> near;

    const auto full = [&] { return best.full(); };
    const auto tighten = [&] { bound_2 = std::min(limit_2, best.worst().chord_2 * (1.0 + METRE_TIE_GAP)); };
    // Whether the k held answers precede every point at a squared chord ≥ distance_2
    // whose position is ≥ `position`.
    const auto all_held_precede = [&](double distance_2, std::uint32_t position) {
        if (!full() || distance_2 < best.worst().chord_2) {
            return false;
        }
        const auto largest = std::max_element(held.begin(), held.end(), [](const Candidate& a, const Candidate& b) {
            return a.position < b.position;
        });
        return largest->position < position;
    };
    const auto offer = [&](const Candidate& found) {
        if (!(found.chord_2 <= bound_2)) {
            return;
        }
        if (!full()) {
            best.push(found);
            if (full()) {
                tighten();
            }
        } else if (chord_precedes(found, best.worst())) {
            const Candidate evicted = best.replace_worst(found);
            tighten();
            if (evicted.chord_2 <= bound_2) {
                near.push_back(evicted);
            }
        } else if (!all_held_precede(found.chord_2, found.position)) {
            near.push_back(found);
        }
    };

    rtree::SmallHeap<NodeEntry> pending;
    // Offers a leaf-level node's leaves, or queues the children of an inner node that may
    // still hold an answer. Until k are held there is no bound, and queuing every child
    // would fill the heap with nodes never taken out again (a cold search of 10 on 10^4
    // points queued 48 nodes and took out 14): then the nearest child is expanded at
    // once, and its siblings are queued after it, against the bound it leaves. Every
    // queued node is still a descendant of the one taken out, so nodes still come out by
    // squared chord.
    const auto expand = [&](const auto& self, const rtree::FlatNode<geodetic::UnitVec>& node) -> void {
        const std::uint32_t end = node.first + std::uint32_t{node.count};
        if (node.has_leaf_children()) {
            for (std::uint32_t i = node.first; i < end; ++i) {
                const geodetic::PointLeaf& leaf = view.leaves[i];
                offer(Candidate{leaf.distance_2(query), static_cast<std::uint32_t>(leaf.data()), i});
            }
            return;
        }
        const auto may_hold_answers = [&](const NodeEntry& child) {
            return child.distance_2 <= bound_2 && !all_held_precede(child.distance_2, child.tie_break);
        };
        std::array<NodeEntry, rtree::MAX_INNER_CHILDREN> run;  // the first `length` are set
        std::size_t length = 0;
        for (std::uint32_t i = node.first; i < end; ++i) {
            const NodeEntry child{view.nodes[i].envelope.distance_2(query), minima[i], i};
            if (may_hold_answers(child)) {
                rtree::check_invariant(length < run.size(), "a node with more than MAX_INNER_CHILDREN children");
                run[length++] = child;
            }
        }
        if (!full() && length != 0) {
            const auto nearest = std::min_element(run.begin(), run.begin() + length,
                                                  [](const NodeEntry& a, const NodeEntry& b) {
                                                      return a.distance_2 < b.distance_2;
                                                  });
            const std::uint32_t first = nearest->index;
            *nearest = run[--length];
            self(self, view.nodes[first]);
            length = static_cast<std::size_t>(
                std::remove_if(run.begin(), run.begin() + length, std::not_fn(may_hold_answers)) - run.begin());
        }
        for (std::size_t i = 0; i < length; ++i) {
            rtree::prefetch_children(view, view.nodes[run[i].index]);
        }
        pending.extend(std::span<const NodeEntry>(run.data(), length));
    };

    support::StopCheck stop;
    expand(expand, view.root());
    while (const std::optional<NodeEntry> entry = pending.pop()) {
        stop.visit();
        // Nodes come out by squared chord and the bound only shrinks: nothing later fits.
        if (!(entry->distance_2 <= bound_2)) {
            break;
        }
        if (!all_held_precede(entry->distance_2, entry->tie_break)) {
            expand(expand, view.nodes[entry->index]);
        }
    }

    // The held and the kept candidates, no longer a heap.
    for (const Candidate& candidate : near) {
        if (candidate.chord_2 <= bound_2) {
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
    const auto view = tree.rtree().view();
    const geodetic::UnitVec& q = query.vector();
    // No answer's geodesic metres exceed `limit`: max_metres; then, once k points are
    // met (or given by the hint), the upper bound of the k-th nearest of them on the
    // sphere (k points are at most that far); then the k-th held. bound_2 is a squared
    // chord beyond which the sphere lower bound of every point exceeds it; the tie gap
    // makes it err wide of the metres test below, so it only drops what that test
    // would drop.
    double limit = NO_MAX_DISTANCE;
    double bound_2 = std::numeric_limits<double>::infinity();
    const auto lower_limit = [&](double metres) {
        if (metres < limit) {
            limit = metres;
            bound_2 = geodetic::metres_to_squared_chord((limit + ROUNDING_SLACK_METRES) / geodetic::WGS84_SPHERE_LOWER_BOUND) *
                      (1.0 + METRE_TIE_GAP);
        }
    };
    const auto at_most_metres = [](double distance_2) {
        return geodetic::squared_chord_to_metres(distance_2) * geodetic::WGS84_SPHERE_UPPER_BOUND + ROUNDING_SLACK_METRES;
    };
    lower_limit(max_metres);
    if (const double hinted_2 = hint_chord_2(view, q, k, hint); hinted_2 < NO_MAX_DISTANCE) {
        lower_limit(at_most_metres(hinted_2));
    }
    // The k nearest points met on the sphere.
    std::vector<Candidate> met_storage;
    KBest<Candidate, ChordPrecedes> met(met_storage, k);
    const auto meet = [&](const Candidate& point) {
        if (met.offer(point) && met.full()) {
            lower_limit(at_most_metres(met.worst().chord_2));
        }
    };

    rtree::SmallHeap<WalkEntry, 64> pending;
    const auto expand = [&](const rtree::FlatNode<geodetic::UnitVec>& node) {
        const bool leaves = node.has_leaf_children();
        const std::uint32_t end = node.first + std::uint32_t{node.count};
        std::array<WalkEntry, rtree::MAX_INNER_CHILDREN> run;  // the first `length` are set
        std::size_t length = 0;
        for (std::uint32_t i = node.first; i < end; ++i) {
            rtree::check_invariant(length < run.size(), "a node with more than MAX_INNER_CHILDREN children");
            if (leaves) {
                const geodetic::PointLeaf& leaf = view.leaves[i];
                const double distance_2 = leaf.distance_2(q);
                if (distance_2 <= bound_2) {
                    run[length++] = WalkEntry{distance_2, i, 1};
                    __builtin_prefetch(&tree.coord(leaf.data()));
                    meet(Candidate{distance_2, static_cast<std::uint32_t>(leaf.data()), i});
                }
            } else {
                const double distance_2 = view.nodes[i].envelope.distance_2(q);
                if (distance_2 <= bound_2) {
                    run[length++] = WalkEntry{distance_2, i, 0};
                    rtree::prefetch_children(view, view.nodes[i]);
                }
            }
        }
        pending.extend(std::span<const WalkEntry>(run.data(), length));
    };

    // The k nearest by geodesic metres, in hits.
    KBest<PositionWithMetres, Precedes> best(hits, k);
    support::StopCheck stop;
    expand(view.root());
    while (const std::optional<WalkEntry> entry = pending.pop()) {
        stop.visit();
        // Entries come out by squared chord and the bound only shrinks: nothing later fits.
        if (!(entry->distance_2 <= bound_2)) {
            break;
        }
        if (entry->is_leaf == 0) {
            expand(view.nodes[entry->index]);
            continue;
        }
        // A lower bound of this and every later point's geodesic metres.
        const double bound = geodetic::squared_chord_to_metres(entry->distance_2) * geodetic::WGS84_SPHERE_LOWER_BOUND -
                             ROUNDING_SLACK_METRES;
        if (bound > limit) {
            break;
        }
        const std::uint64_t position = view.leaves[entry->index].data();
        const geodetic::GeodeticCoord& point = tree.coord(position);
        const double d = geodetic::geodesic_distance_wgs84(query.lon(), query.lat(), point.lon(), point.lat());
        if (!(d <= max_metres)) {
            continue;
        }
        if (best.offer(PositionWithMetres{position, d}) && best.full()) {
            lower_limit(best.worst().metres);
        }
    }
    best.sort();
    if (hint != nullptr) {
        hint->leaves.clear();
        if (met.full()) {
            for (const Candidate& point : met.items()) {
                hint->leaves.push_back(point.leaf);
            }
        }
    }
}

template <geodetic::GeodeticLeaf Leaf>
void nearest_k_wgs84(const geodetic::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                     double max_metres, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    // Every position measured, at the least metres any of its parts gave.
    std::vector<PositionWithMetres>& found = hits;
    std::vector<double> metres;
    double kth = NO_MAX_DISTANCE;
    support::StopCheck stop;
    for (const auto& [leaf, sphere_metres] : tree.nearest_neighbor_iter_with_distance(query)) {
        stop.visit();
        // Leaves come out by great-circle metres, so this bounds every later one too.
        const double limit = std::min(max_metres, kth);
        if (sphere_metres * geodetic::WGS84_SPHERE_LOWER_BOUND - ROUNDING_SLACK_METRES > limit) {
            break;
        }
        const double d = geodetic::distance_wgs84(leaf->geom(), query, limit);
        if (!(d <= limit)) {
            continue;
        }
        const std::uint64_t position = leaf->data();
        const auto same = std::find_if(found.begin(), found.end(),
                                       [&](const PositionWithMetres& hit) { return hit.position == position; });
        if (same == found.end()) {
            found.push_back({position, d});
        } else if (d < same->metres) {
            same->metres = d;
        } else {
            continue;
        }
        if (found.size() >= k) {
            metres.clear();
            for (const PositionWithMetres& hit : found) {
                metres.push_back(hit.metres);
            }
            std::nth_element(metres.begin(), metres.begin() + static_cast<std::ptrdiff_t>(k - 1), metres.end());
            kth = metres[k - 1];
        }
    }
    std::sort(found.begin(), found.end(), precedes);
    if (found.size() > k) {
        found.resize(k);
    }
}

template void nearest_k_wgs84<geodetic::LineStringLeaf>(const geodetic::GeodeticRTree<geodetic::LineStringLeaf>&,
                                                        const geodetic::GeodeticPoint&, std::size_t, double,
                                                        std::vector<PositionWithMetres>&);
template void nearest_k_wgs84<geodetic::PolygonLeaf>(const geodetic::GeodeticRTree<geodetic::PolygonLeaf>&,
                                                     const geodetic::GeodeticPoint&, std::size_t, double,
                                                     std::vector<PositionWithMetres>&);

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
