#pragma once

#include <cstddef>

namespace sferix::rtree {

// The loader's node capacity: a group of at most MAX_NODE_SIZE elements becomes
// one leaf-level node; a group of MAX_NODE_SIZE + 1 is partitioned further.
inline constexpr std::size_t MAX_NODE_SIZE = 6;

// A larger group is split into this many groups along each of the three axes,
// so a node above the leaf level has up to 8 children. It is the sort-tile rule
// floor(cbrt(ceil(n / 6^(levels − 1)))) with levels = ceil(log6 n), raised to at
// least 2: the ceiling in levels keeps ceil(n / 6^(levels − 1)) ≤ 7 < 8, so the
// cube root is below 2 for every n.
inline constexpr std::size_t CLUSTERS_PER_AXIS = 2;

// The most children a node above the leaf level has: one per cluster of the three axes.
// Walks size their per-node buffers by it.
inline constexpr std::size_t MAX_INNER_CHILDREN = CLUSTERS_PER_AXIS * CLUSTERS_PER_AXIS * CLUSTERS_PER_AXIS;

}  // namespace sferix::rtree
