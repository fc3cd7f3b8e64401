#pragma once

// Shared helpers for the R-tree tests: small leaf types, input generators and a
// tree validator.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "geodetic/unit_vec.hpp"
#include "rtree/aabb.hpp"
#include "rtree/flat_view.hpp"
#include "rtree/node.hpp"
#include "rtree/params.hpp"
#include "rtree/primitives/geom_with_data.hpp"
#include "rtree/rtree.hpp"
#include "rtree/validate.hpp"
#include "rtree/walk_check.hpp"

namespace sferix::rtree::testing {

using geodetic::UnitVec;
using Box = AABB<UnitVec>;

// A point geometry: a degenerate box, measured by the squared chord.
struct TestPoint {
    using PointType = UnitVec;
    UnitVec v;

    [[nodiscard]] Box envelope() const { return Box::from_point(v); }
    [[nodiscard]] double distance_2(const UnitVec& p) const { return geodetic::chord_2(v, p); }
    [[nodiscard]] bool contains_point(const UnitVec& p) const { return distance_2(p) <= 0.0; }
    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const UnitVec& p, double bound) const {
        if (!(envelope().distance_2(p) <= bound)) {
            return std::nullopt;
        }
        const double d = distance_2(p);
        return d <= bound ? std::optional<double>(d) : std::nullopt;
    }
};

// A solid box geometry: its distance is the box distance.
struct TestBox {
    using PointType = UnitVec;
    Box box;

    [[nodiscard]] Box envelope() const { return box; }
    [[nodiscard]] double distance_2(const UnitVec& p) const { return box.distance_2(p); }
    [[nodiscard]] bool contains_point(const UnitVec& p) const { return box.contains_point(p); }
    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const UnitVec& p, double bound) const {
        const double d = distance_2(p);
        return d <= bound ? std::optional<double>(d) : std::nullopt;
    }
};

// Leaves carry their input position as data.
using PointLeaf = GeomWithData<TestPoint, std::size_t>;
using BoxLeaf = GeomWithData<TestBox, std::size_t>;
using PointTree = RTree<PointLeaf>;
using BoxTree = RTree<BoxLeaf>;

// Leaves of `items`, each wrapped as a Geometry, with its input position.
template <typename Leaf, typename Geometry, typename Item>
std::vector<Leaf> numbered_leaves(const std::vector<Item>& items) {
    std::vector<Leaf> leaves;
    leaves.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        leaves.emplace_back(Geometry{items[i]}, i);
    }
    return leaves;
}

inline std::vector<PointLeaf> point_leaves(const std::vector<UnitVec>& points) {
    return numbered_leaves<PointLeaf, TestPoint>(points);
}
inline std::vector<BoxLeaf> box_leaves(const std::vector<Box>& boxes) { return numbered_leaves<BoxLeaf, TestBox>(boxes); }

inline PointTree point_tree(const std::vector<UnitVec>& points) { return PointTree::new_from_bulk_loading(point_leaves(points)); }

// Uniform on the unit sphere (normalised Gaussian triples).
inline std::vector<UnitVec> random_unit_vecs(std::size_t count, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::vector<UnitVec> points;
    points.reserve(count);
    while (points.size() < count) {
        const UnitVec v{normal(rng), normal(rng), normal(rng)};
        const double length = geodetic::norm(v);
        if (length > 1e-6) {
            points.push_back(v / length);
        }
    }
    return points;
}

// Small boxes around random unit vectors, half-widths up to `max_half_width`.
inline std::vector<Box> random_boxes(std::size_t count, double max_half_width, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> width(0.0, max_half_width);
    std::vector<Box> boxes;
    boxes.reserve(count);
    for (const UnitVec& c : random_unit_vecs(count, rng)) {
        const UnitVec half{width(rng), width(rng), width(rng)};
        boxes.push_back(Box::from_corners(c - half, c + half));
    }
    return boxes;
}

// Random points and boxes (random_boxes), drawn from `rng` in that order, each as leaf
// copies and as a tree.
struct RandomTrees {
    std::vector<UnitVec> points;
    std::vector<PointLeaf> point_copies;
    PointTree points_tree;
    std::vector<Box> boxes;
    std::vector<BoxLeaf> box_copies;
    BoxTree boxes_tree;
};

inline RandomTrees random_trees(std::mt19937_64& rng, std::size_t point_count, std::size_t box_count,
                                double max_half_width) {
    std::vector<UnitVec> points = random_unit_vecs(point_count, rng);
    std::vector<Box> boxes = random_boxes(box_count, max_half_width, rng);
    return {points, point_leaves(points), point_tree(points), boxes, box_leaves(boxes),
            BoxTree::new_from_bulk_loading(box_leaves(boxes))};
}

inline bool same_box(const Box& a, const Box& b) { return a.lower() == b.lower() && a.upper() == b.upper(); }

