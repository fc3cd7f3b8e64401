#pragma once

// What the point tree's nearest searches share: the walk order by input position, the
// places of the tree, and the bound a hint gives.
//
//   rtree::BestFirstWalk walk(view, q, MyPolicy{ByPosition{tree.min_positions()}, ...});
//   const SquaredChord within = hint_chord(view, q, k, hint);   // k points lie within it

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "geodetic/squared_chord.hpp"
#include "geodetic/wgs84.hpp"
#include "index/nearest_position.hpp"
#include "index/tree.hpp"
#include "rtree/algorithm/best_first.hpp"

namespace sferix::indexed {

// The base of every point-tree walk policy: keys (squared chord, smallest input
// position below), from the tree's node minima. Keys are unique (siblings hold
// disjoint positions, a leaf its own), so leaves come out in increasing (squared chord,
// input position), and every leaf at one vector before any later leaf at that vector
// has a larger position.
struct ByPosition {
    static constexpr bool UNIQUE_KEYS = true;
    static constexpr bool PREFETCH_QUEUED = true;
    std::span<const std::uint32_t> minima;

    [[nodiscard]] static bool descend_first() noexcept { return false; }
    [[nodiscard]] std::uint32_t node_tie_break(std::uint32_t node) const noexcept { return minima[node]; }
    [[nodiscard]] static std::uint32_t leaf_tie_break(const indexed::PointLeaf& leaf) noexcept {
        return static_cast<std::uint32_t>(leaf.data());
    }
};

using PointView = rtree::FlatTreeView<indexed::PointLeaf>;
using geodetic::SquaredChord;

// The squared chord of an entry of the walk (which, generic, keeps the bare double).
[[nodiscard]] inline SquaredChord chord_of(const rtree::WalkEntry& entry) noexcept {
    return SquaredChord::from_raw(entry.distance_2);
}

// A chord beyond which the metres are certainly larger than at `chord` (see
// METRE_TIE_GAP): what can still tie with it lies within.
[[nodiscard]] inline SquaredChord tie_widened(SquaredChord chord) noexcept { return chord.scaled(1.0 + METRE_TIE_GAP); }

// The sphere bounds of WGS84 metres are exact for exact distances, but the chord and
// the geodesic inverse each round, by about 1e-9 m near zero; the bounds hold beyond
// this margin, so points at (almost) the query's place still compete on position.
inline constexpr double ROUNDING_SLACK_METRES = 1e-6;

// The squared chord beyond which every point's or item's WGS84 metres exceed `limit`,
// widened by the tie gap so that it drops only what the metres test would drop.
[[nodiscard]] inline SquaredChord wgs84_walk_bound(double limit) {
    return tie_widened(SquaredChord::from_metres((limit + ROUNDING_SLACK_METRES) / geodetic::WGS84_SPHERE_LOWER_BOUND));
}

// The WGS84 metres no point at `chord` on the sphere exceeds.
[[nodiscard]] inline double wgs84_at_most_metres(SquaredChord chord) {
    return chord.metres() * geodetic::WGS84_SPHERE_UPPER_BOUND + ROUNDING_SLACK_METRES;
}

// What every WGS84 walk keeps: `limit`, metres no answer's geodesic exceeds, and
// `bound`, the squared chord beyond which nothing reaches them (wgs84_walk_bound), so a
// child beyond it is not queued. A policy derives from this (after its ByPosition or
// EveryLeaf base) and lowers the limit as it learns.
struct Wgs84Limit {
    double limit = std::numeric_limits<double>::infinity();
    SquaredChord bound = SquaredChord::infinity();

    void lower_limit(double metres) {
        if (metres < limit) {
            limit = metres;
            bound = wgs84_walk_bound(limit);
        }
    }
    [[nodiscard]] double leaf_bound() const noexcept { return bound.raw(); }
    [[nodiscard]] bool within_bound(const rtree::WalkEntry& child) const noexcept { return chord_of(child) <= bound; }
};

// One place of the tree: a unit vector and the smallest input position stored there.
struct Place {
    geodetic::UnitVec vector;
    std::uint32_t position;
};

// What an entry of a ByPosition walk stands for when it is one place: a leaf, or a
// node whose box is a single vector, all of whose leaves share that vector (hence that
// squared chord) and are represented by the smallest position below it. Such a
// subtree of duplicates is answered without being walked. Nothing for any other node.
[[nodiscard]] inline std::optional<Place> place_of(const PointView& view, const rtree::WalkEntry& entry) {
    if (entry.is_leaf) {
        return Place{view.leaves[entry.index].vector(), entry.tie_break};
    }
    const geodetic::Envelope& box = view.nodes[entry.index].envelope;
    if (box.lower() == box.upper()) {
        return Place{box.lower(), entry.tie_break};
    }
    return std::nullopt;
}

// A leaf at the place `entry` stands for (see place_of).
[[nodiscard]] inline std::uint32_t leaf_of_place(const PointView& view, const rtree::WalkEntry& entry) {
    if (entry.is_leaf) {
        return entry.index;
    }
    const rtree::FlatNode<geodetic::UnitVec>* node = &view.nodes[entry.index];
    while (!node->has_leaf_children()) {
        node = &view.nodes[node->first];
    }
    return node->first;
}

// A squared chord within which k points of the tree lie, from the hint: the farthest
// of its first k leaves that are leaves of this tree (real points, distinct as a search
// leaves them). Infinite when the hint (may be null) has fewer than k of them.
[[nodiscard]] inline geodetic::SquaredChord hint_chord(const PointView& view, const geodetic::UnitVec& query,
                                                      std::size_t k, const NearestHint* hint) {
    SquaredChord farthest;
    std::size_t found = 0;
    if (hint != nullptr) {
        for (const std::uint32_t leaf : hint->leaves) {
            if (found == k) {
                break;
            }
            if (leaf < view.leaves.size()) {
                farthest = std::max(farthest, SquaredChord::between(view.leaves[leaf].vector(), query));
                ++found;
            }
        }
    }
    return found == k ? farthest : SquaredChord::infinity();
}

}  // namespace sferix::indexed
