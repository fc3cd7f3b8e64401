#pragma once

// Many queries in one call, on several threads: the engine of the array queries. Each
// array query is one function here, with every decision about how a batch runs (the
// hinted search, the order queries are answered in, when the coverage grid answers):
//
//   std::vector<std::int64_t> positions(n * k);
//   std::vector<double> metres(n * k);
//   query_nearest(tree, queries, {.k = k, .workers = 2}, positions, metres);
//   WithinHits found(/*keep_metres=*/true);
//   query_within_distance(tree, queries, radii, {.return_distance = true}, found);
//   write_pairs(found, {.workers = 2}, query_column, position_column, metres);
//
// Each query runs the single-query search (nearest_k_on, within_distance_on),
// unchanged, so a batch answers exactly what the single queries answer, and in the same
// order. The lower-level runners nearest_rows and within_rows take the search to run.
// The queries are answered in the order asked for (QueryOrder: locality_order for
// hinted searches and for trees larger than the caches, so that one search's hint and
// tree nodes still serve the next), cut into chunks of that order for the threads;
// every answer goes to its query's own place (its row, or its query's slot once placed
// by query index), so the result is the same for every number of workers and every
// order. The searches run on several threads at once: they must only read shared state
// (a built tree is immutable). See run_chunked for threads, cancellation and
// exceptions: inside run_stoppable, a stop unwinds through these functions.

#include <algorithm>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

#include "geodetic/point.hpp"
#include "index/coverage_grid.hpp"
#include "index/leaf_coverage.hpp"
#include "index/location_grid.hpp"
#include "index/nearest_k.hpp"
#include "index/nearest_position.hpp"
#include "index/position_with_metres.hpp"
#include "index/query_order.hpp"
#include "index/within_distance.hpp"
#include "support/chunked_run.hpp"
#include "support/panic.hpp"

namespace sferix::indexed {

// The order a batch's queries are answered in; never an answer. Locality (see
// locality_order) pays where the tree outgrows the caches: each search then finds in
// cache the nodes its neighbour read (10^6 points: nearest 2.4 → 1.0 µs). On a tree that
// stays in cache anyway it only costs the sort and the scattered reads (10^4 small
// polygons, radius 0: 0.26 µs per query in input order, 0.31 in locality order).
enum class QueryOrder { Input, Locality };

// Locality once the tree's node and leaf arrays pass about a core's L2 cache. A search
// that takes a hint from the previous query (NearestHint) is bounded only as well as
// that query is near, so hinted searches go in locality order on all but the smallest
// trees (10^4 points, query_nearest k = 1: 0.77 -> 0.35 us per query; at 16 points or
// fewer there is little to bound, and rows written out of order cost more).
inline constexpr std::size_t LOCALITY_MIN_TREE_BYTES = std::size_t{2} << 20;
inline constexpr std::size_t HINTED_LOCALITY_MIN_ITEMS = 17;

template <typename Tree>
[[nodiscard]] QueryOrder query_order_for(const Tree& tree, bool hinted = false) noexcept {
    if (hinted && tree.size() >= HINTED_LOCALITY_MIN_ITEMS) {
        return QueryOrder::Locality;
    }
    return tree.rtree().heap_bytes() > LOCALITY_MIN_TREE_BYTES ? QueryOrder::Locality : QueryOrder::Input;
}

namespace batch_detail {

// The order the queries are answered in: i-th answered is at(i). In input order there
// is no permutation to hold (nor to allocate, fill and read: a few ns per query, which
// small trees notice).
class AnswerOrder {
public:
    AnswerOrder(std::span<const geodetic::GeodeticPoint> queries, QueryOrder order, std::size_t workers)
        : permutation_(order == QueryOrder::Locality ? locality_order(queries, workers) : std::vector<std::size_t>{}) {}

    [[nodiscard]] std::size_t at(std::size_t i) const noexcept {
        return permutation_.empty() ? i : permutation_[i];
    }