// The leaves' input positions, left to right in storage order.
template <typename T>
std::vector<std::size_t> storage_order(const RTree<T>& tree) {
    std::vector<std::size_t> out;
    for (const T& leaf : tree.view().leaves) {
        out.push_back(leaf.data());
    }
    return out;
}

template <typename T>
void collect_leaf_level_nodes(FlatTreeView<T> tree, const FlatNode<UnitVec>& node,
                              std::vector<const FlatNode<UnitVec>*>& out) {
    if (node.has_leaf_children()) {
        if (node.count != 0) {
            out.push_back(&node);
        }
        return;
    }
    for (const FlatNode<UnitVec>& child : tree.child_nodes(node)) {
        collect_leaf_level_nodes(tree, child, out);
    }
}

// The leaf-level nodes' input positions, each node in storage order, the nodes
// left to right.
template <typename T>
std::vector<std::vector<std::size_t>> leaf_level_groups(const RTree<T>& tree) {
    std::vector<const FlatNode<UnitVec>*> nodes;
    collect_leaf_level_nodes(tree.view(), tree.root(), nodes);
    std::vector<std::vector<std::size_t>> groups;
    for (const FlatNode<UnitVec>* node : nodes) {
        groups.emplace_back();
        for (const T& leaf : tree.view().child_leaves(*node)) {
            groups.back().push_back(leaf.data());
        }
    }
    return groups;
}

// The groups the storage order is made of (the partitioning's groups of at most
// STORAGE_GROUP_SIZE), each in storage order, as input positions.
inline std::vector<std::vector<std::size_t>> storage_groups(const std::vector<UnitVec>& points) {
    std::vector<PointLeaf> leaves = point_leaves(points);
    std::vector<std::vector<std::size_t>> groups;
    WalkCheck walk_check;
    sort_into_storage_order(
        std::span<PointLeaf>(leaves),
        [&groups](std::span<PointLeaf> group) {
            groups.emplace_back();
            for (const PointLeaf& leaf : group) {
                groups.back().push_back(leaf.data());
            }
        },
        walk_check);
    return groups;
}

namespace detail {

// Leaf-level nodes, met depth first and left to right, cover the leaf array in order
// (how the loader lays them out); counts the leaves met.
template <typename T>
::testing::AssertionResult leaves_in_order(FlatTreeView<T> tree, const FlatNode<UnitVec>& node,
                                           std::size_t& leaf_count) {
    if (node.has_leaf_children()) {
        if (node.first != leaf_count) {
            return ::testing::AssertionFailure() << "a leaf-level node starts at leaf " << node.first << ", not "
                                                 << leaf_count;
        }
        leaf_count += node.count;
        return ::testing::AssertionSuccess();
    }
    for (const FlatNode<UnitVec>& child : tree.child_nodes(node)) {
        if (auto result = leaves_in_order<T>(tree, child, leaf_count); !result) {
            return result;
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace detail

// The tree's structure as check_structure (the one validator, which the binary form's
// loader also runs) sees it, and what the loader adds: nodes at least half full (check_fill),
// leaf-level nodes cover the leaf array left to right, the leaf count is size(), and
// every input position appears exactly once.
template <typename T>
::testing::AssertionResult validate_tree(const RTree<T>& tree) {
    const FlatTreeView<T> view = tree.view();
    if (const std::optional<TreeDefect> defect = check_structure(view.nodes, view.leaves, no_hooks<TreeDefect>())) {
        return ::testing::AssertionFailure() << "node " << defect->index << ": " << defect->what;
    }
    if (const std::optional<TreeDefect> sparse = check_fill(view.nodes, leaf_node_capacity<T>(view.leaves.size()))) {
        return ::testing::AssertionFailure() << "node " << sparse->index << ": " << sparse->what;
    }
    if (view.leaves.size() != tree.size()) {
        return ::testing::AssertionFailure() << view.leaves.size() << " leaves in a tree of size " << tree.size();
    }
    std::size_t leaf_count = 0;
    if (auto result = detail::leaves_in_order<T>(view, tree.root(), leaf_count); !result) {
        return result;
    }
    if (leaf_count != tree.size()) {
        return ::testing::AssertionFailure() << leaf_count << " leaves in a tree of size " << tree.size();
    }
    std::vector<bool> seen(tree.size(), false);
    for (const std::size_t position : storage_order(tree)) {
        if (position >= seen.size() || seen[position]) {
            return ::testing::AssertionFailure() << "input position " << position << " is missing or repeated";
        }
        seen[position] = true;
    }
    return ::testing::AssertionSuccess();
}

// Drains a selection into input positions, in report order.
template <typename Iterator>
std::vector<std::size_t> drain_positions(Iterator&& iterator) {
    std::vector<std::size_t> out;
    while (const auto* leaf = iterator.next()) {
        out.push_back(leaf->data());
    }
    return out;
}

}  // namespace sferix::rtree::testing
