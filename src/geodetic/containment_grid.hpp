#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "geodetic/edge_index.hpp"
#include "geodetic/unit_vec.hpp"

// Point-in-polygon in about the time of one short walk down an edge index: the answer
// for a cell's anchor is decided once, at build time, and a query counts crossings
// only on the short path from its cell's anchor.
//
//   auto grid = ContainmentGrid::try_build(index, chains, edges, reference, reference_inside, axis_inside);
//   if (auto inside = grid->contains(index, chains, p)) { return *inside; }
//   return full_crossing_count_answer(p);   // the few queries the grid leaves open

namespace sferix::geodetic {

class ContainmentGrid {
public:
    // Aim for one grid cell per this many edges. On a smooth 10^5-edge circle anything
    // from 4 to 256 gives the same query and build times, the plane test keeping long
    // paths cheap; finer cells bound the crossings a path meets on jagged coasts, for a
    // build cost under 1%.
    static constexpr std::size_t EDGES_PER_CELL = 16;

    // `reference` is the polygon's reference point and `reference_inside` its side;
    // axis_inside[2k] and axis_inside[2k + 1] are the full count's answers at +e_k and
    // −e_k (the six axis points, x, y, z). Nothing when the reference point lies on
    // the great circle of an edge near it: the answers could then depend on the path.
    // The grid has about edge_count / EDGES_PER_CELL cells over index.bounds(); the
    // build walks the index once per cell that meets the sphere.
    [[nodiscard]] static std::optional<ContainmentGrid> try_build(const EdgeIndex& index, const ChainSource& chains,
                                                                  std::size_t edge_count, const UnitVec& reference,
                                                                  bool reference_inside,
                                                                  const std::array<bool, 6>& axis_inside);

    // The full crossing count's answer for p, or nothing when the grid cannot vouch for
    // it (p on or next to an edge's great circle, p antiparallel to the reference point,
    // a cell left undecided); the caller then runs the full count.
    [[nodiscard]] std::optional<bool> contains(const EdgeIndex& index, const ChainSource& chains,
                                               const UnitVec& p) const noexcept;

private:
    enum State : std::uint8_t { UNDECIDED = 0, OUTSIDE = 1, INSIDE = 2 };

    ContainmentGrid(const Envelope& box, const std::array<std::uint32_t, 3>& counts, const UnitVec& reference);

    [[nodiscard]] std::size_t cell_of(const UnitVec& p) const noexcept;
    [[nodiscard]] std::array<std::uint32_t, 3> coordinates_of(std::size_t cell) const noexcept;
    // The cell's centre scaled onto the sphere; nothing for a centre near the origin.
    [[nodiscard]] std::optional<UnitVec> anchor(std::size_t cell) const noexcept;
    [[nodiscard]] bool meets_sphere(std::size_t cell) const noexcept;

    Envelope box_;                          // the index's bounds
    std::array<std::uint32_t, 3> counts_;   // cells per axis
    std::array<double, 3> cell_size_;
    std::vector<State> cells_;              // x fastest, then y, then z
    std::array<State, 6> caps_{};           // the region beyond each face of box_
    UnitVec reference_;
};

}  // namespace sferix::geodetic