    // In locality order the query records are read out of input order, a cache miss
    // each in a large batch: ask for the record a few queries ahead while this one runs.
    void prefetch(std::span<const geodetic::GeodeticPoint> queries, std::size_t i) const noexcept {
        constexpr std::size_t AHEAD = 8;
        if (i + AHEAD < permutation_.size()) {
            const auto* record = reinterpret_cast<const char*>(&queries[permutation_[i + AHEAD]]);
            __builtin_prefetch(record);
            __builtin_prefetch(record + sizeof(geodetic::GeodeticPoint) - 1);
        }
    }

private:
    std::vector<std::size_t> permutation_;  // empty: input order
};

}  // namespace batch_detail

// The position and distance that pad a row of fewer than k answers.
inline constexpr std::int64_t MISSING_POSITION = -1;
inline constexpr double MISSING_METRES = std::numeric_limits<double>::infinity();

// Row i of width `width` (positions[i·width + j], metres[i·width + j]) gets the answers
// search(queries[i], hits) leaves in hits, in their order, padded with MISSING_POSITION
// and MISSING_METRES. A search that also takes a NearestHint& gets one per chunk, passed
// from each query to the next (nearby) one; its answers must not depend on it.
// REQUIRES: both outputs hold queries.size() × width elements, and
// search leaves at most `width` answers, at positions below 2^63. On Cancelled the rows
// not reached are left as they were.
template <typename Search>
support::RunOutcome nearest_rows(std::span<const geodetic::GeodeticPoint> queries, std::size_t width,
                                 const support::ChunkedRunOptions& options,
                                 const std::function<bool()>& keep_going, std::span<std::int64_t> positions,
                                 std::span<double> metres, const Search& search, QueryOrder query_order) {
    SFERIX_ASSERT(positions.size() == queries.size() * width && metres.size() == positions.size(),
                  "nearest rows fit their outputs");
    const batch_detail::AnswerOrder order(queries, query_order, options.workers);
    const auto work = [&](std::size_t begin, std::size_t end) {
        std::vector<PositionWithMetres> hits;
        NearestHint hint;
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t row = order.at(i);
            order.prefetch(queries, i);
            if constexpr (std::invocable<const Search&, const geodetic::GeodeticPoint&,
                                         std::vector<PositionWithMetres>&, NearestHint&>) {
                search(queries[row], hits, hint);
            } else {
                search(queries[row], hits);
            }
            SFERIX_ASSERT(hits.size() <= width, "a nearest search keeps to its row");
            const std::size_t start = row * width;
            for (std::size_t j = 0; j < width; ++j) {
                const bool found = j < hits.size();
                positions[start + j] = found ? static_cast<std::int64_t>(hits[j].position) : MISSING_POSITION;
                metres[start + j] = found ? hits[j].metres : MISSING_METRES;
            }
        }
    };
    return support::run_chunked(queries.size(), options, work, keep_going);
}

// The answers of a batch of radius queries: size() (query index, position) pairs with
// their metres (unless made without), gathered chunk by chunk in the order the queries
// ran, and written out by query index.
class WithinHits {
public:
    // keep_metres false: the metres are neither kept nor written (half the memory of a
    // large answer, which is mostly fresh pages).
    explicit WithinHits(bool keep_metres = true) noexcept : keep_metres_(keep_metres) {}

    // The number of pairs.
    [[nodiscard]] std::size_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.back(); }

    // Writes the pairs sorted by query index, each query's in its search's order: pair i
    // to query_indices[i], positions[i] and, unless metres is empty, metres[i].
    // REQUIRES: query_indices and positions hold size() elements, metres size() or none
    // (none when made without metres).
    void write(std::span<std::int64_t> query_indices, std::span<std::int64_t> positions,
               std::span<double> metres) const {
        write_chunks(0, chunk_count(), query_indices, positions, metres);
    }

    // The pairs are gathered in chunk_count() chunks; write_chunks writes those of chunks
    // [first_chunk, last_chunk) to their places, as write does, so that disjoint ranges of
    // chunks can be written on several threads at once. Same REQUIRES as write, and
    // first_chunk ≤ last_chunk ≤ chunk_count().
    [[nodiscard]] std::size_t chunk_count() const noexcept { return chunks_.size(); }
    void write_chunks(std::size_t first_chunk, std::size_t last_chunk, std::span<std::int64_t> query_indices,
                      std::span<std::int64_t> positions, std::span<double> metres) const {
        SFERIX_ASSERT(query_indices.size() == size() && positions.size() == size() &&
                          (metres.empty() || (keep_metres_ && metres.size() == size())) &&
                          first_chunk <= last_chunk &&
                          last_chunk <= chunks_.size(),
                      "within pairs fit their outputs");
        for (std::size_t c = first_chunk; c < last_chunk; ++c) {
            const Chunk& chunk = chunks_[c];
            const std::size_t end = std::min(query_count_, (c + 1) * chunk_size_);
            std::size_t at = 0;
            for (std::size_t i = c * chunk_size_; i < end; ++i) {
                const std::size_t query = order_.at(i);
                const std::size_t first = offsets_[query];
                const std::size_t count = offsets_[query + 1] - first;
                std::fill_n(query_indices.begin() + static_cast<std::ptrdiff_t>(first), count,
                            static_cast<std::int64_t>(query));
                std::copy_n(chunk.positions.begin() + static_cast<std::ptrdiff_t>(at), count,
                            positions.begin() + static_cast<std::ptrdiff_t>(first));
                if (!metres.empty()) {
                    std::copy_n(chunk.metres.begin() + static_cast<std::ptrdiff_t>(at), count,
                                metres.begin() + static_cast<std::ptrdiff_t>(first));
                }
                at += count;
            }
        }
    }

