#include "index/nearest_k.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "geodetic/distance.hpp"
#include "geodetic/spheroid.hpp"
#include "index/nearest_position.hpp"
#include "rtree/algorithm/small_heap.hpp"

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

// squared_chord_to_metres rises by at least a third of any relative step in the chord
// (its log-slope is at least 1/π) and rounds to a few ulps, so two chords more than this
// relative gap apart never give equal metres; chords closer than that may.
constexpr double METRE_TIE_GAP = 1e-9;

// A node waiting in the bounded walk, by its box's squared chord, then the smallest
// position below it.
struct NodeEntry {
    double distance_2 = 0.0;
    std::uint32_t tie_break = 0;
    std::uint32_t index = 0;
};

// While the walk runs, an answer's `metres` holds its squared chord.
bool chord_precedes(const PositionWithMetres& a, const PositionWithMetres& b) noexcept {
    return a.metres < b.metres || (a.metres == b.metres && a.position < b.position);
}

// The k nearest points by (metres, position), found best-first over the nodes with the
// k best by (squared chord, position) held in `hits` (a max-heap, front() the k-th).
// A node or leaf is skipped when its squared chord is beyond the k-th's by more than
// METRE_TIE_GAP (its metres are larger), or when it lies no nearer than the k-th and
// every position below it is larger than all k held: then the k held precede all of
// its points. Leaves within the gap that do not enter the k best are kept in `near`,
// since equal metres may still rank them by position. At the end the held and near
// candidates are ranked by metres.
void bounded_nearest_k(const geodetic::PointTree& tree, const geodetic::UnitVec& query, std::size_t k,
                       double max_metres, std::vector<PositionWithMetres>& hits) {
    const auto view = tree.rtree().view();
    const std::span<const std::uint32_t> minima = tree.min_positions();
    const double limit_2 = geodetic::metres_to_squared_chord(max_metres) * (1.0 + METRE_TIE_GAP);
    double bound_2 = limit_2;
    std::vector<PositionWithMetres> near;

    const auto full = [&] { return hits.size() == k; };
    const auto tighten = [&] { bound_2 = std::min(limit_2, hits.front().metres * (1.0 + METRE_TIE_GAP)); };
    // Whether the k held answers precede every point at a squared chord ≥ distance_2
    // whose position is ≥ `position`.
    const auto all_held_precede = [&](double distance_2, std::uint64_t position) {
        if (!full() || distance_2 < hits.front().metres) {
            return false;
        }
        const auto largest = std::max_element(hits.begin(), hits.end(), [](const auto& a, const auto& b) {
            return a.position < b.position;
        });
        return largest->position < position;
    };
    const auto offer = [&](double chord_2, std::uint64_t position) {
        if (!(chord_2 <= bound_2)) {
            return;
        }
        const PositionWithMetres found{position, chord_2};
        if (!full()) {
            hits.push_back(found);
            std::push_heap(hits.begin(), hits.end(), chord_precedes);
            if (full()) {
                tighten();
            }
        } else if (chord_precedes(found, hits.front())) {
            std::pop_heap(hits.begin(), hits.end(), chord_precedes);
            const PositionWithMetres evicted = hits.back();
            hits.back() = found;
            std::push_heap(hits.begin(), hits.end(), chord_precedes);
            tighten();
            if (evicted.metres <= bound_2) {
                near.push_back(evicted);
            }
        } else if (!all_held_precede(chord_2, position)) {
            near.push_back(found);
        }
    };

    rtree::SmallHeap<NodeEntry> pending;
    const auto expand = [&](const rtree::FlatNode<geodetic::UnitVec>& node) {
        const std::uint32_t end = node.first + std::uint32_t{node.count};
        if (node.has_leaf_children()) {
            for (std::uint32_t i = node.first; i < end; ++i) {
                offer(view.leaves[i].distance_2(query), view.leaves[i].data());
            }
            return;
        }
        std::array<NodeEntry, 8> run{};
        std::size_t length = 0;
        for (std::uint32_t i = node.first; i < end; ++i) {
            const double distance_2 = view.nodes[i].envelope.distance_2(query);
            if (distance_2 <= bound_2 && !all_held_precede(distance_2, minima[i])) {
                rtree::check_invariant(length < run.size(), "a node with more than eight children");
                run[length++] = NodeEntry{distance_2, minima[i], i};
            }
        }
        pending.extend(std::span<const NodeEntry>(run.data(), length));
    };

    expand(view.root());
    while (const std::optional<NodeEntry> entry = pending.pop()) {
        // Nodes come out by squared chord and the bound only shrinks: nothing later fits.
        if (!(entry->distance_2 <= bound_2)) {
            break;
        }
        if (!all_held_precede(entry->distance_2, entry->tie_break)) {
            expand(view.nodes[entry->index]);
        }
    }

    for (const PositionWithMetres& candidate : near) {
        if (candidate.metres <= bound_2) {
            hits.push_back(candidate);
        }
    }
    std::size_t kept = 0;
    for (const PositionWithMetres& candidate : hits) {
        const double metres = geodetic::squared_chord_to_metres(candidate.metres);
        if (metres <= max_metres) {
            hits[kept++] = PositionWithMetres{candidate.position, metres};
        }
    }
    hits.resize(kept);
    std::sort(hits.begin(), hits.end(), precedes);
    if (hits.size() > k) {
        hits.resize(k);
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
    while (const auto hit = sequence.next()) {
        // Metres come out nondecreasing, so the first leaf past either bound ends the
        // walk; leaves tied with the k-th are kept so the position can break the tie.
        if (!(hit->metres <= max_metres)) {
            break;
        }
        if (hits.size() >= k && hit->metres > hits.back().metres) {
            break;
        }
        hits.push_back({hit->leaf->data(), hit->metres});
    }
    std::sort(hits.begin(), hits.end(), precedes);
    if (hits.size() > k) {
        hits.resize(k);
    }
}

void nearest_k(const geodetic::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
               double max_metres, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    if (k != 1) {
        bounded_nearest_k(tree, query.vector(), k, max_metres, hits);
        return;
    }
    const std::optional<PositionWithMetres> nearest = nearest_position(tree, query);
    if (nearest && nearest->metres <= max_metres) {
        hits.push_back(*nearest);
    }
}

void nearest_k_wgs84(const geodetic::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                     double max_metres, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    const GeographicLib::Geodesic& geod = GeographicLib::Geodesic::WGS84();
    auto sequence = tree.nearest_neighbor_iter_with_distance(query);
    // hits is a max-heap under precedes: once it holds k answers, front() is the k-th,
    // the one a nearer point replaces.
    while (const auto candidate = sequence.next()) {
        // A lower bound of this and every later point's geodesic metres.
        const double bound = candidate->metres * WGS84_SPHERE_LOWER_BOUND - ROUNDING_SLACK_METRES;
        if (bound > max_metres) {
            break;
        }
        if (hits.size() == k && bound > hits.front().metres) {
            break;
        }
        const geodetic::GeodeticCoord& point = tree.coord(candidate->leaf->data());
        const double d = geodetic::geodesic_metres(geod, query.lon(), query.lat(), point.lon(), point.lat());
        if (!(d <= max_metres)) {
            continue;
        }
        const PositionWithMetres found{candidate->leaf->data(), d};
        if (hits.size() < k) {
            hits.push_back(found);
            std::push_heap(hits.begin(), hits.end(), precedes);
        } else if (precedes(found, hits.front())) {
            std::pop_heap(hits.begin(), hits.end(), precedes);
            hits.back() = found;
            std::push_heap(hits.begin(), hits.end(), precedes);
        }
    }
    std::sort_heap(hits.begin(), hits.end(), precedes);
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
