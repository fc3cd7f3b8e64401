#pragma once

#include <iterator>
#include <optional>

#include "geodetic/distance.hpp"
#include "index/leaf.hpp"
#include "rtree/algorithm/nearest_neighbor.hpp"
#include "rtree/algorithm/next_iterator.hpp"

namespace sferix::indexed {

using geodetic::UnitVec;

// Lazy result of nearest_neighbor_iter_with_distance: every leaf with its
// great-circle metres, nearest first.
template <GeodeticLeaf Leaf>
class NearestWithMetresIterator {
public:
    using Nearest = rtree::NearestNeighborDistance2Iterator<Leaf>;

    // The empty sequence.
    NearestWithMetresIterator() = default;
    NearestWithMetresIterator(rtree::FlatTreeView<Leaf> tree, const UnitVec& query) { nearest_.emplace(tree, query); }

    // The walk orders by squared chord; each reported leaf's chord is converted once,
    // on the way out, with squared_chord_to_metres, which is monotone, so the metres
    // stay nondecreasing.
    [[nodiscard]] std::optional<LeafWithMetres<Leaf>> next() {
        if (!nearest_) {
            return std::nullopt;
        }
        const auto found = nearest_->next();
        if (!found) {
            return std::nullopt;
        }
        return LeafWithMetres<Leaf>{found->leaf, geodetic::squared_chord_to_metres(found->distance_2)};
    }

    [[nodiscard]] rtree::NextIterator<NearestWithMetresIterator> begin() { return rtree::NextIterator(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::optional<Nearest> nearest_;
};

}  // namespace sferix::indexed