private:
    template <typename Search>
    friend support::RunOutcome within_rows(std::span<const geodetic::GeodeticPoint>, std::span<const double>,
                                           const support::ChunkedRunOptions&, const std::function<bool()>&,
                                           WithinHits&, const Search&, QueryOrder);

    // The answers of the queries answered c·chunk_size_ to (c + 1)·chunk_size_ − 1
    // (order_.at), one after the other.
    struct Chunk {
        std::vector<std::int64_t> positions;
        std::vector<double> metres;
    };

    bool keep_metres_ = true;
    batch_detail::AnswerOrder order_{{}, QueryOrder::Input, 1};
    std::size_t query_count_ = 0;
    std::size_t chunk_size_ = 1;
    std::vector<Chunk> chunks_;
    // While the queries run, offsets_[q + 1] counts query q's pairs; then query q's pairs
    // are [offsets_[q], offsets_[q + 1]) of the output.
    std::vector<std::size_t> offsets_;
};

// found gets every query's answers as search(queries[i], radius, hits) leaves them,
// radius being radii[i], or radii[0] for every query when radii has one element; it
// keeps their metres as it was made to.
// REQUIRES: radii has 1 or queries.size() elements; positions below 2^63. On
// Cancelled, found holds nothing.
template <typename Search>
support::RunOutcome within_rows(std::span<const geodetic::GeodeticPoint> queries, std::span<const double> radii,
                                const support::ChunkedRunOptions& options, const std::function<bool()>& keep_going,
                                WithinHits& found, const Search& search, QueryOrder query_order) {
    SFERIX_ASSERT(radii.size() == 1 || radii.size() == queries.size(), "one radius, or one per query");
    found = WithinHits(found.keep_metres_);
    found.order_ = batch_detail::AnswerOrder(queries, query_order, options.workers);
    found.query_count_ = queries.size();
    found.chunk_size_ = std::max<std::size_t>(1, options.chunk_size);
    const std::size_t chunk_size = found.chunk_size_;
    found.chunks_.resize(queries.size() / chunk_size + (queries.size() % chunk_size != 0));
    found.offsets_.assign(queries.size() + 1, 0);
    const auto work = [&](std::size_t begin, std::size_t end) {
        WithinHits::Chunk& out = found.chunks_[begin / chunk_size];
        // Room for a hit or two per query from the start, rather than a dozen growths
        // of each vector per chunk.
        out.positions.reserve(2 * (end - begin));
        if (found.keep_metres_) {
            out.metres.reserve(2 * (end - begin));
        }
        std::vector<PositionWithMetres> hits;
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t row = found.order_.at(i);
            found.order_.prefetch(queries, i);
            search(queries[row], radii.size() == 1 ? radii[0] : radii[row], hits);
            for (const PositionWithMetres& hit : hits) {
                out.positions.push_back(static_cast<std::int64_t>(hit.position));
            }
            if (found.keep_metres_) {
                for (const PositionWithMetres& hit : hits) {
                    out.metres.push_back(hit.metres);
                }
            }
            found.offsets_[row + 1] = hits.size();
        }
    };
    const support::RunOutcome outcome = support::run_chunked(queries.size(), options, work, keep_going);
    if (outcome != support::RunOutcome::Finished) {
        found = WithinHits(found.keep_metres_);
        return outcome;
    }
    std::partial_sum(found.offsets_.begin(), found.offsets_.end(), found.offsets_.begin());
    return outcome;
}

