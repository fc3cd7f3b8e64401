#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "geodetic/arc.hpp"
#include "geodetic/unit_vec.hpp"

// A static box hierarchy over the edges of one big geometry, so that a distance or a
// crossing count looks at the edges near the query instead of all of them:
//
//   const ChainSource chains{&line, read_chain};       // chain c of the geometry
//   EdgeIndex index = EdgeIndex::build(spans);         // with the geometry, off the GIL
//   double d_2 = index.min_distance_2(p, INFINITY, chains);
//   index.for_each_run_near_arc(box, normal, [&](const EdgeRun& run, const Envelope& run_box) { ... });
//
// Leaves are runs of RUN_EDGES consecutive edges of one chain: neighbours along a chain
// are neighbours on the sphere, so a run's box is small and no permutation is stored.
// Above them each node covers FANOUT consecutive nodes of the level below. Everything
// lives in three flat arrays and a node's children are found by arithmetic:
// 1,000 edges make 63 runs, then 8 nodes, then the root.

namespace sferix::geodetic {

// Edges first .. end − 1 of chain `chain` (edge k joins vertex k and vertex k + 1).
struct EdgeRun {
    std::uint32_t chain;
    std::uint32_t first;
    std::uint32_t end;
};

// Chain c of the geometry an index was built over, read back through a plain function
// so that the index keeps no pointer into a geometry that may move.
struct ChainSource {
    const void* owner;
    std::span<const UnitVec> (*read)(const void* owner, std::uint32_t chain) noexcept;

    [[nodiscard]] std::span<const UnitVec> operator()(std::uint32_t chain) const noexcept { return read(owner, chain); }
};

// The lower bound of a box's dot products with `normal` exceeds this, or the upper
// bound is below its negative, only for a box strictly on one side of the plane
// through the origin normal to the exact cross product the normal was rounded from:
// each component of a rounded cross product of near-unit vectors is off by under
// 4e-16 and the three-term dot product with a corner of norm under 1.8 adds under
// 1e-15, so 1e-14 leaves a factor of ten.
inline constexpr double PLANE_MARGIN = 1e-14;

// Whether `box` may hold a point of the plane through the origin normal to `normal`.
[[nodiscard]] bool box_meets_plane(const Envelope& box, const UnitVec& normal) noexcept;

class EdgeIndex {
public:
    static constexpr std::size_t RUN_EDGES = 16;
    static constexpr std::size_t FANOUT = 8;
    // Geometries with fewer edges keep no index. Measured on circles of 8 to 128 edges:
    // indexed containment breaks even with the full count at about 32 edges and
    // distance at about 16; at 64 both are 2 to 4 times faster, and the index's fixed
    // cost (a few hundred bytes, a few microseconds to build) is under 10 bytes a vertex.
    static constexpr std::size_t MIN_INDEXED_EDGES = 64;

    // Builds the index over the chains (chain c has chains[c].size() − 1 edges, none for
    // fewer than 2 vertices), computing every edge's arc_bounding_box once.
    // REQUIRES: fewer than 2^32 chains and vertices per chain, else the internal
    // assertion "an edge index numbers chains and edges in 32 bits".
    [[nodiscard]] static EdgeIndex build(std::span<const std::span<const UnitVec>> chains);

    // The union of every edge's arc_bounding_box: bit for bit what merge_arc_boxes
    // over the chains in order gives from an empty box (min and max are exact).
    [[nodiscard]] const Envelope& bounds() const noexcept { return boxes_.back(); }

    // Calls visit(run, run_box) for every run whose box meets `box` (touching counts)
    // and the plane normal to `normal` (box_meets_plane; a zero normal passes every
    // box), in no particular order. Every edge with a point in both lies in a visited
    // run, since a run's box holds its edges' arc boxes. Allocation-free.
    template <typename Visit>
    void for_each_run_near_arc(const Envelope& box, const UnitVec& normal, Visit&& visit) const;

