#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>

namespace sferix::rtree {

// The storage order's group size: the loader partitions a group of more than
// STORAGE_GROUP_SIZE elements further, and keeps a group of at most that many in the
// order the partitions above it left (so up to STORAGE_GROUP_SIZE elements keep their
// input order). It fixes the order of the leaves, hence of every selection's results,
// and nothing about the nodes.
inline constexpr std::size_t STORAGE_GROUP_SIZE = 6;

// A larger group is split into this many groups along each of the three axes. It is
// the sort-tile rule floor(cbrt(ceil(n / 6^(levels − 1)))) with levels = ceil(log6 n),
// raised to at least 2: the ceiling in levels keeps ceil(n / 6^(levels − 1)) ≤ 7 < 8,
// so the cube root is below 2 for every n.
inline constexpr std::size_t CLUSTERS_PER_AXIS = 2;

// The nodes are packed over the storage order, bottom up (pack_nodes): a leaf-level node
// holds up to leaf_node_capacity<T>(n) consecutive leaves, a node above up to
// INNER_NODE_CAPACITY consecutive nodes of the level below. LEAF_NODE_CAPACITY is the
// most any tree allows (and what a stored tree is checked against); a leaf type may
// choose fewer: each node opened costs a distance per child, so a tree that fits in
// the cache answers faster with small nodes, while every node costs 60 bytes with the
// point tree's smallest position. 8 children keep an inner expansion to one short run
// of box distances.
inline constexpr std::size_t LEAF_NODE_CAPACITY = 32;
inline constexpr std::size_t INNER_NODE_CAPACITY = 8;

// The leaves a leaf-level node of a tree of `leaves` T leaves holds:
// T::leaf_node_capacity(leaves) where the leaf type chooses, else LEAF_NODE_CAPACITY.
template <typename T>
[[nodiscard]] constexpr std::size_t leaf_node_capacity(std::size_t leaves) noexcept {
    if constexpr (requires {
                      { T::leaf_node_capacity(leaves) } -> std::convertible_to<std::size_t>;
                  }) {
        return T::leaf_node_capacity(leaves);
    } else {
        return LEAF_NODE_CAPACITY;
    }
}

// The most children (leaves or nodes) any node has. Walks size their per-node buffers
// by it.
inline constexpr std::size_t MAX_INNER_CHILDREN = std::max(LEAF_NODE_CAPACITY, INNER_NODE_CAPACITY);

}  // namespace sferix::rtree
