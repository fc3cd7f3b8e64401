#pragma once

// Many queries in one call, on several threads: the engine of the array queries.
//
//   std::vector<GeodeticPoint> queries = ...;            // validated beforehand
//   std::vector<std::int64_t> positions(n * k);
//   std::vector<double> metres(n * k);
//   nearest_rows(queries, k, options, keep_going, positions, metres,
//                [&](const GeodeticPoint& q, std::vector<PositionWithMetres>& hits) {
//                    nearest_k(tree, q, k, NO_MAX_DISTANCE, hits);
//                });
//   std::vector<QueryHits> chunks;
//   within_rows(queries, radii, options, keep_going, chunks,
//               [&](const GeodeticPoint& q, double radius, std::vector<PositionWithMetres>& hits) { ... });
//
// Each query runs the single-query search it is given, unchanged, so a batch answers
// exactly what the single queries answer, and in the same order. Every query's answer
// goes to a place of its own (its row, or its chunk's slot), so the result is the same
// for every number of workers. The searches run on several threads at once: they must
// only read shared state (a built tree is immutable). See run_chunked for threads,
// cancellation and exceptions.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "geodetic/point.hpp"
#include "index/position_with_metres.hpp"
#include "support/chunked_run.hpp"
#include "support/panic.hpp"

namespace sferix::indexed {

// The position and distance that pad a row of fewer than k answers.
inline constexpr std::int64_t MISSING_POSITION = -1;
inline constexpr double MISSING_METRES = std::numeric_limits<double>::infinity();

// Row i of width `width` (positions[i·width + j], metres[i·width + j]) gets the answers
// search(queries[i], hits) leaves in hits, in their order, padded with MISSING_POSITION
// and MISSING_METRES. REQUIRES: both outputs hold queries.size() × width elements, and
// search leaves at most `width` answers, at positions below 2^63. On Cancelled the rows
// not reached are left as they were.
template <typename Search>
support::RunOutcome nearest_rows(std::span<const geodetic::GeodeticPoint> queries, std::size_t width,
                                 const support::ChunkedRunOptions& options,
                                 const std::function<bool()>& keep_going, std::span<std::int64_t> positions,
                                 std::span<double> metres, const Search& search) {
    SFERIX_ASSERT(positions.size() == queries.size() * width && metres.size() == positions.size(),
                  "nearest rows fit their outputs");
    const auto work = [&](std::size_t begin, std::size_t end) {
        std::vector<PositionWithMetres> hits;
        for (std::size_t row = begin; row < end; ++row) {
            search(queries[row], hits);
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

// The answers of one chunk of queries, in query order: pair i is (query index,
// input position), with its metres.
struct QueryHits {
    std::vector<std::int64_t> queries;
    std::vector<std::int64_t> positions;
    std::vector<double> metres;
};

// chunks[c] gets the answers of chunk c, query by query, each query's in the order
// search(queries[i], radius, hits) leaves them, radius being radii[i], or radii[0] for
// every query when radii has one element. REQUIRES: radii has 1 or queries.size()
// elements; positions below 2^63.
template <typename Search>
support::RunOutcome within_rows(std::span<const geodetic::GeodeticPoint> queries, std::span<const double> radii,
                                const support::ChunkedRunOptions& options, const std::function<bool()>& keep_going,
                                std::vector<QueryHits>& chunks, const Search& search) {
    SFERIX_ASSERT(radii.size() == 1 || radii.size() == queries.size(), "one radius, or one per query");
    const std::size_t chunk_size = std::max<std::size_t>(1, options.chunk_size);
    chunks.assign(queries.size() / chunk_size + (queries.size() % chunk_size != 0), QueryHits{});
    const auto work = [&](std::size_t begin, std::size_t end) {
        QueryHits& out = chunks[begin / chunk_size];
        std::vector<PositionWithMetres> hits;
        for (std::size_t row = begin; row < end; ++row) {
            search(queries[row], radii.size() == 1 ? radii[0] : radii[row], hits);
            for (const PositionWithMetres& hit : hits) {
                out.queries.push_back(static_cast<std::int64_t>(row));
                out.positions.push_back(static_cast<std::int64_t>(hit.position));
                out.metres.push_back(hit.metres);
            }
        }
    };
    return support::run_chunked(queries.size(), options, work, keep_going);
}

}  // namespace sferix::indexed
