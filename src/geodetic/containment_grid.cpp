#include "geodetic/containment_grid.hpp"

#include <algorithm>
#include <cmath>

#include "geodetic/crossing.hpp"

// Why the grid gives exactly the full count's answer.
//
// Write full(x) for the polygon's answer by the full count (the reference point R's
// side, flipped by the parity of count_crossings from R to x over every ring), and call
// x clear when no edge passes through it.
// 1. For clear s and t with s ≠ −t, the parity of count_crossings from s to t is
//    w(s) + w(t) mod 2, where w(x) is the parity of the crossings of any path in general
//    position from a fixed base point to x (the mod-2 intersection number of a path
//    with closed curves depends only on its ends). The test's signs are those of the
//    rings deformed by path_side, except where they are zero: a vertex on the path's
//    circle with t (or s) on its edge's circle is ±t (or ±s), and an edge missing t then
//    misses the path, or the whole edge lies on the circle and moves off it to one
//    side; the test counts none of these, and the deformed rings cross the path there
//    neither. The deformation tends to zero and s, t are clear, so w is unchanged.
// 2. R is clear (try_build checks it), so full(x) = side(R) + w(R) + w(x) for every clear
//    x ≠ −R. An anchor A is decided from a clear source S (R or a decided anchor) not
//    antiparallel to it, as state(S) + parity(S → A), and only when A is clear: by
//    induction state(A) = full(A).
// 3. A query p inside the box is answered as state(A) + parity(A → p) = full(p) when p is
//    clear, p ≠ −R and A · p > 0; p is clear when count_crossings_near reports no edge
//    circle through p, since every edge through p lies in a run whose box holds p and
//    meets the path. A query outside the box is clear, and lies in the cap beyond a face
//    of the box, which holds no edge and is connected: full is constant on it, equal to
//    its value at the axis point there (clear, and decided by the polygon's full count)
//    unless that axis point is −R.
// count_crossings_near returns count_crossings' sum exactly, so the parities above are
// the full count's.

