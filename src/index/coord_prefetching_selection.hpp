#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "geodetic/coord.hpp"
#include "index/point_leaf.hpp"
#include "rtree/rtree.hpp"

namespace sferix::indexed {

using geodetic::GeodeticCoord;

// A selection over point leaves whose callers read each leaf's coordinates next.
// Leaves are drawn from the selection a few at a time, in its order, and the loads
// of their coordinates (one random access each into the input-ordered array) are
// started together, so they overlap instead of each stalling its caller.
template <typename Function>
class CoordPrefetchingSelection {
public:
    CoordPrefetchingSelection(rtree::FlatTreeView<PointLeaf> tree, Function function,
                              std::span<const GeodeticCoord> coords)
        : selection_(tree, std::move(function)), coords_(coords) {}

    // The next leaf of the selection, or null when it is over.
    [[nodiscard]] const PointLeaf* next() {
        if (next_ == length_) {
            next_ = 0;
            length_ = 0;
            while (length_ < BATCH) {
                const PointLeaf* leaf = selection_.next();
                if (leaf == nullptr) {
                    break;
                }
                __builtin_prefetch(&coords_[leaf->data()]);
                batch_[length_++] = leaf;
            }
            if (length_ == 0) {
                return nullptr;
            }
        }
        return batch_[next_++];
    }

private:
    static constexpr std::size_t BATCH = 8;

    rtree::SelectionIterator<PointLeaf, Function> selection_;
    std::span<const GeodeticCoord> coords_;
    std::array<const PointLeaf*, BATCH> batch_{};
    std::size_t next_ = 0;
    std::size_t length_ = 0;
};

}  // namespace sferix::indexed
