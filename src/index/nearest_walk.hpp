#pragma once

// What the point tree's nearest searches share: the walk order by input position, the
// places of the tree, and the bound a hint gives.
//
//   rtree::BestFirstWalk walk(view, q, MyPolicy{ByPosition{tree.min_positions()}, ...});
//   const double within_2 = hint_chord_2(view, q, k, hint);   // k points lie within it

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

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
    std::span<const std::uint32_t> minima;

    [[nodiscard]] std::uint32_t node_tie_break(std::uint32_t node) const noexcept { return minima[node]; }
    [[nodiscard]] static std::uint32_t leaf_tie_break(const geodetic::PointLeaf& leaf) noexcept {
        return static_cast<std::uint32_t>(leaf.data());
    }
};

using PointView = rtree::FlatTreeView<geodetic::PointLeaf>;

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
[[nodiscard]] inline double hint_chord_2(const PointView& view, const geodetic::UnitVec& query, std::size_t k,
                                         const NearestHint* hint) {
    double farthest_2 = 0.0;
    std::size_t found = 0;
    if (hint != nullptr) {
        for (const std::uint32_t leaf : hint->leaves) {
            if (found == k) {
                break;
            }
            if (leaf < view.leaves.size()) {
                farthest_2 = std::max(farthest_2, view.leaves[leaf].distance_2(query));
                ++found;
            }
        }
    }
    return found == k ? farthest_2 : std::numeric_limits<double>::infinity();
}

}  // namespace sferix::indexed