// --- The array queries -----------------------------------------------------------

// The distance a query measures by: great-circle metres on the mean sphere, or geodesic
// metres on WGS84.
enum class Geodesy { Sphere, Wgs84 };

// How a batch runs: on `workers` threads (the caller's included), asking keep_going at
// most about every poll_interval (see run_chunked; inside run_stoppable that run's
// keep_going is asked instead).
struct BatchRun {
    std::size_t workers = 1;
    std::chrono::milliseconds poll_interval{100};
    std::function<bool()> keep_going = [] { return true; };
};

// Queries per chunk: small enough to spread unequal work over the threads and to poll
// in time, large enough that taking a chunk is rare next to answering it. Nearest
// chunks are longer: a thread's searches find in its own cache the nodes its previous,
// neighbouring query read, so longer runs per thread pay (10^6 points, workers=2 over
// workers=1: 1.76-1.86 with 64, 1.90-1.94 with 512). Radius chunks gather their hits in
// vectors of their own, which past ~128 KiB are mapped and unmapped at each growth, the
// threads then queueing on the page-table lock (100 km: ~2.0 with 64, 1.73-1.79 with 512).
inline constexpr std::size_t NEAREST_QUERIES_PER_CHUNK = 512;
inline constexpr std::size_t WITHIN_QUERIES_PER_CHUNK = 64;

// Trees of at least this many leaves (linestrings or polygons, each part of a
// multipart one counted) answer small-radius batches from their coverage grid:
// below, the walk is short, and the grid (300 KiB and up) not worth its making.
inline constexpr std::size_t COVERAGE_MIN_ITEMS = 1024;

// The k nearest, as nearest_k and nearest_k_wgs84 find them; a point tree's search
// takes the hint (may be null).
template <typename Tree>
void nearest_k_on(Geodesy geodesy, const Tree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                  double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint = nullptr) {
    if constexpr (std::same_as<Tree, indexed::PointTree>) {
        if (geodesy == Geodesy::Wgs84) {
            nearest_k_wgs84(tree, query, k, max_metres, hits, hint);
        } else {
            nearest_k(tree, query, k, max_metres, hits, hint);
        }
    } else if (geodesy == Geodesy::Wgs84) {
        nearest_k_wgs84(tree, query, k, max_metres, hits);
    } else {
        nearest_k(tree, query, k, max_metres, hits);
    }
}

// The leaves within a radius, as within_distance and within_distance_wgs84 find them.
template <typename Tree>
void within_distance_on(Geodesy geodesy, const Tree& tree, const geodetic::GeodeticPoint& query,
                        double radius_metres, bool with_distance, std::vector<PositionWithMetres>& hits) {
    if (geodesy == Geodesy::Wgs84) {
        within_distance_wgs84(tree, query, radius_metres, with_distance, hits);
        return;
    }
    within_distance(tree, query, radius_metres, with_distance, hits);
}

struct NearestOptions {
    std::size_t k = 1;
    double max_metres = NO_MAX_DISTANCE;
    Geodesy geodesy = Geodesy::Sphere;
};

// query_nearest: row i of width k gets nearest_k_on's answers for queries[i], padded
// with MISSING_POSITION and MISSING_METRES (see nearest_rows). Point trees pass a hint
// from each query to the next and so answer in locality order.
// REQUIRES: both outputs hold queries.size() × k elements.
template <typename Tree>
support::RunOutcome query_nearest(const Tree& tree, std::span<const geodetic::GeodeticPoint> queries,
                                  const NearestOptions& options, std::span<std::int64_t> positions,
                                  std::span<double> metres, const BatchRun& run = {}) {
    constexpr bool HINTED = std::same_as<Tree, indexed::PointTree>;
    const support::ChunkedRunOptions chunks{
        .workers = run.workers, .chunk_size = NEAREST_QUERIES_PER_CHUNK, .poll_interval = run.poll_interval};
    // The search is chosen once per batch, each its own instantiation of the runner, so
    // that neither walk is compiled into the other's loop.
    const auto rows = [&](const auto& search) {
        return nearest_rows(queries, options.k, chunks, run.keep_going, positions, metres, search,
                            query_order_for(tree, HINTED));
    };
    if constexpr (HINTED) {
        if (options.geodesy == Geodesy::Wgs84) {
            return rows([&](const geodetic::GeodeticPoint& query, std::vector<PositionWithMetres>& hits,
                            NearestHint& hint) {
                nearest_k_wgs84(tree, query, options.k, options.max_metres, hits, &hint);
            });
        }
        return rows([&](const geodetic::GeodeticPoint& query, std::vector<PositionWithMetres>& hits,
                        NearestHint& hint) { nearest_k(tree, query, options.k, options.max_metres, hits, &hint); });
    } else {
        if (options.geodesy == Geodesy::Wgs84) {
            return rows([&](const geodetic::GeodeticPoint& query, std::vector<PositionWithMetres>& hits) {
                nearest_k_wgs84(tree, query, options.k, options.max_metres, hits);
            });
        }
        return rows([&](const geodetic::GeodeticPoint& query, std::vector<PositionWithMetres>& hits) {
            nearest_k(tree, query, options.k, options.max_metres, hits);
        });
    }
}

