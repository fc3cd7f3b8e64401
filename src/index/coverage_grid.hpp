#pragma once

// Which places on the sphere lie near any of a tree's leaf boxes, on a grid of cells,
// so that a small-radius query far from every leaf is answered without walking:
//
//   CoverageGrid grid;
//   for (const Leaf& leaf : leaves) grid.cover(leaf.envelope());
//   if (CoverageGrid::applies_to(radius_metres) && !grid.may_reach(query.vector())) {
//       // no leaf within radius_metres: the walk would report nothing
//   }
//
// In a point-in-polygon join of points spread over the globe against small polygons,
// most points lie far from every polygon, and the walk spent most of its time proving
// that, one node box at a time (10^4 hexagons: ~30 box tests per such point).
//
// Each box may carry an id (cover(box, id)); after finish(), candidates(p) lists the
// ids of the boxes whose grown box may hold p, in the order they were covered: every
// box within MARGIN of p among them. Lists are dropped (keeps_lists() false) when they
// would pass LIST_ENTRIES_PER_BOX per box on average plus LIST_ENTRIES_SPARE in all,
// as many large boxes make them; may_reach still answers. Boxes that would mark a few
// dozen cells each on average (plus 2^24 in all) mark every cell instead: the grid then
// answers nothing, and costs no pass over the cells per box.
//
// The cells: each face of the cube [−1, 1]³, split into CELLS × CELLS by the gnomonic
// coordinates u = p_b / |p_a|, v = p_c / |p_a| of the points p whose largest
// coordinate (in magnitude) is p_a. A cell is marked when a leaf box grown by MARGIN
// (a chord of 4 km) may hold a point of the sphere in that cell.
//
// Why an unmarked cell proves the walk empty, for radius_metres ≤ MOST_RADIUS_METRES
// (1 km): the walk reports a leaf only when the leaf's box passes distance_2(p) ≤
// outer_2, and outer_2 is the squared chord of the radius widened by a millionth,
// below (MARGIN / 3)². If the box were that close, p would lie in the box grown by
// MARGIN (with room for every rounding of distance_2, far below the ratio 9), and p's
// face is the one of its largest coordinate, found by exact comparisons. cover()
// bounds u and v over all points of the grown box whose face coordinate is at least
// 1/√3 (every unit vector on that face has it): for w in [w_lo, w_hi] with w_lo > 0
// and p_b in [b_lo, b_hi], p_b / w is monotone in each, so its extremes are among the
// four corner quotients. The bounds are widened by SLACK, far above the rounding of
// those quotients and of the query's own u and v, and turned into cell indices by
// the same monotone rounded arithmetic the query uses, so p's cell lies between them.
// A box that is empty or not finite marks every cell.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "geodetic/unit_vec.hpp"

namespace sferix::indexed {

// The cells of a cube face grid of CoverageGrid::CELLS × CoverageGrid::CELLS per face,
// as the header above describes them; shared with LocationGrid.
struct FaceCell {
    std::size_t face;  // 2a for +axis a, 2a + 1 for −axis a
    std::size_t i;     // column of u = p_(a+1) / |p_a|
    std::size_t j;     // column of v = p_(a+2) / |p_a|
};

// The cells a box grown by `margin` may reach on each face, every bound widened by
// `slack` in u and v: count ranges written to `out`, or nothing for an empty or
// non-finite box (which may reach every cell).
struct FaceRange {
    std::size_t face;
    std::size_t i_first;
    std::size_t i_last;
    std::size_t j_first;
    std::size_t j_last;
};
[[nodiscard]] std::optional<std::size_t> face_ranges(const geodetic::Envelope& box, double margin, double slack,
                                                     std::array<FaceRange, 6>& out) noexcept;

// p's cell; nothing for the zero vector and NaN.
[[nodiscard]] std::optional<FaceCell> face_cell_of(const geodetic::UnitVec& p) noexcept;

class CoverageGrid {
public:
    // Cells per face side: 512 (about 20 km at the face centres); 6·512² bits = 192 KiB.
    static constexpr std::size_t CELLS = 512;

    // Nothing covered: may_reach is false everywhere.
    CoverageGrid();

    // Whether the grid's answer holds for a radius query of `radius_metres`: from 0 to
    // MOST_RADIUS_METRES (NaN and negative radii are left to the walk).
    [[nodiscard]] static bool applies_to(double radius_metres) noexcept;

    // Marks the cells where a point of the sphere may lie within MARGIN of `box`, and
    // (unless lists are dropped) lists `id` in each. REQUIRES: finish() not yet called.
    void cover(const geodetic::Envelope& box, std::uint32_t id = 0);

    // Ends covering: the lists are sorted out for candidates().
    void finish();

    // False only when no covered box lies within MARGIN of p. REQUIRES: p a unit
    // vector as embed makes them (NaN answers true).
    [[nodiscard]] bool may_reach(const geodetic::UnitVec& p) const noexcept;

    [[nodiscard]] bool keeps_lists() const noexcept { return keeps_lists_; }

    // The ids listed in p's cell, in covering order (none in an unmarked cell); nullopt
    // when the lists were dropped, p has no cell (where may_reach answers true), or the
    // cell lists more than MOST_CANDIDATES: where many small boxes crowd (the buildings
    // of a city), testing them all would cost far more than walking a tree to the few
    // near p. REQUIRES: finish() called; p as for may_reach.
    [[nodiscard]] std::optional<std::span<const std::uint32_t>> candidates(const geodetic::UnitVec& p) const noexcept;

    static constexpr std::size_t MOST_CANDIDATES = 32;
    static constexpr std::size_t LIST_ENTRIES_PER_BOX = 8;
    static constexpr std::size_t LIST_ENTRIES_SPARE = std::size_t{1} << 20;

private:
    static constexpr std::size_t CELLS_PER_FACE = CELLS * CELLS;

    void mark_all();
    void mark(std::size_t face, std::size_t i_first, std::size_t i_last, std::size_t j_first, std::size_t j_last,
              std::uint32_t id);
    void drop_lists();
    // p's cell (its bit index); nullopt for the zero vector and NaN.
    [[nodiscard]] static std::optional<std::size_t> cell_of(const geodetic::UnitVec& p) noexcept;
    [[nodiscard]] bool marked(std::size_t cell) const noexcept { return (bits_[cell / 64] >> (cell % 64) & 1U) != 0; }

    std::vector<std::uint64_t> bits_;
    bool keeps_lists_ = true;
    std::size_t boxes_ = 0;
    std::size_t marked_cells_ = 0;  // with repeats
    bool all_marked_ = false;
    // While covering: (cell, id) per listing. After finish: marked_before_[w], the
    // marked cells in the words before word w; list k (the k-th marked cell's) is
    // ids_[starts_[k], starts_[k + 1]).
    std::vector<std::uint64_t> listings_;
    std::vector<std::uint32_t> marked_before_;
    std::vector<std::uint32_t> starts_;
    std::vector<std::uint32_t> ids_;
};

}  // namespace sferix::indexed
