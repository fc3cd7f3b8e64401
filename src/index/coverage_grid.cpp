#include "index/coverage_grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "geodetic/distance.hpp"

namespace sferix::indexed {

namespace {

constexpr std::size_t FACES = 6;
constexpr double MOST_RADIUS_METRES = 1000.0;
// Below 1/√3 = 0.57735..., the least a unit vector's largest coordinate can be.
constexpr double W_MIN = 0.577;
// Far above the few ulps by which the quotients below and the query's u and v round.
constexpr double SLACK = 1e-9;
// The marking the grid does before it marks everything: 64 cells per box, and 2^24 more.
constexpr std::size_t MARKING_PER_BOX = 64;
constexpr std::size_t MARKING_SPARE = std::size_t{1} << 24;

// The chord of 4 km: three times the chord of the largest radius the grid answers for,
// with the room the header's argument needs.
double margin() noexcept {
    static const double chord = std::sqrt(geodetic::metres_to_squared_chord(4.0 * MOST_RADIUS_METRES));
    return chord;
}

// The column of a gnomonic coordinate: monotone in u (rounding is), clamped to the face.
std::size_t cell_index(double u) noexcept {
    const double x = (u + 1.0) * (0.5 * static_cast<double>(CoverageGrid::CELLS));
    if (!(x > 0.0)) {
        return 0;
    }
    return x < static_cast<double>(CoverageGrid::CELLS) ? static_cast<std::size_t>(x) : CoverageGrid::CELLS - 1;
}

struct Range {
    double lo;
    double hi;
};

// The quotients b / w over b in [b.lo, b.hi] and w in [w.lo, w.hi], 0 < w.lo ≤ w.hi.
Range quotients(Range b, Range w) noexcept {
    return {std::min(b.lo / w.lo, b.lo / w.hi), std::max(b.hi / w.lo, b.hi / w.hi)};
}

}  // namespace

std::optional<std::size_t> face_ranges(const geodetic::Envelope& box, double margin, double slack,
                                       std::array<FaceRange, 6>& out) noexcept {
    Range grown[3];
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const double lo = box.lower()[axis];
        const double hi = box.upper()[axis];
        if (!(std::isfinite(lo) && std::isfinite(hi) && lo <= hi)) {
            return std::nullopt;
        }
        grown[axis] = {lo - margin, hi + margin};
    }
    std::size_t count = 0;
    for (std::size_t face = 0; face < FACES; ++face) {
        const std::size_t a = face / 2;
        const bool negative = face % 2 == 1;
        const Range w_range = negative ? Range{-grown[a].hi, -grown[a].lo} : grown[a];
        if (w_range.hi < W_MIN) {
            continue;
        }
        const Range w{std::max(w_range.lo, W_MIN), w_range.hi};
        const Range u = quotients(grown[(a + 1) % 3], w);
        const Range v = quotients(grown[(a + 2) % 3], w);
        if (u.hi < -1.0 - slack || u.lo > 1.0 + slack || v.hi < -1.0 - slack || v.lo > 1.0 + slack) {
            continue;
        }
        out[count++] = {face, cell_index(u.lo - slack), cell_index(u.hi + slack), cell_index(v.lo - slack),
                        cell_index(v.hi + slack)};
    }
    return count;
}

std::optional<FaceCell> face_cell_of(const geodetic::UnitVec& p) noexcept {
    const double coordinate[3] = {p.x, p.y, p.z};
    std::size_t a = 0;
    if (std::fabs(coordinate[1]) > std::fabs(coordinate[a])) {
        a = 1;
    }
    if (std::fabs(coordinate[2]) > std::fabs(coordinate[a])) {
        a = 2;
    }
    const double w = std::fabs(coordinate[a]);
    if (!(w > 0.0)) {
        return std::nullopt;
    }
    // One division: u and v then round twice, still far inside SLACK.
    const double inverse = 1.0 / w;
    return FaceCell{2 * a + (coordinate[a] < 0.0 ? 1 : 0), cell_index(coordinate[(a + 1) % 3] * inverse),
                    cell_index(coordinate[(a + 2) % 3] * inverse)};
}

CoverageGrid::CoverageGrid() : bits_((FACES * CELLS_PER_FACE + 63) / 64, 0) {}

bool CoverageGrid::applies_to(double radius_metres) noexcept {
    return radius_metres >= 0.0 && radius_metres <= MOST_RADIUS_METRES;
}