namespace sferix::geodetic {

namespace {

// Cells whose squared distances from the origin straddle 1 within this margin are
// decided; a unit vector's squared norm is within 1e-15 of 1, and a query landing in an
// undecided cell is answered by the full count anyway.
constexpr double SPHERE_MARGIN = 1e-9;

// A centre nearer the origin than this makes a poor anchor for its cell (the cell is
// then a large part of a box around most of the sphere): the cell is left undecided.
constexpr double MIN_ANCHOR_NORM = 0.1;

constexpr std::uint32_t MAX_CELLS_PER_AXIS = 4096;

}  // namespace

ContainmentGrid::ContainmentGrid(const Envelope& box, const std::array<std::uint32_t, 3>& counts,
                                 const UnitVec& reference)
    : box_(box), counts_(counts), reference_(reference) {
    for (std::size_t k = 0; k < 3; ++k) {
        cell_size_[k] = (box.upper()[k] - box.lower()[k]) / counts[k];
    }
    cells_.assign(std::size_t{counts[0]} * counts[1] * counts[2], UNDECIDED);
}

std::optional<ContainmentGrid> ContainmentGrid::try_build(const EdgeIndex& index, const ChainSource& chains,
                                                          std::size_t edge_count, const UnitVec& reference,
                                                          bool reference_inside,
                                                          const std::array<bool, 6>& axis_inside) {
    if (on_edge_circle_near(index, chains, reference)) {
        return std::nullopt;
    }
    const Envelope& box = index.bounds();
    std::array<double, 3> extent{};
    for (std::size_t k = 0; k < 3; ++k) {
        extent[k] = box.upper()[k] - box.lower()[k];
    }
    const double widest = std::max({extent[0], extent[1], extent[2]});
    if (!(widest > 0.0)) {
        return std::nullopt;
    }
    // The most cells along the widest axis that keep the total within the target; the
    // other axes get cells of the same size.
    const std::size_t target = std::max<std::size_t>(1, edge_count / EDGES_PER_CELL);
    const auto counts_for = [&](std::uint32_t along_widest) {
        std::array<std::uint32_t, 3> counts{};
        for (std::size_t k = 0; k < 3; ++k) {
            const double cells = std::ceil(extent[k] / widest * along_widest);
            counts[k] = static_cast<std::uint32_t>(std::clamp(cells, 1.0, double{MAX_CELLS_PER_AXIS}));
        }
        return counts;
    };
    const auto total = [](const std::array<std::uint32_t, 3>& c) { return std::size_t{c[0]} * c[1] * c[2]; };
    std::uint32_t along = 1;
    while (along < MAX_CELLS_PER_AXIS) {
        const std::uint32_t next = along + std::max<std::uint32_t>(1, along / 8);
        if (total(counts_for(next)) > target) {
            break;
        }
        along = next;
    }
    ContainmentGrid grid(box, counts_for(along), reference);

    for (std::size_t k = 0; k < 3; ++k) {
        UnitVec plus{0.0, 0.0, 0.0};
        if (k == 0) plus.x = 1.0;
        if (k == 1) plus.y = 1.0;
        if (k == 2) plus.z = 1.0;
        if (box.upper()[k] < 1.0 && !are_antiparallel(plus, reference)) {
            grid.caps_[2 * k] = axis_inside[2 * k] ? INSIDE : OUTSIDE;
        }
        if (box.lower()[k] > -1.0 && !are_antiparallel(-1.0 * plus, reference)) {
            grid.caps_[2 * k + 1] = axis_inside[2 * k + 1] ? INSIDE : OUTSIDE;
        }
    }

    // Each anchor is decided from the previous cell along x, y or z when that one is
    // decided (a path of one cell), else from the last decided anchor, else from R.
    const std::array<std::size_t, 3> stride = {1, grid.counts_[0], std::size_t{grid.counts_[0]} * grid.counts_[1]};
    std::optional<UnitVec> last;
    State last_state = UNDECIDED;
    for (std::size_t cell = 0; cell < grid.cells_.size(); ++cell) {
        if (!grid.meets_sphere(cell)) {
            continue;
        }
        const std::optional<UnitVec> a = grid.anchor(cell);
        if (!a) {
            continue;
        }
        UnitVec source = reference;
        State source_state = reference_inside ? INSIDE : OUTSIDE;
        const std::array<std::uint32_t, 3> at = grid.coordinates_of(cell);
        bool found = false;
        for (std::size_t k = 0; k < 3 && !found; ++k) {
            if (at[k] > 0 && grid.cells_[cell - stride[k]] != UNDECIDED) {
                source = *grid.anchor(cell - stride[k]);
                source_state = grid.cells_[cell - stride[k]];
                found = true;
            }
        }
        if (!found && last && !are_antiparallel(*last, *a)) {
            source = *last;
            source_state = last_state;
        }
        if (are_antiparallel(source, *a)) {
            source = reference;
            source_state = reference_inside ? INSIDE : OUTSIDE;
            if (are_antiparallel(source, *a)) {
                continue;
            }
        }
        const PathCrossings crossings = count_crossings_near(index, chains, source, *a);
        if (crossings.end_on_edge_circle) {
            continue;
        }
        const bool inside = (source_state == INSIDE) != (crossings.count % 2 == 1);
        grid.cells_[cell] = inside ? INSIDE : OUTSIDE;
        last = *a;
        last_state = grid.cells_[cell];
    }
    return grid;
}

std::optional<bool> ContainmentGrid::contains(const EdgeIndex& index, const ChainSource& chains,
                                              const UnitVec& p) const noexcept {
    if (are_antiparallel(p, reference_)) {
        return std::nullopt;
    }
    if (!box_.contains_point(p)) {
        const UnitVec& lo = box_.lower();
        const UnitVec& hi = box_.upper();
        const std::array<bool, 6> beyond = {p.x > hi.x, p.x < lo.x, p.y > hi.y, p.y < lo.y, p.z > hi.z, p.z < lo.z};
        for (std::size_t face = 0; face < beyond.size(); ++face) {
            if (beyond[face] && caps_[face] != UNDECIDED) {
                return caps_[face] == INSIDE;
            }
        }
        return std::nullopt;
    }
    const std::size_t cell = cell_of(p);
    const State state = cells_[cell];
    if (state == UNDECIDED) {
        return std::nullopt;
    }
    const UnitVec a = *anchor(cell);
    if (!(dot(a, p) > 0.0)) {
        return std::nullopt;
    }
    const PathCrossings crossings = count_crossings_near(index, chains, a, p);
    if (crossings.end_on_edge_circle) {
        return std::nullopt;
    }
    return (state == INSIDE) != (crossings.count % 2 == 1);
}

std::size_t ContainmentGrid::cell_of(const UnitVec& p) const noexcept {
    std::array<std::uint32_t, 3> at{};
    for (std::size_t k = 0; k < 3; ++k) {
        const double offset = (p[k] - box_.lower()[k]) / cell_size_[k];
        // A zero-width axis gives NaN or infinity here; it has one cell.
        if (!(offset > 0.0)) {
            at[k] = 0;
        } else if (!(offset < counts_[k])) {
            at[k] = counts_[k] - 1;
        } else {
            at[k] = static_cast<std::uint32_t>(offset);
        }
    }
    return at[0] + std::size_t{counts_[0]} * (at[1] + std::size_t{counts_[1]} * at[2]);
}

std::array<std::uint32_t, 3> ContainmentGrid::coordinates_of(std::size_t cell) const noexcept {
    const std::uint32_t x = static_cast<std::uint32_t>(cell % counts_[0]);
    const std::size_t rest = cell / counts_[0];
    return {x, static_cast<std::uint32_t>(rest % counts_[1]), static_cast<std::uint32_t>(rest / counts_[1])};
}

std::optional<UnitVec> ContainmentGrid::anchor(std::size_t cell) const noexcept {
    const std::array<std::uint32_t, 3> at = coordinates_of(cell);
    const UnitVec centre{box_.lower().x + (at[0] + 0.5) * cell_size_[0], box_.lower().y + (at[1] + 0.5) * cell_size_[1],
                         box_.lower().z + (at[2] + 0.5) * cell_size_[2]};
    const double length = norm(centre);
    if (!(length > MIN_ANCHOR_NORM)) {
        return std::nullopt;
    }
    return centre / length;
}

bool ContainmentGrid::meets_sphere(std::size_t cell) const noexcept {
    const std::array<std::uint32_t, 3> at = coordinates_of(cell);
    double near_2 = 0.0;
    double far_2 = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        const double lo = box_.lower()[k] + at[k] * cell_size_[k];
        const double hi = lo + cell_size_[k];
        const double nearest = lo > 0.0 ? lo : (hi < 0.0 ? -hi : 0.0);
        near_2 += nearest * nearest;
        far_2 += std::max(lo * lo, hi * hi);
    }
    return near_2 <= 1.0 + SPHERE_MARGIN && far_2 >= 1.0 - SPHERE_MARGIN;
}

}  // namespace sferix::geodetic
