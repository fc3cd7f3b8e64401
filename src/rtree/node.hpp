#pragma once

#include <cstdint>

#include "rtree/aabb.hpp"
#include "rtree/point.hpp"

namespace sferix::rtree {

// One inner node of a flat tree: the merge of its children's envelopes and where
// its children lie. The children are either all leaves (1 to LEAF_NODE_CAPACITY of
// them, at leaves()[first, first + count); none only in the root of an empty tree)
// or all nodes (1 to INNER_NODE_CAPACITY of them, at nodes()[first, first + count)).
// Siblings are contiguous, so a walk reads a node's child boxes in one pass.
//
// The box comes first because every walk reads it before anything else; the
// 56 bytes keep eight siblings within seven cache lines.
template <Point3 P>
struct FlatNode {
    AABB<P> envelope;
    std::uint32_t first;
    std::uint16_t count;
    bool leaf_children;

    [[nodiscard]] bool has_leaf_children() const noexcept { return leaf_children; }
};

}  // namespace sferix::rtree
