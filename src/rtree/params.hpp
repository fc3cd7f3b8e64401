#pragma once

#include <concepts>
#include <cstddef>

namespace sferix::rtree {

// A node-size parameter set. Semantic requirement: MAX_SIZE is the loader's node
// capacity, the largest group that becomes one leaf-level node (a group of
// MAX_SIZE + 1 elements is partitioned further). At least 2, so that every
// partitioning pass makes progress.
template <typename P>
concept RTreeParams = requires {
    { P::MAX_SIZE } -> std::convertible_to<std::size_t>;
} && (P::MAX_SIZE >= 2);

// The only parameter set the system uses: groups of at most 6 elements become
// leaf-level nodes.
struct DefaultParams {
    static constexpr std::size_t MAX_SIZE = 6;
};

static_assert(RTreeParams<DefaultParams>);
// The loader's clusters-per-axis rule and the documented tree shapes assume 6.
static_assert(DefaultParams::MAX_SIZE == 6);

}  // namespace sferix::rtree
