#include "geodetic/edge_index.hpp"

#include <cmath>
#include <limits>

#include "support/panic.hpp"

namespace sferix::geodetic {

namespace {

// A chord of 1e-12 (6 µm), as BOX_MARGIN: larger by three orders than the rounding in
// the midpoint, the half chord and the reach, so a skipped edge measures more than the
// reach even after arc_distance_2's own rounding.
constexpr double EDGE_BALL_MARGIN = 1e-12;

}  // namespace

bool box_meets_plane(const Envelope& box, const UnitVec& normal) noexcept {
    const auto span = [](double lower, double upper, double n, double& low, double& high) {
        const double a = lower * n;
        const double b = upper * n;
        low += a < b ? a : b;
        high += a < b ? b : a;
    };
    double low = 0.0;
    double high = 0.0;
    span(box.lower().x, box.upper().x, normal.x, low, high);
    span(box.lower().y, box.upper().y, normal.y, low, high);
    span(box.lower().z, box.upper().z, normal.z, low, high);
    return low <= PLANE_MARGIN && high >= -PLANE_MARGIN;
}

EdgeIndex EdgeIndex::build(std::span<const std::span<const UnitVec>> chains) {
    constexpr std::size_t LIMIT = std::numeric_limits<std::uint32_t>::max();
    std::size_t run_count = 0;
    SFERIX_ASSERT(chains.size() < LIMIT, "an edge index numbers chains and edges in 32 bits");
    for (const std::span<const UnitVec> chain : chains) {
        SFERIX_ASSERT(chain.size() < LIMIT, "an edge index numbers chains and edges in 32 bits");
        const std::size_t edges = chain.size() < 2 ? 0 : chain.size() - 1;
        run_count += (edges + RUN_EDGES - 1) / RUN_EDGES;
    }
    // Sized exactly: the index is a few per cent of the geometry and should stay so.
    std::size_t box_count = std::max<std::size_t>(run_count, 1);
    for (std::size_t level = box_count; level > 1;) {
        level = (level + FANOUT - 1) / FANOUT;
        box_count += level;
    }
    EdgeIndex index;
    index.boxes_.reserve(box_count);
    index.runs_.reserve(std::max<std::size_t>(run_count, 1));
    for (std::size_t c = 0; c < chains.size(); ++c) {
        const std::span<const UnitVec> chain = chains[c];
        const std::size_t edges = chain.size() < 2 ? 0 : chain.size() - 1;
        for (std::size_t first = 0; first < edges; first += RUN_EDGES) {
            const std::size_t end = std::min(first + RUN_EDGES, edges);
            Envelope box = Envelope::new_empty();
            for (std::size_t k = first; k < end; ++k) {
                box.merge(arc_bounding_box(chain[k], chain[k + 1]));
            }
            index.boxes_.push_back(box);
            index.runs_.push_back(
                {static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(end)});
        }
    }
    if (index.runs_.empty()) {
        // No edge: one empty run under an empty box, which no query meets.
        index.boxes_.push_back(Envelope::new_empty());
        index.runs_.push_back({0, 0, 0});
    }
    index.level_starts_.push_back(0);
    std::size_t level_begin = 0;
    while (index.boxes_.size() - level_begin > 1) {
        const std::size_t level_end = index.boxes_.size();
        index.level_starts_.push_back(static_cast<std::uint32_t>(level_end));
        for (std::size_t first = level_begin; first < level_end; first += FANOUT) {
            Envelope box = index.boxes_[first];
            for (std::size_t k = first + 1; k < std::min(first + FANOUT, level_end); ++k) {
                box.merge(index.boxes_[k]);
            }
            index.boxes_.push_back(box);
        }
        level_begin = level_end;
    }
    index.level_starts_.push_back(static_cast<std::uint32_t>(index.boxes_.size()));
    SFERIX_ASSERT(index.level_starts_.size() <= EDGE_INDEX_MAX_LEVELS + 1, "an edge index is at most 16 levels deep");
    return index;
}

// Why skipping is safe: every box holds the arc boxes of its edges, which hold their
// arcs with BOX_MARGIN (1e-12) to spare on every side, so a box is nearer to p than any
// of its arcs by that margin: for an arc at chord d ≥ 1e-12 the box's squared distance
// is at most (d − 1e-12)², below d² by about 2d·1e-12, while arc_distance_2 and the
// box distance are each off by under 1e-15·d. An arc nearer than 1e-12 has p inside the
// box (distance 0), which nothing skips. So a skipped edge measures strictly more than
// the best edge so far or than bound_2, and the minimum is the scan's, bit for bit.
// Within a run an edge is skipped on the same grounds when p is farther from its chord's
// midpoint than the current reach plus half the chord plus EDGE_BALL_MARGIN: every arc
// point x has |x − m|² = 1 − x·(a + b) + |m|² ≤ |a − b|²/4, x·(a + b) being smallest at
// the endpoints.
double EdgeIndex::min_distance_2(const UnitVec& p, double bound_2, const ChainSource& chains) const noexcept {
    struct Entry {
        double box_2;
        EdgeIndexCursor at;
    };
    std::array<Entry, EDGE_INDEX_MAX_LEVELS * FANOUT> stack;
    std::size_t top = 0;
    double best_2 = std::numeric_limits<double>::infinity();
    const std::size_t root_level = level_starts_.size() - 2;
    stack[top++] = {boxes_.back().distance_2(p),
                    {static_cast<std::uint32_t>(boxes_.size() - 1), static_cast<std::uint32_t>(root_level)}};
    while (top > 0) {
        const Entry entry = stack[--top];
        if (entry.box_2 > best_2 || entry.box_2 > bound_2) {
            continue;
        }
        if (entry.at.level == 0) {
            const EdgeRun& run = runs_[entry.at.node];
            const std::span<const UnitVec> chain = chains(run.chain);
            double reach = std::sqrt(std::min(best_2, bound_2));
            for (std::size_t k = run.first; k < run.end; ++k) {
                const UnitVec& a = chain[k];
                const UnitVec& b = chain[k + 1];
                // Every point of the arc lies within |a − b|/2 of the chord's midpoint.
                const double gap = reach + std::sqrt(0.25 * chord_2(a, b)) + EDGE_BALL_MARGIN;
                if (chord_2(p, 0.5 * (a + b)) > gap * gap) {
                    continue;
                }
                const double d_2 = arc_distance_2(a, b, p);
                if (d_2 < best_2) {
                    best_2 = d_2;
                    reach = std::sqrt(std::min(best_2, bound_2));
                }
            }
            continue;
        }
        // Children nearest last on the stack, so the nearest is opened first and the
        // bound tightens early.
        const std::size_t begin = child_begin(entry.at.level, entry.at.node);
        const std::size_t end = std::min(begin + FANOUT, level_end(entry.at.level - 1));
        const std::size_t base = top;
        for (std::size_t child = begin; child < end; ++child) {
            const Entry next{boxes_[child].distance_2(p),
                             {static_cast<std::uint32_t>(child), entry.at.level - 1}};
            std::size_t slot = top++;
            while (slot > base && stack[slot - 1].box_2 < next.box_2) {
                stack[slot] = stack[slot - 1];
                --slot;
            }
            stack[slot] = next;
        }
    }
    return best_2;
}

}  // namespace sferix::geodetic