    // Whether test(run) holds for some run whose box meets `box` (touching counts),
    // asked in no particular order until it does.
    template <typename Test>
    [[nodiscard]] bool any_run_near(const Envelope& box, Test&& test) const;

    // The smallest arc_distance_2 from p over every edge, when it is ≤ bound_2
    // (inclusive); otherwise some value > bound_2 (+infinity when no edge is near).
    // Bit for bit the minimum a scan of all edges gives: a subtree is skipped only when
    // its box is farther than the best edge so far or than bound_2, and no edge in a
    // box measures nearer than the box (see the comment in the definition).
    [[nodiscard]] double min_distance_2(const UnitVec& p, double bound_2, const ChainSource& chains) const noexcept;

private:
    // Node i of level L > 0 covers nodes FANOUT·i .. FANOUT·i + FANOUT − 1 of level L − 1
    // (numbered from that level's start); level 0 is runs_.
    [[nodiscard]] std::size_t child_begin(std::size_t level, std::size_t node) const noexcept {
        return level_starts_[level - 1] + FANOUT * (node - level_starts_[level]);
    }
    [[nodiscard]] std::size_t level_end(std::size_t level) const noexcept { return level_starts_[level + 1]; }

    std::vector<Envelope> boxes_;             // every level, runs first, the root last
    std::vector<EdgeRun> runs_;               // the runs, in boxes_ order
    std::vector<std::uint32_t> level_starts_;  // start of each level in boxes_, then boxes_.size()
};

// A node index and its level, as kept on the walks' fixed stacks; 16 levels hold
// 16 · 8^15 edges, more than 32-bit numbering allows.
struct EdgeIndexCursor {
    std::uint32_t node;
    std::uint32_t level;
};
inline constexpr std::size_t EDGE_INDEX_MAX_LEVELS = 16;

template <typename Visit>
void EdgeIndex::for_each_run_near_arc(const Envelope& box, const UnitVec& normal, Visit&& visit) const {
    std::array<EdgeIndexCursor, EDGE_INDEX_MAX_LEVELS * FANOUT> stack;
    std::size_t top = 0;
    const std::size_t root_level = level_starts_.size() - 2;
    stack[top++] = {static_cast<std::uint32_t>(boxes_.size() - 1), static_cast<std::uint32_t>(root_level)};
    while (top > 0) {
        const EdgeIndexCursor at = stack[--top];
        const Envelope& node_box = boxes_[at.node];
        if (!node_box.intersects(box) || !box_meets_plane(node_box, normal)) {
            continue;
        }
        if (at.level == 0) {
            visit(runs_[at.node], node_box);
            continue;
        }
        const std::size_t begin = child_begin(at.level, at.node);
        const std::size_t end = std::min(begin + FANOUT, level_end(at.level - 1));
        for (std::size_t child = begin; child < end; ++child) {
            stack[top++] = {static_cast<std::uint32_t>(child), at.level - 1};
        }
    }
}

template <typename Test>
bool EdgeIndex::any_run_near(const Envelope& box, Test&& test) const {
    std::array<EdgeIndexCursor, EDGE_INDEX_MAX_LEVELS * FANOUT> stack;
    std::size_t top = 0;
    stack[top++] = {static_cast<std::uint32_t>(boxes_.size() - 1), static_cast<std::uint32_t>(level_starts_.size() - 2)};
    while (top > 0) {
        const EdgeIndexCursor at = stack[--top];
        if (!boxes_[at.node].intersects(box)) {
            continue;
        }
        if (at.level == 0) {
            if (test(runs_[at.node])) {
                return true;
            }
            continue;
        }
        const std::size_t begin = child_begin(at.level, at.node);
        const std::size_t end = std::min(begin + FANOUT, level_end(at.level - 1));
        for (std::size_t child = begin; child < end; ++child) {
            stack[top++] = {static_cast<std::uint32_t>(child), at.level - 1};
        }
    }
    return false;
}

}  // namespace sferix::geodetic
