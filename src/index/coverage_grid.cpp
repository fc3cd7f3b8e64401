#include "index/coverage_grid.hpp"

#include <algorithm>
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

CoverageGrid::CoverageGrid() : bits_((FACES * CELLS_PER_FACE + 63) / 64, 0) {}

bool CoverageGrid::applies_to(double radius_metres) noexcept {
    return radius_metres >= 0.0 && radius_metres <= MOST_RADIUS_METRES;
}

void CoverageGrid::cover(const geodetic::Envelope& box) {
    const double m = margin();
    Range grown[3];
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const double lo = box.lower()[axis];
        const double hi = box.upper()[axis];
        if (!(std::isfinite(lo) && std::isfinite(hi) && lo <= hi)) {
            mark_all();
            return;
        }
        grown[axis] = {lo - m, hi + m};
    }
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
        if (u.hi < -1.0 - SLACK || u.lo > 1.0 + SLACK || v.hi < -1.0 - SLACK || v.lo > 1.0 + SLACK) {
            continue;
        }
        mark(face, cell_index(u.lo - SLACK), cell_index(u.hi + SLACK), cell_index(v.lo - SLACK),
             cell_index(v.hi + SLACK));
    }
}

bool CoverageGrid::may_reach(const geodetic::UnitVec& p) const noexcept {
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
        return true;
    }
    // One division: u and v then round twice, still far inside SLACK.
    const double inverse = 1.0 / w;
    const std::size_t face = 2 * a + (coordinate[a] < 0.0 ? 1 : 0);
    const std::size_t i = cell_index(coordinate[(a + 1) % 3] * inverse);
    const std::size_t j = cell_index(coordinate[(a + 2) % 3] * inverse);
    const std::size_t bit = face * CELLS_PER_FACE + i * CELLS + j;
    return (bits_[bit / 64] >> (bit % 64) & 1U) != 0;
}

void CoverageGrid::mark_all() { std::fill(bits_.begin(), bits_.end(), ~std::uint64_t{0}); }

void CoverageGrid::mark(std::size_t face, std::size_t i_first, std::size_t i_last, std::size_t j_first,
                        std::size_t j_last) {
    for (std::size_t i = i_first; i <= i_last; ++i) {
        for (std::size_t j = j_first; j <= j_last; ++j) {
            const std::size_t bit = face * CELLS_PER_FACE + i * CELLS + j;
            bits_[bit / 64] |= std::uint64_t{1} << (bit % 64);
        }
    }
}

}  // namespace sferix::indexed