struct WithinOptions {
    bool return_distance = false;
    Geodesy geodesy = Geodesy::Sphere;
};

// Whether a batch with these radii on this tree is answered from its coverage grid:
// small radii on large trees, where the leaves near a query are looked up in a grid
// rather than walked to (most points of a join against small polygons spread over the
// globe lie near none; see LeafCoverage).
template <typename Tree>
[[nodiscard]] bool coverage_pays(const Tree& tree, std::span<const double> radii) {
    return tree.size() >= COVERAGE_MIN_ITEMS && std::any_of(radii.begin(), radii.end(), CoverageGrid::applies_to);
}

// The same for WGS84 radii, which the grid is asked at their sphere pre-filter radii.
template <typename Tree>
[[nodiscard]] bool coverage_pays_wgs84(const Tree& tree, std::span<const double> radii) {
    return tree.size() >= COVERAGE_MIN_ITEMS && std::any_of(radii.begin(), radii.end(), [](double radius) {
               return radius >= 0.0 && CoverageGrid::applies_to(geodetic::wgs84_prefilter_radius_metres(radius));
           });
}

// No coverage grid: the tree is walked for every query.
struct NoCoverage {};

// Batches with at least this many radius-0 queries on the sphere have the location grid
// of a polygon tree of at least LOCATION_MIN_ITEMS leaves made if it has none, and any
// batch uses it once made: a walk down to the countries near a point costs ~0.4 µs, a
// lookup ~0.03 µs. The making costs about 20 ms whatever the tree (a pass over 1.5·10^6
// cells), which such a batch pays back. On smaller trees a walk passes a few boxes and
// is as quick as the lookup (10^5 queries, one square: 0.06 µs a walk, 0.09 a lookup;
// 64 squares: 0.26 and 0.08).
inline constexpr std::size_t LOCATION_MIN_QUERIES = std::size_t{1} << 17;
inline constexpr std::size_t LOCATION_MIN_ITEMS = 64;

// No location grid: radius-0 queries walk too.
struct NoLocation {};

