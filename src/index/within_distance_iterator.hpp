#pragma once

#include <concepts>
#include <iterator>
#include <optional>
#include <type_traits>

#include "geodetic/radius.hpp"
#include "index/entry_tested_selection.hpp"
#include "index/leaf.hpp"
#include "rtree/algorithm/next_iterator.hpp"
#include "rtree/rtree.hpp"

namespace sferix::indexed {

using geodetic::SphereRadius;
using geodetic::UnitVec;

// The radius test of locate_within_distance: boxes are pruned at radius.outer_2(),
// leaves kept by radius.admits, and the squared chord of the leaf accepted last is
// kept so that the query can report it without measuring again.
// The record is mutable because the selection interface tests leaves through a
// const function; it changes only when should_yield accepts.
template <GeodeticLeaf Leaf>
class SelectWithinDistanceRecording {
public:
    SelectWithinDistanceRecording(const UnitVec& origin, const SphereRadius& radius) noexcept
        : test_{origin, radius.outer_2()}, radius_(radius) {}

    [[nodiscard]] bool should_descend(const Envelope& envelope) const { return test_.should_descend(envelope); }
    // What lets a point tree's walk measure a node's leaves at once: no leaf beyond
    // this squared chord from origin() is accepted.
    [[nodiscard]] double leaf_bound() const noexcept { return test_.max_distance_2; }
    [[nodiscard]] const UnitVec& origin() const noexcept { return test_.origin; }

    [[nodiscard]] bool should_yield(const Leaf& leaf) const {
        const std::optional<double> distance_2 = leaf.distance_2_if_less_or_equal(test_.origin, test_.max_distance_2);
        if (!distance_2 || !radius_.admits(*distance_2)) {
            return false;
        }
        last_distance_2_ = *distance_2;
        return true;
    }

    // The squared chord of the leaf accepted last (0 before any).
    [[nodiscard]] double last_distance_2() const noexcept { return last_distance_2_; }

private:
    rtree::SelectWithinDistanceFunction<UnitVec> test_;
    SphereRadius radius_;
    mutable double last_distance_2_ = 0.0;
};

// Lazy result of locate_within_distance: leaves with their squared chords. Linestring
// and polygon trees walk with EntryTestedSelection, which reports the same leaves in
// the same order as the SelectionIterator the point trees keep, at about half the cost
// of a point-in-polygon query.
template <GeodeticLeaf Leaf>
class WithinDistanceIterator {
public:
    using Selection =
        std::conditional_t<std::same_as<Leaf, PointLeaf>, rtree::SelectionIterator<Leaf, SelectWithinDistanceRecording<Leaf>>,
                           indexed::EntryTestedSelection<Leaf, SelectWithinDistanceRecording<Leaf>>>;

    // The empty sequence.
    WithinDistanceIterator() = default;
    WithinDistanceIterator(rtree::FlatTreeView<Leaf> tree, const UnitVec& origin, const SphereRadius& radius) {
        selection_.emplace(tree, SelectWithinDistanceRecording<Leaf>(origin, radius));
    }

    [[nodiscard]] std::optional<LeafWithDistance2<Leaf>> next() {
        if (!selection_) {
            return std::nullopt;
        }
        const Leaf* leaf = selection_->next();
        if (leaf == nullptr) {
            return std::nullopt;
        }
        return LeafWithDistance2<Leaf>{leaf, selection_->function().last_distance_2()};
    }

    [[nodiscard]] rtree::NextIterator<WithinDistanceIterator> begin() { return rtree::NextIterator(*this); }
    [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::optional<Selection> selection_;
};

}  // namespace sferix::indexed
