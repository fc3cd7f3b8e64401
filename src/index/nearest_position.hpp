#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "index/position_with_metres.hpp"
#include "index/tree.hpp"

// The nearest input point of a point tree, by great-circle distance on the mean sphere
// or by geodesic distance on WGS84, with an explicit tie-break on input positions:
//
//   if (auto hit = nearest_position(tree, query)) { use(hit->position, hit->metres); }
//   NearestHint hint;                                   // one per thread, for a run of
//   for (q : queries_in_locality_order) nearest_position(tree, q, &hint);  // nearby queries
//   GeodesicSearchStats stats;                          // optional, for benchmarks
//   auto hit84 = nearest_position_wgs84(tree, query, &stats);
//
// The query is a validated position; metres out. Neither search reports an error or
// changes the tree; an empty tree gives nothing.

namespace sferix::indexed {

// squared_chord_to_metres rises by at least a third of any relative step in the chord
// (its log-slope is at least 1/π) and rounds to a few ulps, so two chords more than this
// relative gap apart never give equal metres; chords closer than that may.
inline constexpr double METRE_TIE_GAP = 1e-9;

// What a nearest search leaves for the next one on the same thread: the tree leaves
// (indices into the leaf array) of its answer. The next search starts with a bound from
// them: they are real points of the tree (so is any leaf index below its leaf count), so
// the k-th nearest of them bounds its answer, closely when its query is near the last one
// (queries in locality order), and nodes beyond the bound are never queued. Leaves of
// another tree only weaken the bound; answers never depend on the hint. REQUIRES: the
// leaves are distinct (as a search leaves them).
struct NearestHint {
    std::vector<std::uint32_t> leaves;
};

// Work counters of one WGS84 search.
struct GeodesicSearchStats {
    std::uint64_t geodesic_inverses = 0;  // GeographicLib inverse problems solved
};

// The point nearest to the query on the sphere: metres m = squared_chord_to_metres of
// the squared chord, minimum m0. Among all points with m = m0 (ties judged on the
// metre values, so chords differing in the last bits still tie when their metres are
// equal) the smallest input position wins; (180, 0) and (−180, 0) tie this way.
// Walks best-first in (squared chord, smallest input position below) order, so the
// first leaf reached is already the smallest position at the smallest chord, and a
// subtree is entered only while it may hold a smaller position at the winning
// metres: many points at one place cost about as much as one. With a hint, starts from
// its bound and leaves the answer's leaf in it.
[[nodiscard]] std::optional<PositionWithMetres> nearest_position(const indexed::PointTree& tree,
                                                                const geodetic::GeodeticPoint& query,
                                                                NearestHint* hint = nullptr);

// The point nearest to the query by geodesic distance on WGS84 (query first), and
// that distance. Best-first on the sphere; the GeographicLib inverse runs only for
// leaves whose great-circle metres × WGS84_SPHERE_LOWER_BOUND do not exceed the best
// geodesic distance so far. Between points at different positions with equal
// geodesic distance, the one reached first wins (smaller squared chord, then smaller
// input position). Points stored at exactly one unit vector count as one place: the
// one with the smallest input position stands for all of them, so the answer is the
// smallest position at the winner's vector and the distance is the winner's. Such
// a place costs one inverse however many points it holds, and a subtree holding only
// a place that cannot win is skipped. (180, 0) and (−180, 0) embed to different
// vectors and so do not compete there. When `stats` is given, it receives this
// search's counters.
[[nodiscard]] std::optional<PositionWithMetres> nearest_position_wgs84(const indexed::PointTree& tree,
                                                                      const geodetic::GeodeticPoint& query,
                                                                      GeodesicSearchStats* stats = nullptr);

}  // namespace sferix::indexed
