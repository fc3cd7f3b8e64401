#pragma once

// Small-radius queries on a linestring or polygon tree answered from a coverage grid
// of its leaves instead of by walking:
//
//   const LeafCoverage<PolygonLeaf> coverage(tree);           // once per tree
//   if (!coverage.within_distance(tree, query, radius, [&](const Leaf& leaf, double distance_2) {...})) {
//       walk as usual: the grid cannot answer this one
//   }
//
// The grid lists each leaf in the cells near its box, the leaves of each cell in the
// order a walk that accepts everything reports them. Why the answer is the walk's:
// a leaf the walk reports passes should_yield, so its box lies within the radius and
// the leaf is listed in the query's cell (see CoverageGrid); every box above it
// contains its box, so measures no farther (clamping to a larger interval moves no
// farther, and rounding is monotone) and passes should_descend too; so the walk
// reports exactly the listed leaves that pass should_yield. And it reports them in
// the accept-everything order: pruning drops subtrees and leaves, never reorders the
// rest.

#include <cstddef>
#include <cstdint>
#include <span>

#include "index/coverage_grid.hpp"
#include "index/entry_tested_selection.hpp"
#include "index/tree.hpp"

namespace sferix::indexed {

template <indexed::GeodeticLeaf Leaf>
class LeafCoverage {
public:
    // REQUIRES: fewer than 2^32 leaves; `tree` outlives nothing here (leaves are named
    // by their index in tree.rtree().view().leaves).
    explicit LeafCoverage(const indexed::GeodeticRTree<Leaf>& tree) {
        const rtree::FlatTreeView<Leaf> view = tree.rtree().view();
        EntryTestedSelection<Leaf, Everything> walk(view, Everything{});
        while (const Leaf* leaf = walk.next()) {
            grid_.cover(leaf->envelope(), static_cast<std::uint32_t>(leaf - view.leaves.data()));
        }
        grid_.finish();
    }

    // When the grid can answer (radius_metres from 0 to 1 km, and p's cell either
    // empty or listing few leaves), calls out(leaf, distance_2) for each leaf that
    // tree.locate_within_distance(query, radius_metres) reports, in its order, and
    // returns true; otherwise returns false having called nothing. REQUIRES: `tree`
    // is the tree this was made from.
    template <typename Out>
    bool within_distance(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query,
                         double radius_metres, Out&& out) const {
        if (!CoverageGrid::applies_to(radius_metres)) {
            return false;
        }
        const std::optional<std::span<const std::uint32_t>> listed = grid_.candidates(query.vector());
        if (!listed) {
            return !grid_.may_reach(query.vector());
        }
        if (listed->empty()) {
            return true;
        }
        const std::span<const Leaf> leaves = tree.rtree().view().leaves;
        const indexed::SelectWithinDistanceRecording<Leaf> test(query.vector(), geodetic::SphereRadius(radius_metres));
        for (const std::uint32_t index : *listed) {
            const Leaf& leaf = leaves[index];
            if (test.should_yield(leaf)) {
                out(leaf, test.last_distance_2());
            }
        }
        return true;
    }

    [[nodiscard]] const CoverageGrid& grid() const noexcept { return grid_; }

private:
    struct Everything {
        [[nodiscard]] bool should_descend(const geodetic::Envelope& /* envelope */) const noexcept { return true; }
        [[nodiscard]] bool should_yield(const Leaf& /* leaf */) const noexcept { return true; }
    };

    CoverageGrid grid_;
};

}  // namespace sferix::indexed
