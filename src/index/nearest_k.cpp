#include "index/nearest_k.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "geodetic/distance.hpp"
#include "geodetic/edge_wgs84.hpp"
#include "geodetic/wgs84.hpp"
#include "index/k_best.hpp"
#include "index/nearest_position.hpp"
#include "index/nearest_walk.hpp"
#include "support/chunked_run.hpp"

namespace sferix::indexed {

namespace {

// Nearer first, then the smaller position: the order of every k-nearest answer.
bool precedes(const PositionWithMetres& a, const PositionWithMetres& b) noexcept {
    return a.metres < b.metres || (a.metres == b.metres && a.position < b.position);
}
struct Precedes {
    bool operator()(const PositionWithMetres& a, const PositionWithMetres& b) const noexcept { return precedes(a, b); }
};

// A leaf the bounded walk holds: its squared chord, input position and leaf index.
struct Candidate {
    SquaredChord chord;
    std::uint32_t position;
    std::uint32_t leaf;
};

bool chord_precedes(const Candidate& a, const Candidate& b) noexcept {
    return a.chord < b.chord || (a.chord == b.chord && a.position < b.position);
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
    SquaredChord limit;  // max_metres and the hint's bound, widened by the tie gap
    SquaredChord bound = limit;
    // The largest position held, taken once per change of the k held rather than for
    // every entry asked about (most are asked about between two changes).
    mutable std::uint32_t held_max_position = 0;
    mutable bool held_max_known = false;

    // Whether the k held answers precede every point at a squared chord ≥ `chord` whose
    // position is ≥ `position`.
    [[nodiscard]] bool all_held_precede(SquaredChord chord, std::uint32_t position) const {
        if (!best.full() || chord < best.worst().chord) {
            return false;
        }
        if (!held_max_known) {
            held_max_position = std::ranges::max(best.items(), {}, &Candidate::position).position;
            held_max_known = true;
        }
        return held_max_position < position;
    }

    [[nodiscard]] double leaf_bound() const noexcept { return bound.raw(); }
    [[nodiscard]] bool admit(const rtree::WalkEntry& child) {
        if (!child.is_leaf) {
            return chord_of(child) <= bound && !all_held_precede(chord_of(child), child.tie_break);
        }
        const Candidate found{chord_of(child), child.tie_break, child.index};
        if (!(found.chord <= bound)) {
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
            if (evicted.chord <= bound) {
                near->push_back(evicted);
            }
        } else if (!all_held_precede(found.chord, found.position)) {
            near->push_back(found);
        }
        return false;
    }

    // Called whenever the k held change once k are held.
    void tighten() {
        bound = std::min(limit, tie_widened(best.worst().chord));
        held_max_known = false;
    }
    // Until k are held there is no bound: a cold search of 10 on 10^4 points that queued
    // every child queued 48 nodes and took out 14.
    [[nodiscard]] bool descend_first() const noexcept { return !best.full(); }
};

void bounded_nearest_k(const indexed::PointTree& tree, const geodetic::UnitVec& query, std::size_t k,
                       double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint) {
    const PointView view = tree.rtree().view();
    std::vector<Candidate> held;
    held.reserve(k);
    std::vector<Candidate> near;
    const SquaredChord limit = tie_widened(std::min(SquaredChord::from_metres(max_metres), hint_chord(view, query, k, hint)));
    rtree::BestFirstWalk walk(view, query,
                              KNearestPolicy{{tree.min_positions()}, KBest<Candidate, ChordPrecedes>(held, k), &near, limit});
    const KNearestPolicy& policy = walk.policy();
    while (const std::optional<rtree::WalkEntry> entry = walk.pop()) {
        // Nodes come out by squared chord and the bound only shrinks: nothing later fits.
        if (!(chord_of(*entry) <= policy.bound)) {
            break;
        }
        if (!policy.all_held_precede(chord_of(*entry), entry->tie_break)) {
            walk.expand(*entry);
        }
    }

    // The held and the kept candidates, no longer a heap, ranked by metres.
    for (const Candidate& candidate : near) {
        if (candidate.chord <= policy.bound) {
            held.push_back(candidate);
        }
    }
    std::vector<std::pair<PositionWithMetres, std::uint32_t>> ranked;
    ranked.reserve(held.size());
    for (const Candidate& candidate : held) {
        const double metres = candidate.chord.metres();
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

// The WGS84 k nearest walk: every point within `bound` is queued, and met on the way
// in: the k nearest met on the sphere bound the answer from above. No answer's
// geodesic metres exceed `limit`: max_metres; then, once k points are met (or given by
// the hint), the upper bound of the k-th nearest of them on the sphere; then the k-th
// answer held. `bound` is a squared chord beyond which the sphere lower bound of every
// point exceeds it; the tie gap makes it err wide of the metres test, so it only drops
// what that test would drop.
struct Wgs84KNearestPolicy : ByPosition, Wgs84Limit {
    std::span<const geodetic::GeodeticCoord> coords;
    KBest<Candidate, ChordPrecedes> met;  // the k nearest points met on the sphere

    [[nodiscard]] bool admit(const rtree::WalkEntry& child) {
        if (!within_bound(child)) {
            return false;
        }
        if (child.is_leaf) {
            __builtin_prefetch(&coords[child.tie_break]);
            if (met.offer(Candidate{chord_of(child), child.tie_break, child.index}) && met.full()) {
                lower_limit(wgs84_at_most_metres(met.worst().chord));
            }
        }
        return true;
    }
};

}  // namespace

namespace {

// An entry of the measured walk: a node, or a leaf keyed by its box before it is
// measured and by its exact squared chord after. At equal keys nodes and unmeasured
// leaves come out first, so a measured leaf leaves the queue only when nothing left
// can measure nearer.
enum class ItemKind : std::uint8_t { Node, Unmeasured, Measured };
struct ItemEntry {
    double distance_2;
    std::uint32_t index;
    ItemKind kind;
};
struct ItemEntryAfter {
    bool operator()(const ItemEntry& a, const ItemEntry& b) const noexcept {
        return a.distance_2 > b.distance_2 || (a.distance_2 == b.distance_2 && a.kind > b.kind);
    }
};

// Measured leaves in nondecreasing squared chord, as the unpruned walk reports them, but
// each item measured only while it can still beat `bound`: the items met so far already
// give k answers nearer than anything farther, so their edges need not be walked.
// Ties come out in another order than the unpruned walk's; nearest_k ranks ties by
// position afterwards, so its answers do not change.
[[nodiscard]] SquaredChord sphere_bound_of_kth(SquaredChord kth) noexcept { return tie_widened(kth); }

template <indexed::GeodeticLeaf Leaf>
class MeasuredItemWalk {
public:
    // With `bound_of_kth` set, every measured leaf is a separate item, and once k are
    // measured the bound drops to bound_of_kth(k-th nearest squared chord): k items lie
    // within that chord, so what the function puts beyond cannot be among k answers.
    using BoundOfKth = SquaredChord (*)(SquaredChord);
    MeasuredItemWalk(rtree::FlatTreeView<Leaf> view, const geodetic::UnitVec& query, SquaredChord bound,
                     std::size_t k, BoundOfKth bound_of_kth)
        : view_(view), query_(query), bound_(bound), k_(k), bound_of_kth_(bound_of_kth) {
        queue_.push_back({view_.root().envelope.distance_2(query_), 0, ItemKind::Node});
    }

    [[nodiscard]] SquaredChord bound() const noexcept { return bound_; }
    // Lowers the bound: items farther than it are no longer measured.
    void lower_bound(SquaredChord chord) noexcept { bound_ = std::min(bound_, chord); }
    // The k-th nearest squared chord measured, once k items are (with bound_of_kth).
    [[nodiscard]] std::optional<SquaredChord> kth_measured() const noexcept {
        if (nearest_.size() < k_) {
            return std::nullopt;
        }
        return SquaredChord::from_raw(nearest_.front());
    }

    // The next measured leaf and its squared chord; nothing when no item within the
    // bound is left.
    [[nodiscard]] std::optional<rtree::LeafWithDistance2<Leaf>> next() {
        while (!queue_.empty()) {
            // A search of many items can run for seconds between two answers it gives.
            stop_.visit();
            std::pop_heap(queue_.begin(), queue_.end(), ItemEntryAfter{});
            const ItemEntry entry = queue_.back();
            queue_.pop_back();
            if (entry.kind == ItemKind::Measured) {
                return rtree::LeafWithDistance2<Leaf>{&view_.leaves[entry.index], entry.distance_2};
            }
            if (!(SquaredChord::from_raw(entry.distance_2) <= bound_)) {
                continue;
            }
            if (entry.kind == ItemKind::Unmeasured) {
                const Leaf& leaf = view_.leaves[entry.index];
                if (const std::optional<double> d = leaf.distance_2_if_less_or_equal(query_, bound_.raw())) {
                    push({*d, entry.index, ItemKind::Measured});
                    if (bound_of_kth_ != nullptr) {
                        count(*d);
                    }
                }
                continue;
            }
            const auto& node = view_.nodes[entry.index];
            const std::uint32_t end = node.first + std::uint32_t{node.count};
            for (std::uint32_t i = node.first; i < end; ++i) {
                const ItemEntry child =
                    node.has_leaf_children()
                        ? ItemEntry{view_.leaves[i].lower_distance_2(query_), i, ItemKind::Unmeasured}
                        : ItemEntry{view_.nodes[i].envelope.distance_2(query_), i, ItemKind::Node};
                if (SquaredChord::from_raw(child.distance_2) <= bound_) {
                    push(child);
                }
            }
        }
        return std::nullopt;
    }

private:
    void count(double distance_2) {
        if (nearest_.size() < k_) {
            nearest_.push_back(distance_2);
            std::push_heap(nearest_.begin(), nearest_.end());
        } else if (distance_2 < nearest_.front()) {
            std::pop_heap(nearest_.begin(), nearest_.end());
            nearest_.back() = distance_2;
            std::push_heap(nearest_.begin(), nearest_.end());
        }
        if (nearest_.size() == k_) {
            lower_bound(bound_of_kth_(SquaredChord::from_raw(nearest_.front())));
        }
    }

    void push(const ItemEntry& entry) {
        queue_.push_back(entry);
        std::push_heap(queue_.begin(), queue_.end(), ItemEntryAfter{});
    }

    rtree::FlatTreeView<Leaf> view_;
    geodetic::UnitVec query_;
    SquaredChord bound_;
    std::size_t k_;
    BoundOfKth bound_of_kth_;
    std::vector<ItemEntry> queue_;
    std::vector<double> nearest_;  // max-heap of the k nearest measured squared chords
    support::StopCheck stop_;
};

}  // namespace

namespace {

// nearest_k, or with `ties` every answer tied in metres with the k-th as well.
template <indexed::GeodeticLeaf Leaf>
void nearest_k_or_tied(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                       double max_metres, bool ties, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    // The parts of a multipart item share its position: its first leaf met is its
    // nearest part, and the others are passed over.
    std::unordered_set<std::uint64_t> met;
    const auto keep = [&](const Leaf& leaf, double metres) {
        // Metres come out nondecreasing, so the first leaf past either bound ends the
        // walk; leaves tied with the k-th are kept so the position can break the tie.
        if (!(metres <= max_metres)) {
            return false;
        }
        if (hits.size() >= k && metres > hits.back().metres) {
            return false;
        }
        if (!tree.repeats_positions() || met.insert(leaf.data()).second) {
            hits.push_back({leaf.data(), metres});
        }
        return true;
    };
    if constexpr (requires(const Leaf& leaf) { leaf.lower_distance_2(query.vector()); }) {
        MeasuredItemWalk<Leaf> walk(tree.rtree().view(), query.vector(),
                                    tie_widened(SquaredChord::from_metres(max_metres)), k,
                                    tree.repeats_positions() ? nullptr : &sphere_bound_of_kth);
        // Parts of one item count once only after they are reported, so a tree with
        // repeated positions lowers the bound from the hits.
        while (const auto hit = walk.next()) {
            if (!keep(*hit->leaf, geodetic::squared_chord_to_metres(hit->distance_2))) {
                break;
            }
            if (hits.size() >= k) {
                walk.lower_bound(tie_widened(SquaredChord::from_raw(hit->distance_2)));
            }
        }
    } else {
        auto sequence = tree.nearest_neighbor_iter_with_distance(query);
        while (const auto hit = sequence.next()) {
            if (!keep(*hit->leaf, hit->metres)) {
                break;
            }
        }
    }
    std::sort(hits.begin(), hits.end(), precedes);
    if (hits.size() > k && !ties) {
        hits.resize(k);
    }
}

}  // namespace

template <indexed::GeodeticLeaf Leaf>
void nearest_k(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query, std::size_t k,
               double max_metres, std::vector<PositionWithMetres>& hits) {
    nearest_k_or_tied(tree, query, k, max_metres, false, hits);
}

template <indexed::GeodeticLeaf Leaf>
void nearest_and_ties(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query,
                      double max_metres, std::vector<PositionWithMetres>& hits) {
    nearest_k_or_tied(tree, query, 1, max_metres, true, hits);
}

void nearest_k(const indexed::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
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

void nearest_k_wgs84(const indexed::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                     double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    const PointView view = tree.rtree().view();
    std::vector<Candidate> met;
    Wgs84KNearestPolicy start{{tree.min_positions()}, {}, tree.coords(), KBest<Candidate, ChordPrecedes>(met, k)};
    start.lower_limit(max_metres);
    if (const SquaredChord hinted = hint_chord(view, query.vector(), k, hint); hinted < SquaredChord::infinity()) {
        start.lower_limit(wgs84_at_most_metres(hinted));
    }
    rtree::BestFirstWalk walk(view, query.vector(), start);
    Wgs84KNearestPolicy& policy = walk.policy();

    // The k nearest by geodesic metres, in hits.
    KBest<PositionWithMetres, Precedes> best(hits, k);
    while (const std::optional<rtree::WalkEntry> entry = walk.pop()) {
        // Entries come out by squared chord and the bound only shrinks: nothing later fits.
        if (!(chord_of(*entry) <= policy.bound)) {
            break;
        }
        if (!entry->is_leaf) {
            walk.expand(*entry);
            continue;
        }
        // A lower bound of this and every later point's geodesic metres.
        const double at_least = chord_of(*entry).metres() * geodetic::WGS84_SPHERE_LOWER_BOUND - ROUNDING_SLACK_METRES;
        if (at_least > policy.limit) {
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

namespace {

// The walk of the linestring and polygon trees' WGS84 k-nearest search: as
// Wgs84KNearestPolicy, with items for points. An item's geodesic minimum is at most its
// sphere metres stretched by K (at the sphere's nearest point), so the k nearest items met
// on the sphere bound the answer before any geodesic is solved; a tree whose items have
// several parts (leaves sharing a position) cannot count k items that way and leaves it to
// the answers held. No second key: ties are broken on positions at the end.
struct ShapeWgs84Policy : rtree::EveryLeaf, Wgs84Limit {
    KBest<Candidate, ChordPrecedes> met;  // the k nearest leaves met on the sphere
    bool count_met;

    [[nodiscard]] bool admit(const rtree::WalkEntry& child) {
        if (!within_bound(child)) {
            return false;
        }
        if (child.is_leaf && count_met && met.offer(Candidate{chord_of(child), child.index, child.index}) &&
            met.full()) {
            lower_limit(wgs84_at_most_metres(met.worst().chord));
        }
        return true;
    }
};

// The squared chord beyond which no item reaches the WGS84 metres that k items measured
// within `kth` on the sphere are known not to exceed (ShapeWgs84Policy::lower_limit).
[[nodiscard]] SquaredChord wgs84_bound_of_kth(SquaredChord kth) noexcept {
    return tie_widened(SquaredChord::from_metres((wgs84_at_most_metres(kth) + ROUNDING_SLACK_METRES) /
                                                 geodetic::WGS84_SPHERE_LOWER_BOUND));
}

}  // namespace

template <indexed::GeodeticLeaf Leaf>
void nearest_k_wgs84(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                     double max_metres, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    // The walk measures on the sphere only the items whose sphere metres could still be
    // within the limit, as the limit falls with the k nearest met and the answers held.
    std::vector<Candidate> met_storage;
    ShapeWgs84Policy policy{{}, {}, KBest<Candidate, ChordPrecedes>(met_storage, k), false};
    policy.lower_limit(max_metres);
    MeasuredItemWalk<Leaf> walk(tree.rtree().view(), query.vector(), policy.bound, k,
                                tree.repeats_positions() ? nullptr : &wgs84_bound_of_kth);
    // Every position measured, at the least metres any of its parts gave.
    std::vector<PositionWithMetres>& found = hits;
    std::vector<double> metres;
    support::StopCheck stop;
    while (const auto entry = walk.next()) {
        stop.visit();
        if (const std::optional<SquaredChord> kth = walk.kth_measured()) {
            policy.lower_limit(wgs84_at_most_metres(*kth));
        }
        // A lower bound of this and every later item's geodesic metres; items tied with
        // the k-th still count, for the position to break the tie.
        if (geodetic::squared_chord_to_metres(entry->distance_2) * geodetic::WGS84_SPHERE_LOWER_BOUND -
                ROUNDING_SLACK_METRES >
            policy.limit) {
            break;
        }
        const Leaf& leaf = *entry->leaf;
        const double d = geodetic::distance_wgs84(leaf.geom(), query, policy.limit);
        if (!(d <= policy.limit)) {
            continue;
        }
        const std::uint64_t position = leaf.data();
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
            policy.lower_limit(metres[k - 1]);
            walk.lower_bound(policy.bound);
        }
    }
    std::sort(found.begin(), found.end(), precedes);
    if (found.size() > k) {
        found.resize(k);
    }
}

SFERIX_NEAREST_K_INSTANCE(nearest_k_wgs84, indexed::LineStringLeaf);
SFERIX_NEAREST_K_INSTANCE(nearest_k_wgs84, indexed::PolygonLeaf);
SFERIX_NEAREST_K_INSTANCE(nearest_k, indexed::PointLeaf);
SFERIX_NEAREST_K_INSTANCE(nearest_k, indexed::LineStringLeaf);
SFERIX_NEAREST_K_INSTANCE(nearest_k, indexed::PolygonLeaf);
template void nearest_and_ties<indexed::LineStringLeaf>(const indexed::GeodeticRTree<indexed::LineStringLeaf>&,
                                                        const geodetic::GeodeticPoint&, double,
                                                        std::vector<PositionWithMetres>&);
template void nearest_and_ties<indexed::PolygonLeaf>(const indexed::GeodeticRTree<indexed::PolygonLeaf>&,
                                                     const geodetic::GeodeticPoint&, double,
                                                     std::vector<PositionWithMetres>&);

}  // namespace sferix::indexed
