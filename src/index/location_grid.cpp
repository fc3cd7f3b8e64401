#include "index/location_grid.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>

#include "support/panic.hpp"

namespace sferix::indexed {

namespace {

constexpr std::size_t FACES = 6;
constexpr std::size_t CELLS = CoverageGrid::CELLS;
constexpr std::size_t CELLS_PER_FACE = CELLS * CELLS;
constexpr std::size_t BLOCK = 8;  // cells per block side
constexpr std::size_t BLOCKS = CELLS / BLOCK;

// A chord of about 6 cm: beyond every rounding of the edge distances, so a point this
// far from every edge is reported only by the polygons holding it.
constexpr double MARGIN = 1e-8;
// Ten times CoverageGrid's: the paths through a region stay a rounding (~1e-15) outside
// its cells, not just the queries' own u and v.
constexpr double SLACK = 1e-8;

// An arc is boxed in pieces of about a cell (2/512 across a face's centre): the box of
// a long arc slanting across a face would block a square of cells rather than a band.
constexpr double PIECE_CHORD = 0.004;
constexpr double LONGEST_SPLIT_CHORD = 1.7;

constexpr std::size_t BLOCKING_PER_BOX = 64;
constexpr std::size_t BLOCKING_SPARE = std::size_t{1} << 24;

// A free cell not yet reached by a region.
constexpr std::uint32_t UNREACHED = 0xFFFF'FFFE;

// The centre of a cell as a query point: the (lon, lat) of its gnomonic centre, which
// embeds within a rounding of it.
geodetic::GeodeticPoint centre_of(std::size_t face, std::size_t i, std::size_t j) {
    const std::size_t a = face / 2;
    const double u = (static_cast<double>(i) + 0.5) / (0.5 * static_cast<double>(CELLS)) - 1.0;
    const double v = (static_cast<double>(j) + 0.5) / (0.5 * static_cast<double>(CELLS)) - 1.0;
    double c[3];
    c[a] = face % 2 == 1 ? -1.0 : 1.0;
    c[(a + 1) % 3] = u;
    c[(a + 2) % 3] = v;
    constexpr double DEGREES = 180.0 / std::numbers::pi;
    const double lon = std::atan2(c[1], c[0]) * DEGREES;
    const double lat = std::atan2(c[2], std::hypot(c[0], c[1])) * DEGREES;
    geodetic::Result<geodetic::GeodeticPoint> point = geodetic::GeodeticPoint::try_new(lon, lat);
    SFERIX_ASSERT(point.has_value(), "a cell centre is a valid position");
    return point.value();
}

}  // namespace

LocationGrid::Blocking::Blocking() : bits_((FACES * CELLS_PER_FACE + 63) / 64, 0) {}

bool LocationGrid::Blocking::block(const geodetic::Envelope& box) {
    ++boxes_;
    std::array<FaceRange, FACES> ranges{};
    const std::optional<std::size_t> count = face_ranges(box, MARGIN, SLACK, ranges);
    if (!count) {
        cells_ = SIZE_MAX;
        return false;
    }
    for (std::size_t k = 0; k < *count; ++k) {
        const FaceRange& r = ranges[k];
        cells_ += (r.i_last - r.i_first + 1) * (r.j_last - r.j_first + 1);
        if (cells_ > BLOCKING_PER_BOX * boxes_ + BLOCKING_SPARE) {
            cells_ = SIZE_MAX;
            return false;
        }
        for (std::size_t i = r.i_first; i <= r.i_last; ++i) {
            for (std::size_t j = r.j_first; j <= r.j_last; ++j) {
                const std::size_t bit = r.face * CELLS_PER_FACE + i * CELLS + j;
                bits_[bit / 64] |= std::uint64_t{1} << (bit % 64);
            }
        }
    }
    return true;
}

bool LocationGrid::Blocking::block_arc(const geodetic::UnitVec& a, const geodetic::UnitVec& b) {
    const double chord = std::sqrt(geodetic::chord_2(a, b));
    const double pieces = std::ceil(chord / PIECE_CHORD);
    // The pieces' ends lie on the arc within a few roundings (their norms stay above
    // 1/2 on an arc shorter than 120 degrees), far inside MARGIN; longer arcs (and NaN)
    // are boxed whole.
    if (!(pieces > 1.0 && chord <= LONGEST_SPLIT_CHORD)) {
        return block(geodetic::arc_bounding_box(a, b));
    }
    const geodetic::UnitVec step = b - a;
    geodetic::UnitVec from = a;
    const auto count = static_cast<std::size_t>(pieces);
    for (std::size_t k = 1; k <= count; ++k) {
        geodetic::UnitVec to = b;
        if (k < count) {
            const geodetic::UnitVec along = a + (static_cast<double>(k) / pieces) * step;
            to = along / geodetic::norm(along);
        }
        if (!block(geodetic::arc_bounding_box(from, to))) {
            return false;
        }
        from = to;
    }
    return true;
}

LocationGrid LocationGrid::build(const Blocking& blocking, const AnswerAt& answer_at) {
    SFERIX_ASSERT(blocking.cells_ != SIZE_MAX, "a location grid is built from a blocking that held");
    const auto blocked = [&](std::size_t cell) { return (blocking.bits_[cell / 64] >> (cell % 64) & 1U) != 0; };

    LocationGrid grid;
    grid.starts_.push_back(0);
    // Equal answers share one entry: most regions are open sea or one country.
    std::map<std::vector<std::uint64_t>, std::uint32_t> known;
    std::vector<std::uint64_t> key;
    std::vector<PositionWithMetres> hits;
    std::vector<std::uint32_t> answer_of(FACES * CELLS_PER_FACE, UNREACHED);
    std::vector<std::uint32_t> stack;
    for (std::size_t seed = 0; seed < answer_of.size(); ++seed) {
        if (blocked(seed) || answer_of[seed] != UNREACHED) {
            continue;
        }
        const std::size_t face = seed / CELLS_PER_FACE;
        answer_at(centre_of(face, seed % CELLS_PER_FACE / CELLS, seed % CELLS), hits);
        key.clear();
        bool at_zero = true;
        for (const PositionWithMetres& hit : hits) {
            key.push_back(hit.position);
            at_zero = at_zero && hit.metres == 0.0;
        }
        // Every hit of a point away from the edges is a polygon holding it, at 0 m; a
        // region that somehow shows otherwise is left to the walk.
        std::uint32_t answer = BLOCKED;
        if (at_zero) {
            const auto [at, fresh] = known.try_emplace(key, static_cast<std::uint32_t>(grid.starts_.size() - 1));
            if (fresh) {
                grid.hits_.insert(grid.hits_.end(), hits.begin(), hits.end());
                grid.starts_.push_back(static_cast<std::uint32_t>(grid.hits_.size()));
            }
            answer = at->second;
        }
        // The region: a flood over the free cells of the face.
        answer_of[seed] = answer;
        stack.assign(1, static_cast<std::uint32_t>(seed));
        while (!stack.empty()) {
            const std::size_t cell = stack.back();
            stack.pop_back();
            const std::size_t i = cell % CELLS_PER_FACE / CELLS;
            const std::size_t j = cell % CELLS;
            const auto visit = [&](std::size_t next) {
                if (!blocked(next) && answer_of[next] == UNREACHED) {
                    answer_of[next] = answer;
                    stack.push_back(static_cast<std::uint32_t>(next));
                }
            };
            if (i > 0) visit(cell - CELLS);
            if (i + 1 < CELLS) visit(cell + CELLS);
            if (j > 0) visit(cell - 1);
            if (j + 1 < CELLS) visit(cell + 1);
        }
    }
    SFERIX_ASSERT(grid.starts_.size() < IN_BLOCK, "answers are numbered in 31 bits");

    grid.top_.assign(FACES * BLOCKS * BLOCKS, BLOCKED);
    std::uint32_t entries[BLOCK * BLOCK];
    for (std::size_t face = 0; face < FACES; ++face) {
        for (std::size_t bi = 0; bi < BLOCKS; ++bi) {
            for (std::size_t bj = 0; bj < BLOCKS; ++bj) {
                bool uniform = true;
                for (std::size_t di = 0; di < BLOCK; ++di) {
                    for (std::size_t dj = 0; dj < BLOCK; ++dj) {
                        const std::size_t cell = face * CELLS_PER_FACE + (bi * BLOCK + di) * CELLS + bj * BLOCK + dj;
                        const std::uint32_t answer = answer_of[cell];
                        entries[di * BLOCK + dj] = answer == UNREACHED ? BLOCKED : answer;
                        uniform = uniform && entries[di * BLOCK + dj] == entries[0];
                    }
                }
                std::uint32_t& top = grid.top_[(face * BLOCKS + bi) * BLOCKS + bj];
                if (uniform) {
                    top = entries[0];
                } else {
                    top = IN_BLOCK | static_cast<std::uint32_t>(grid.blocks_.size() / (BLOCK * BLOCK));
                    grid.blocks_.insert(grid.blocks_.end(), std::begin(entries), std::end(entries));
                }
            }
        }
    }
    grid.blocks_.shrink_to_fit();
    grid.hits_.shrink_to_fit();
    return grid;
}

std::optional<std::span<const PositionWithMetres>> LocationGrid::answer(const geodetic::UnitVec& p) const noexcept {
    const std::optional<FaceCell> cell = face_cell_of(p);
    if (!cell) {
        return std::nullopt;
    }
    std::uint32_t entry = top_[(cell->face * BLOCKS + cell->i / BLOCK) * BLOCKS + cell->j / BLOCK];
    if (entry == BLOCKED) {
        return std::nullopt;
    }
    if ((entry & IN_BLOCK) != 0) {
        entry = blocks_[(entry & ~IN_BLOCK) * (BLOCK * BLOCK) + cell->i % BLOCK * BLOCK + cell->j % BLOCK];
        if (entry == BLOCKED) {
            return std::nullopt;
        }
    }
    return std::span<const PositionWithMetres>(hits_).subspan(starts_[entry], starts_[entry + 1] - starts_[entry]);
}

}  // namespace sferix::indexed