// query_within_distance: found gets every query's within_distance_on answers (radius
// radii[i], or radii[0] for all), their metres when return_distance. `coverage` (a
// callable giving the tree's LeafCoverage, made or found on first call, safe to call
// on any thread) is asked for only when coverage_pays; the grid then answers the
// queries it can. `location(make)` (a callable giving the tree's LocationGrid or null,
// making it first when `make`, safe likewise) answers the radius-0 queries it can on
// the sphere. REQUIRES: as within_rows.
template <typename Tree, typename Coverage = NoCoverage, typename Location = NoLocation>
support::RunOutcome query_within_distance(const Tree& tree, std::span<const geodetic::GeodeticPoint> queries,
                                          std::span<const double> radii, const WithinOptions& options,
                                          WithinHits& found, const BatchRun& run = {},
                                          const Coverage& coverage = {}, const Location& location = {}) {
    const LeafCoverage<typename Tree::LeafType>* grid = nullptr;
    if constexpr (!std::same_as<Coverage, NoCoverage>) {
        // A WGS84 query asks the grid at its sphere pre-filter radius, about 1.1% larger.
        if (options.geodesy == Geodesy::Wgs84 ? coverage_pays_wgs84(tree, radii) : coverage_pays(tree, radii)) {
            grid = &coverage();
        }
    }
    const LocationGrid* located = nullptr;
    if constexpr (!std::same_as<Location, NoLocation>) {
        if (options.geodesy == Geodesy::Sphere && tree.size() >= LOCATION_MIN_ITEMS) {
            const std::size_t at_zero =
                radii.size() == 1 ? (radii[0] == 0.0 ? queries.size() : 0)
                                  : static_cast<std::size_t>(std::count(radii.begin(), radii.end(), 0.0));
            if (at_zero > 0) {
                located = location(at_zero >= LOCATION_MIN_QUERIES);
            }
        }
    }
    const bool with_distance = options.return_distance;
    found = WithinHits(with_distance);
    const support::ChunkedRunOptions chunks{
        .workers = run.workers, .chunk_size = WITHIN_QUERIES_PER_CHUNK, .poll_interval = run.poll_interval};
    // The walk is chosen once per batch, as in query_nearest.
    const auto rows = [&](const auto& walk) {
        const auto search = [&](const geodetic::GeodeticPoint& query, double radius,
                                std::vector<PositionWithMetres>& hits) {
            if constexpr (!std::same_as<Location, NoLocation>) {
                if (located != nullptr && radius == 0.0) {
                    if (const auto answer = located->answer(query.vector())) {
                        hits.assign(answer->begin(), answer->end());
                        return;
                    }
                }
            }
            if constexpr (!std::same_as<Coverage, NoCoverage>) {
                if (grid != nullptr && covered_within_distance(tree, *grid, query, radius, with_distance, hits)) {
                    return;
                }
            }
            walk(query, radius, hits);
        };
        return within_rows(queries, radii, chunks, run.keep_going, found, search, query_order_for(tree));
    };
    if (options.geodesy == Geodesy::Wgs84) {
        if constexpr (std::same_as<Tree, indexed::PointTree>) {
            return rows([&](const geodetic::GeodeticPoint& query, double radius, std::vector<PositionWithMetres>& hits) {
                within_distance_wgs84(tree, query, radius, with_distance, hits);
            });
        } else {
            // The grid only narrows the candidates here, so it is handed to the search
            // rather than answering in place of the walk.
            return within_rows(
                queries, radii, chunks, run.keep_going, found,
                [&](const geodetic::GeodeticPoint& query, double radius, std::vector<PositionWithMetres>& hits) {
                    within_distance_wgs84(tree, query, radius, with_distance, hits, grid);
                },
                query_order_for(tree));
        }
    }
    return rows([&](const geodetic::GeodeticPoint& query, double radius, std::vector<PositionWithMetres>& hits) {
        within_distance(tree, query, radius, with_distance, hits);
    });
}

// Every query's nearest item and the items tied with it in metres (nearest_and_ties),
// none beyond max_metres, into found with their metres, as query_within_distance gives
// its pairs: the answer of a join to the nearest, in one walk a query.
template <indexed::GeodeticLeaf Leaf>
support::RunOutcome query_nearest_and_ties(const indexed::GeodeticRTree<Leaf>& tree,
                                           std::span<const geodetic::GeodeticPoint> queries, double max_metres,
                                           WithinHits& found, const BatchRun& run = {}) {
    found = WithinHits(true);
    const support::ChunkedRunOptions chunks{
        .workers = run.workers, .chunk_size = NEAREST_QUERIES_PER_CHUNK, .poll_interval = run.poll_interval};
    const double limit[1] = {max_metres};
    return within_rows(
        queries, limit, chunks, run.keep_going, found,
        [&](const geodetic::GeodeticPoint& query, double radius, std::vector<PositionWithMetres>& hits) {
            nearest_and_ties(tree, query, radius, hits);
        },
        query_order_for(tree));
}

// found.write, with the copy (as large as the result) shared out over the workers.
inline support::RunOutcome write_pairs(const WithinHits& found, const BatchRun& run,
                                       std::span<std::int64_t> query_indices, std::span<std::int64_t> positions,
                                       std::span<double> metres) {
    const support::ChunkedRunOptions chunks{
        .workers = run.workers, .chunk_size = WITHIN_QUERIES_PER_CHUNK, .poll_interval = run.poll_interval};
    return support::run_chunked(
        found.chunk_count(), chunks,
        [&](std::size_t first, std::size_t last) { found.write_chunks(first, last, query_indices, positions, metres); },
        run.keep_going);
}

}  // namespace sferix::indexed
