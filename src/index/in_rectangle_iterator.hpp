#pragma once

#include <iterator>
#include <span>

#include "geodetic/rectangle.hpp"
#include "index/coord_prefetching_selection.hpp"
#include "rtree/algorithm/next_iterator.hpp"

namespace sferix::indexed {

using geodetic::GeodeticCoord;
using geodetic::LonLatRectangle;
using geodetic::UnitVec;

// Lazy result of locate_in_rectangle: point leaves inside the rectangle.
class InRectangleIterator {
public:
    using Selection = CoordPrefetchingSelection<rtree::SelectInEnvelopeFuncIntersecting<UnitVec>>;

    InRectangleIterator(rtree::FlatTreeView<PointLeaf> tree, std::span<const GeodeticCoord> coords,
                        const LonLatRectangle& rectangle)
        : selection_(tree, rtree::SelectInEnvelopeFuncIntersecting<UnitVec>{geodetic::rectangle_bounding_box(
                               rectangle.west(), rectangle.south(), rectangle.east(), rectangle.north())},
                     coords),
          coords_(coords), rectangle_(rectangle) {}

    [[nodiscard]] const PointLeaf* next() {
        while (const PointLeaf* leaf = selection_.next()) {
            const GeodeticCoord& coord = coords_[leaf->data()];
            if (geodetic::lonlat_rectangle_contains(coord.lon(), coord.lat(), rectangle_.west(), rectangle_.south(),
                                          rectangle_.east(), rectangle_.north())) {
                return leaf;
            }
        }
        return nullptr;
    }

    [[nodiscard]] rtree::NextIterator<InRectangleIterator> begin() { return rtree::NextIterator(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    Selection selection_;
    std::span<const GeodeticCoord> coords_;
    LonLatRectangle rectangle_;
};

}  // namespace sferix::indexed
