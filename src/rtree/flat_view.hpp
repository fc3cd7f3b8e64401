#pragma once

#include <cstddef>
#include <span>

#include "rtree/node.hpp"
#include "rtree/object.hpp"

namespace sferix::rtree {

// A read-only view of a flat tree's two arrays: the nodes, root first, and the
// leaf objects in storage order. Walks take it by value; it borrows the tree.
template <RTreeObject T>
struct FlatTreeView {
    using Point = typename T::PointType;
    using Node = FlatNode<Point>;

    std::span<const Node> nodes;
    std::span<const T> leaves;

    [[nodiscard]] const Node& root() const noexcept { return nodes[0]; }

    // The child nodes of a node whose children are nodes.
    [[nodiscard]] std::span<const Node> child_nodes(const Node& node) const noexcept {
        return nodes.subspan(node.first, node.count);
    }

    // The leaf objects of a node whose children are leaves.
    [[nodiscard]] std::span<const T> child_leaves(const Node& node) const noexcept {
        return leaves.subspan(node.first, node.count);
    }

    // The position of `node` in the node array.
    [[nodiscard]] std::size_t index_of(const Node& node) const noexcept {
        return static_cast<std::size_t>(&node - nodes.data());
    }
};

}  // namespace sferix::rtree
