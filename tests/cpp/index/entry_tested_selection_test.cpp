#include "index/entry_tested_selection.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "indexed_testing.hpp"
#include "rtree/algorithm/iterators.hpp"
#include "rtree/algorithm/selection_functions.hpp"

namespace sferix::geodetic {
namespace {

using namespace testing;

// Every leaf both walks report, in their order.
template <typename Leaf>
void expect_same_walk(const rtree::FlatTreeView<Leaf>& view, const UnitVec& origin, double max_distance_2) {
    const rtree::SelectWithinDistanceFunction<UnitVec> function{origin, max_distance_2};
    rtree::SelectionIterator<Leaf, decltype(function)> popped(view, function);
    indexed::EntryTestedSelection<Leaf, decltype(function)> entered(view, function);
    std::vector<const Leaf*> expected;
    std::vector<const Leaf*> got;
    while (const Leaf* leaf = popped.next()) {
        expected.push_back(leaf);
    }
    while (const Leaf* leaf = entered.next()) {
        got.push_back(leaf);
    }
    ASSERT_EQ(got, expected) << "bound " << max_distance_2;
}

TEST(EntryTestedSelection, ReportsTheSelectionIteratorsLeavesInItsOrder) {
    std::mt19937_64 rng(21);
    const auto polygons = shared_tree(random_polygons(rng, 1500));
    const auto lines = shared_tree(random_linestrings(rng, 1500));
    const auto empty = shared_tree(std::vector<std::shared_ptr<const GeodeticPolygon>>{});
    for (const LonLat& q : random_queries(rng, random_point_coords(rng, 100), 40)) {
        const UnitVec origin = embed(q.lon, q.lat);
        for (const double bound : {0.0, 1e-290, 1e-6, 1e-3, 0.5, std::numeric_limits<double>::infinity()}) {
            expect_same_walk(polygons.rtree().view(), origin, bound);
            expect_same_walk(lines.rtree().view(), origin, bound);
            expect_same_walk(empty.rtree().view(), origin, bound);
        }
    }
}

// Taking every leaf of a tree deep enough stacks more pending nodes than the
// object holds, so the walk continues from the heap.
TEST(EntryTestedSelection, MovesItsStackToTheHeapOnDeepWideWalks) {
    std::mt19937_64 rng(22);
    const PointTree tree = point_tree(random_point_coords(rng, 1'000'000));
    // Entering the first child at every level leaves its siblings pending.
    std::size_t pending = 1;
    for (const auto* node = &tree.rtree().view().root(); !node->has_leaf_children();
         node = &tree.rtree().view().nodes[node->first]) {
        pending += node->count - 1;
    }
    ASSERT_GT(pending, (indexed::EntryTestedSelection<PointLeaf, int>::INLINE_CAPACITY));
    expect_same_walk(tree.rtree().view(), embed(10.0, 20.0), std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace sferix::geodetic