void CoverageGrid::cover(const geodetic::Envelope& box, std::uint32_t id) {
    ++boxes_;
    if (all_marked_) {
        return;
    }
    std::array<FaceRange, FACES> ranges{};
    const std::optional<std::size_t> count = face_ranges(box, margin(), SLACK, ranges);
    if (!count) {
        mark_all();
        return;
    }
    for (std::size_t k = 0; k < *count; ++k) {
        const FaceRange& r = ranges[k];
        mark(r.face, r.i_first, r.i_last, r.j_first, r.j_last, id);
        if (all_marked_) {
            return;
        }
    }
}

void CoverageGrid::finish() {
    if (!keeps_lists_) {
        return;
    }
    marked_before_.resize(bits_.size());
    std::uint32_t marked = 0;
    for (std::size_t w = 0; w < bits_.size(); ++w) {
        marked_before_[w] = marked;
        marked += static_cast<std::uint32_t>(std::popcount(bits_[w]));
    }
    // A counting sort by cell, stable, so each list keeps the covering order.
    starts_.assign(std::size_t{marked} + 1, 0);
    const auto slot = [this](std::size_t cell) {
        const std::uint64_t below = bits_[cell / 64] & ((std::uint64_t{1} << (cell % 64)) - 1);
        return marked_before_[cell / 64] + static_cast<std::uint32_t>(std::popcount(below));
    };
    for (const std::uint64_t listing : listings_) {
        ++starts_[slot(listing >> 32) + 1];
    }
    for (std::size_t k = 1; k < starts_.size(); ++k) {
        starts_[k] += starts_[k - 1];
    }
    ids_.resize(listings_.size());
    std::vector<std::uint32_t> next(starts_.begin(), starts_.end() - 1);
    for (const std::uint64_t listing : listings_) {
        ids_[next[slot(listing >> 32)]++] = static_cast<std::uint32_t>(listing);
    }
    listings_ = {};
}

std::optional<std::size_t> CoverageGrid::cell_of(const geodetic::UnitVec& p) noexcept {
    const std::optional<FaceCell> cell = face_cell_of(p);
    if (!cell) {
        return std::nullopt;
    }
    return cell->face * CELLS_PER_FACE + cell->i * CELLS + cell->j;
}

bool CoverageGrid::may_reach(const geodetic::UnitVec& p) const noexcept {
    const std::optional<std::size_t> cell = cell_of(p);
    return !cell || marked(*cell);
}

std::optional<std::span<const std::uint32_t>> CoverageGrid::candidates(const geodetic::UnitVec& p) const noexcept {
    const std::optional<std::size_t> cell = cell_of(p);
    if (!keeps_lists_ || !cell) {
        return std::nullopt;
    }
    if (!marked(*cell)) {
        return std::span<const std::uint32_t>{};
    }
    const std::uint64_t below = bits_[*cell / 64] & ((std::uint64_t{1} << (*cell % 64)) - 1);
    const std::size_t k = marked_before_[*cell / 64] + static_cast<std::size_t>(std::popcount(below));
    const std::size_t count = starts_[k + 1] - starts_[k];
    if (count > MOST_CANDIDATES) {
        return std::nullopt;
    }
    return std::span<const std::uint32_t>(ids_).subspan(starts_[k], count);
}

void CoverageGrid::mark_all() {
    std::fill(bits_.begin(), bits_.end(), ~std::uint64_t{0});
    all_marked_ = true;
    drop_lists();
}

void CoverageGrid::drop_lists() {
    keeps_lists_ = false;
    listings_ = {};
}

void CoverageGrid::mark(std::size_t face, std::size_t i_first, std::size_t i_last, std::size_t j_first,
                        std::size_t j_last, std::uint32_t id) {
    const std::size_t count = (i_last - i_first + 1) * (j_last - j_first + 1);
    // Boxes that each span much of the sphere (clockwise rings read as the rest of the
    // world, say) would cost a pass over most cells apiece: past this much marking, the
    // grid gives up and marks everything, which leaves every query to the walk.
    marked_cells_ += count;
    if (marked_cells_ > MARKING_PER_BOX * boxes_ + MARKING_SPARE) {
        mark_all();
        return;
    }
    if (keeps_lists_ && listings_.size() + count > LIST_ENTRIES_PER_BOX * boxes_ + LIST_ENTRIES_SPARE) {
        drop_lists();
    }
    for (std::size_t i = i_first; i <= i_last; ++i) {
        for (std::size_t j = j_first; j <= j_last; ++j) {
            const std::size_t bit = face * CELLS_PER_FACE + i * CELLS + j;
            bits_[bit / 64] |= std::uint64_t{1} << (bit % 64);
            if (keeps_lists_) {
                listings_.push_back(std::uint64_t{bit} << 32 | id);
            }
        }
    }
}

}  // namespace sferix::indexed
