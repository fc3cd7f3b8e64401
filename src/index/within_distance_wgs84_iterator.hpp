#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>

#include "geodetic/point.hpp"
#include "geodetic/wgs84.hpp"
#include "index/coord_prefetching_selection.hpp"
#include "index/leaf.hpp"
#include "rtree/algorithm/next_iterator.hpp"

namespace sferix::indexed {

using geodetic::GeodeticCoord;
using geodetic::GeodeticPoint;
using geodetic::UnitVec;

// Lazy result of the WGS84 radius queries: point leaves whose geodesic distance d
// (query first) is ≤ the radius, from the candidates of the sphere pre-filter. With
// Measured, each leaf comes with d and every candidate is solved; without, next()
// gives the leaf alone (nullptr at the end), candidates inside the accept chord are
// taken unsolved and only the band between the two sphere bounds is solved. A NaN d
// is dropped.
template <bool Measured>
class WithinDistanceWgs84Iterator {
public:
    using Selection = CoordPrefetchingSelection<rtree::SelectWithinDistanceFunction<UnitVec>>;
    using Item = std::conditional_t<Measured, std::optional<LeafWithMetres<PointLeaf>>, const PointLeaf*>;

    // The empty sequence.
    WithinDistanceWgs84Iterator() = default;
    // max_distance_2: the pre-filter's bound; accept_2: squared chords at or below it
    // are certainly within the radius (ignored when Measured; negative for none).
    WithinDistanceWgs84Iterator(rtree::FlatTreeView<PointLeaf> tree, std::span<const GeodeticCoord> coords,
                                      double max_distance_2, double accept_2, const GeodeticPoint& query,
                                      double radius_metres)
        : coords_(coords), origin_(query.vector()), lon_(query.lon()), lat_(query.lat()),
          accept_2_(accept_2), radius_metres_(radius_metres) {
        selection_.emplace(tree, rtree::SelectWithinDistanceFunction<UnitVec>{query.vector(), max_distance_2}, coords);
    }

    [[nodiscard]] Item next() {
        if (!selection_) {
            return Item{};
        }
        while (const PointLeaf* leaf = selection_->next()) {
            if constexpr (!Measured) {
                if (leaf->distance_2(origin_) <= accept_2_) {
                    return leaf;
                }
            }
            const GeodeticCoord& coord = coords_[leaf->data()];
            const double d = geodetic::geodesic_distance_wgs84(lon_, lat_, coord.lon(), coord.lat());
            ++inverses_;
            if (d <= radius_metres_) {
                if constexpr (Measured) {
                    return LeafWithMetres<PointLeaf>{leaf, d};
                } else {
                    return leaf;
                }
            }
        }
        return Item{};
    }

    // Geodesic inverse problems solved so far (for benchmarks and tests).
    [[nodiscard]] std::uint64_t geodesic_inverses() const noexcept { return inverses_; }

    [[nodiscard]] rtree::NextIterator<WithinDistanceWgs84Iterator> begin() { return rtree::NextIterator(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::optional<Selection> selection_;
    std::span<const GeodeticCoord> coords_;
    UnitVec origin_{};
    double lon_ = 0.0;
    double lat_ = 0.0;
    double accept_2_ = -1.0;
    double radius_metres_ = 0.0;
    std::uint64_t inverses_ = 0;
};

}  // namespace sferix::indexed
