#pragma once

#include <cstddef>

#include "rtree/flat_view.hpp"

namespace sferix::rtree {

// Starts loading every cache line of a node's children (its child boxes, or its leaves:
// up to fourteen lines for 32 point leaves). A best-first walk calls it for each node it queues: most queued
// nodes near the query are expanded soon after, and on a tree larger than the cache the
// walk otherwise waits for each of those loads in turn (about a quarter of a cold
// 10-nearest search). Prefetching only the first two lines left the other children's boxes to
// be waited for (10^6 points, batches of 10 nearest: 2.2 -> 2.15 us per query).
template <RTreeObject T>
void prefetch_children(const FlatTreeView<T>& view, const typename FlatTreeView<T>::Node& node) noexcept {
    const bool leaves = node.has_leaf_children();
    const char* children = leaves ? reinterpret_cast<const char*>(view.leaves.data() + node.first)
                                  : reinterpret_cast<const char*>(view.nodes.data() + node.first);
    const std::size_t bytes = node.count * (leaves ? sizeof(T) : sizeof(typename FlatTreeView<T>::Node));
    for (std::size_t offset = 0; offset < bytes; offset += 64) {
        __builtin_prefetch(children + offset);
    }
}

}  // namespace sferix::rtree
