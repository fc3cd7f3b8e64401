#pragma once

#include <utility>
#include <variant>
#include <vector>

#include "rtree/aabb.hpp"
#include "rtree/object.hpp"

namespace sferix::rtree {

template <RTreeObject T>
class RTreeNode;

// An inner node: its children in storage order and the merge of their envelopes.
// The children are either all leaves (1 to MAX_NODE_SIZE of them; none only in the
// root of an empty tree) or all parent nodes (one per group of a partitioning
// pass, so 7 or 8).
template <RTreeObject T>
class ParentNode {
public:
    using Point = typename T::PointType;
    using Envelope = AABB<Point>;

    // Takes the children as they are (their order is the storage order) and
    // computes the envelope once: new_empty merged, in child order, with each
    // child's envelope. No children give the empty box.
    [[nodiscard]] static ParentNode new_parent(std::vector<RTreeNode<T>>&& children) {
        Envelope envelope = Envelope::new_empty();
        for (const RTreeNode<T>& child : children) {
            envelope.merge(child.envelope());
        }
        return ParentNode(envelope, std::move(children));
    }

    [[nodiscard]] const Envelope& envelope() const noexcept { return envelope_; }
    [[nodiscard]] const std::vector<RTreeNode<T>>& children() const noexcept { return children_; }

private:
    ParentNode(const Envelope& envelope, std::vector<RTreeNode<T>>&& children) noexcept
        : envelope_(envelope), children_(std::move(children)) {}

    Envelope envelope_;
    std::vector<RTreeNode<T>> children_;
};

// A child slot of a parent node: either one leaf object or one parent node,
// both held by value. Queries branch on the variant; there are no virtual calls.
template <RTreeObject T>
class RTreeNode {
public:
    using Point = typename T::PointType;
    using Envelope = AABB<Point>;

    [[nodiscard]] static RTreeNode from_leaf(T&& object) { return RTreeNode(std::in_place_index<0>, std::move(object)); }
    [[nodiscard]] static RTreeNode from_parent(ParentNode<T>&& parent) {
        return RTreeNode(std::in_place_index<1>, std::move(parent));
    }

    [[nodiscard]] bool is_leaf() const noexcept { return content_.index() == 0; }

    // The leaf object, or null for a parent node.
    [[nodiscard]] const T* as_leaf() const noexcept { return std::get_if<0>(&content_); }
    // The parent node, or null for a leaf.
    [[nodiscard]] const ParentNode<T>* as_parent() const noexcept { return std::get_if<1>(&content_); }

    // A leaf's envelope() (recomputed on each call), or a parent's stored envelope.
    [[nodiscard]] Envelope envelope() const {
        if (const T* leaf = as_leaf()) {
            return leaf->envelope();
        }
        return as_parent()->envelope();
    }

private:
    template <std::size_t I, typename V>
    RTreeNode(std::in_place_index_t<I> index, V&& value) : content_(index, std::forward<V>(value)) {}

    std::variant<T, ParentNode<T>> content_;
};

}  // namespace sferix::rtree
