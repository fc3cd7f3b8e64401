#pragma once

// Which polygons of a tree hold a point, by one lookup for most points: the answer of a
// radius-0 query is worked out once per region of the sphere that no polygon boundary
// crosses, and a query landing in such a region is given that answer.
//
//   std::optional<LocationGrid> grid = make_location_grid(tree);   // once per tree
//   if (auto answer = grid->answer(query.vector())) {
//       hits.assign(answer->begin(), answer->end());   // what within_distance(tree, query, 0) gives
//   } else {
//       walk as usual: the point lies near a boundary
//   }
//
// The cells are CoverageGrid's (512 × 512 per cube face, about 20 km; the poles and the
// antimeridian are no edge of them). The arc boxes of every ring edge, boxed in pieces
// of about a cell, and the antipode of every polygon's reference point block the cells
// they come within MARGIN of; the free cells are grouped into the regions they form
// along each face (4-connected), and each region gets the walk's answer at one cell's
// centre. Stored as 64 × 64 blocks per face, a block either one answer or 8 × 8 cell
// answers (the world's 177 countries: 3% of the cells blocked, 1.1 MB).
//
// Why a free cell's answer is the walk's, for any query p that lands in it:
//  - p lies farther than MARGIN from every edge, so the radius-0 walk (which admits
//    squared chords up to 1e-290) reports exactly the polygons whose crossing count
//    holds p, and in the tree's depth-first order whatever the query, pruning only
//    dropping leaves (a polygon's box holds its filled region).
//  - A polygon's crossing count gives the same answer at two points that a path joins
//    without passing through an edge or the antipode of the reference point (see
//    containment_grid.cpp, step 2). In the gnomonic plane of a face a straight segment
//    is a great-circle arc; the segments from p to its cell's centre and from centre to
//    centre of neighbouring free cells stay within those cells (each widened by the
//    rounding of u and v, ~1e-15), and a point there within MARGIN of an edge's box or
//    of an antipode would have blocked the cell: the blocking widens u and v by SLACK,
//    orders of magnitude more, and rounds monotonically (see CoverageGrid).
// So p and the region's anchor get the same polygons, in the same order, all at 0 m.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/point.hpp"
#include "geodetic/polygon.hpp"
#include "index/coverage_grid.hpp"
#include "index/position_with_metres.hpp"
#include "index/within_distance.hpp"

namespace sferix::indexed {

class LocationGrid {
public:
    // Which cells some boundary comes near. A boundary of many long, slanting edges
    // could block a pass over many cells per edge: past 64 cells per box on average
    // (and 2^24 in all) block() gives up and the tree gets no grid.
    class Blocking {
    public:
        Blocking();
        // Blocks the cells within MARGIN of `box`; false once the blocking has given up
        // (or for a box that is empty or not finite).
        [[nodiscard]] bool block(const geodetic::Envelope& box);
        // Blocks the cells within MARGIN of the arc from a to b (an admissible edge).
        [[nodiscard]] bool block_arc(const geodetic::UnitVec& a, const geodetic::UnitVec& b);

    private:
        friend class LocationGrid;
        std::vector<std::uint64_t> bits_;
        std::size_t boxes_ = 0;
        std::size_t cells_ = 0;  // with repeats
    };

    // The answers of the free cells of `blocking`, each region's from answer_at(anchor,
    // hits), which leaves the walk's hits at anchor.
    using AnswerAt = std::function<void(const geodetic::GeodeticPoint&, std::vector<PositionWithMetres>&)>;
    [[nodiscard]] static LocationGrid build(const Blocking& blocking, const AnswerAt& answer_at);

    // The walk's hits at p when p's cell is free, else nothing. REQUIRES: p a unit
    // vector as embed makes them.
    [[nodiscard]] std::optional<std::span<const PositionWithMetres>> answer(const geodetic::UnitVec& p) const noexcept;

private:
    LocationGrid() = default;

    // An entry of top_ or blocks_: an answer's index, a block's (with IN_BLOCK), or
    // BLOCKED.
    static constexpr std::uint32_t BLOCKED = 0xFFFF'FFFF;
    static constexpr std::uint32_t IN_BLOCK = 0x8000'0000;

    std::vector<std::uint32_t> top_;     // face, then block row, then block column
    std::vector<std::uint32_t> blocks_;  // 64 entries per block, row by row
    std::vector<std::uint32_t> starts_;  // answer k is hits_[starts_[k], starts_[k + 1])
    std::vector<PositionWithMetres> hits_;
};

// The LocationGrid of a polygon tree: its answers are within_distance(tree, p, 0)'s.
// Nothing when the blocking gives up.
template <typename Tree>
[[nodiscard]] std::optional<LocationGrid> make_location_grid(const Tree& tree) {
    LocationGrid::Blocking blocking;
    for (const auto& leaf : tree.rtree().view().leaves) {
        const geodetic::GeodeticPolygon& polygon = leaf.geom();
        const auto block_ring = [&](const std::vector<geodetic::UnitVec>& ring) {
            for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
                if (!blocking.block_arc(ring[k], ring[k + 1])) {
                    return false;
                }
            }
            return true;
        };
        if (!block_ring(polygon.exterior().vectors())) {
            return std::nullopt;
        }
        for (const geodetic::GeodeticRing& ring : polygon.interiors()) {
            if (!block_ring(ring.vectors())) {
                return std::nullopt;
            }
        }
        if (const std::optional<geodetic::UnitVec> reference = polygon.reference()) {
            if (!blocking.block(geodetic::Envelope::from_point(-1.0 * *reference))) {
                return std::nullopt;
            }
        }
    }
    return LocationGrid::build(blocking, [&](const geodetic::GeodeticPoint& anchor,
                                             std::vector<PositionWithMetres>& hits) {
        within_distance(tree, anchor, 0.0, /*with_distance=*/true, hits);
    });
}

}  // namespace sferix::indexed
