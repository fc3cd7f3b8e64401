#pragma once

// The k-nearest and array query methods of the three tree classes, written once over
// the tree kind (see trees.hpp), the geodesy, and the single-query search each one
// generalises:
//
//   nearest_k(query, k, *, max_distance=None)                 -> [(position, metres), ...]
//   query_nearest(queries, k=1, *, max_distance=None, workers=1)
//       -> (positions, metres): int64 and float64 arrays of shape (n,) for k = 1,
//          (n, k) otherwise, rows padded with -1 and inf
//   query_within_distance(queries, radius_metres, return_distance=False, *, workers=1)
//       -> int64 array (2, m) of (query index, position) pairs [, float64 metres (m,)]
//   _query_nearest_ties(queries, *, max_distance=None, workers=1)   (linestrings, polygons)
//       -> the same pairs and metres: each query's nearest and the items tied with it
//
// Arguments are bound and read in order (queries, then the numbers) before any search
// runs, so a bad argument fails the call before any work. The searches run with the
// GIL released, on `workers` threads; the calling thread takes the GIL back about every
// POLL_INTERVAL, also in the middle of a long search, to run signal handlers, and when
// one raises (Ctrl-C) every thread stops at its next check and the call returns that
// exception, dropping every partial result. Results do not depend on `workers`.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "array_arguments.hpp"
#include "geo_input.hpp"
#include "results.hpp"
#include "toolkit/arguments.hpp"
#include "toolkit/gil.hpp"
#include "toolkit/types.hpp"

#include "index/batch_queries.hpp"
#include "index/leaf_coverage.hpp"
#include "index/location_grid.hpp"
#include "index/nearest_k.hpp"
#include "support/chunked_run.hpp"

namespace sferix::python {

inline constexpr const char* const NEAREST_K_PARAMETERS[] = {"query", "k", "max_distance"};
inline constexpr const char* const QUERY_NEAREST_PARAMETERS[] = {"queries", "k", "max_distance", "workers"};
inline constexpr const char* const QUERY_NEAREST_TIES_PARAMETERS[] = {"queries", "max_distance", "workers"};
inline constexpr const char* const QUERY_WITHIN_PARAMETERS[] = {"queries", "radius_metres", "return_distance",
                                                                "workers"};

// The coverage of an indexed tree's leaves (see LeafCoverage), made once, on first use
// by a radius query over many points.
template <typename Leaf>
struct CoverageSlot {
    std::once_flag once;
    std::unique_ptr<const indexed::LeafCoverage<Leaf>> coverage;
    // A polygon tree's location grid, made once by a large radius-0 batch (see
    // location_of); `located` tells the batches after it that it is there.
    std::once_flag location_once;
    std::optional<indexed::LocationGrid> location;
    std::atomic<bool> located{false};
};

// The coverage of a state's tree (a state with a `coverage` slot), made by the first
// thread that asks (10^5 hexagons: 40 ms); a thread that asks meanwhile waits.
// REQUIRES: the GIL is released (the array queries ask for it from their run without
// the GIL).
template <typename State>
const auto& coverage_of(const State& state) {
    auto& slot = *state.coverage;
    std::call_once(slot.once, [&] {
        slot.coverage = std::make_unique<const typename decltype(slot.coverage)::element_type>(state.tree);
    });
    return *slot.coverage;
}

// The location grid of a polygon state's tree: made by the first thread that asks with
// `make` (the world's countries: about 20 ms), found by those after it; null when not made
// (or when the tree's boundaries would block too many cells). REQUIRES: as coverage_of.
template <typename State>
const indexed::LocationGrid* location_of(const State& state, bool make) {
    auto& slot = *state.coverage;
    if (make) {
        std::call_once(slot.location_once, [&] {
            slot.location = indexed::make_location_grid(state.tree);
            slot.located.store(true, std::memory_order_release);
        });
    }
    if (!slot.located.load(std::memory_order_acquire) || !slot.location) {
        return nullptr;
    }
    return &*slot.location;
}

// The geodesies a query method is written for, and its Python name in `geodesy`.
inline constexpr indexed::Geodesy SPHERE = indexed::Geodesy::Sphere;
inline constexpr indexed::Geodesy WGS84 = indexed::Geodesy::Wgs84;

consteval std::string_view query_name(indexed::Geodesy geodesy, std::string_view sphere, std::string_view wgs84) {
    return geodesy == WGS84 ? wgs84 : sphere;
}

// How the array queries run: on `workers` threads, polled for signals by the
// interruptible run they are part of.
inline indexed::BatchRun batch_run(std::size_t workers) {
    return {.workers = workers, .poll_interval = POLL_INTERVAL};
}

// The opening of every array query: workers (converted first), then the queries
// (refused in a projected CRS, then read on that many threads); nullopt with the
// exception pending.
inline std::optional<QueryPoints> parse_batch(PyObject* queries_slot, PyObject* workers_slot, std::size_t& workers) {
    const std::optional<std::size_t> parsed = parse_workers(workers_slot);
    if (!parsed) {
        return std::nullopt;
    }
    workers = *parsed;
    if (!refuse_projected(queries_slot, "queries")) {
        return std::nullopt;
    }
    return parse_queries(queries_slot, workers);
}

// The (2, m) array of found's (query index, position) pairs, and with return_distance
// the m metres too; allocated, then placed without the GIL. nullptr with the exception
// pending.
inline PyObject* pairs_result(const indexed::WithinHits& found, bool return_distance, std::size_t workers) {
    const std::size_t m = found.size();
    const std::string what = std::to_string(m) + " pairs";
    std::optional<ResultArrays> results =
        allocate_results(2 * m, return_distance ? m : 0, what, return_distance ? 3 : 2, static_cast<double>(m));
    if (!results) {
        return nullptr;
    }
    const std::span<std::int64_t> out = results->positions.elements();
    if (!run_interruptibly([&] {
            indexed::write_pairs(found, batch_run(workers), out.first(m), out.subspan(m), results->metres.elements());
        })) {
        return nullptr;
    }
    const std::array<std::size_t, 2> shape{2, m};
    if (!return_distance) {
        return results->positions.to_numpy(shape);
    }
    const std::array<std::size_t, 1> metre_shape{m};
    return results->to_numpy(shape, metre_shape);
}

// nearest_k: bind; parse query; convert k; convert max_distance; the k nearest by
// `geodesy` as the list of (position, metres) tuples.
template <StatefulClass Kind, indexed::Geodesy G>
PyObject* tree_nearest_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{
        Kind::NAME, query_name(G, "nearest_k", "nearest_k_wgs84"), NEAREST_K_PARAMETERS, 0, 2, 1};
    const auto body = [](const typename Kind::State& state, auto& slots) -> PyObject* {
        std::optional<geodetic::GeodeticPoint> query;
        std::optional<std::size_t> k;
        std::optional<double> max_metres;
        if (!(query = parse_point(slots[0])) || !(k = parse_k(slots[1])) ||
            !(max_metres = parse_max_distance(slots[2]))) {
            return nullptr;
        }
        std::vector<PositionWithMetres> hits;
        indexed::nearest_k_on(G, state.tree, *query, *k, *max_metres, hits);
        return within_result(hits, true);
    };
    return run_method<Kind, 3>(self, description, args, nargs, kwnames, body);
}

// query_nearest: bind; convert workers; parse queries; convert k, max_distance; allocate;
// fill the rows (indexed::query_nearest by `geodesy`) without the GIL; the two arrays.
template <StatefulClass Kind, indexed::Geodesy G>
PyObject* tree_query_nearest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{
        Kind::NAME, query_name(G, "query_nearest", "query_nearest_wgs84"), QUERY_NEAREST_PARAMETERS, 0, 1, 2};
    const auto body = [](const typename Kind::State& state, auto& slots) -> PyObject* {
        std::size_t workers = 1;
        std::optional<QueryPoints> queries;
        std::optional<std::size_t> k = 1;
        std::optional<double> max_metres;
        if (!(queries = parse_batch(slots[0], slots[3], workers)) ||
            (slots[1] != nullptr && !(k = parse_k(slots[1]))) || !(max_metres = parse_max_distance(slots[2]))) {
            return nullptr;
        }
        const std::size_t n = queries->size();
        const std::size_t width = *k;
        // k ≤ 2^31 and n < 2^61 (the queries are in memory), so n × k < 2^92 fits a double;
        // past SIZE_MAX it is no count at all, and allocate refuses it by that.
        const double wanted = static_cast<double>(n) * static_cast<double>(width);
        const std::size_t count = wanted >= 0x1p64 ? SIZE_MAX : n * width;
        const std::string what = std::to_string(n) + " queries × k " + std::to_string(width);
        std::optional<ResultArrays> results = allocate_results(count, count, what, 2, wanted);
        if (!results) {
            return nullptr;
        }
        const indexed::NearestOptions options{.k = width, .max_metres = *max_metres, .geodesy = G};
        if (!run_interruptibly([&] {
                indexed::query_nearest(state.tree, queries->elements(), options, results->positions.elements(),
                                       results->metres.elements(), batch_run(workers));
            })) {
            return nullptr;
        }
        const std::array<std::size_t, 2> shape{n, width};
        const std::span<const std::size_t> dimensions(shape.data(), width == 1 ? 1 : 2);
        return results->to_numpy(dimensions, dimensions);
    };
    return run_method<Kind, 4>(self, description, args, nargs, kwnames, body);
}

// query_within_distance: bind; convert workers; parse queries; convert radius_metres
// (one, or one per query), return_distance (strictly, when given); gather the pairs
// (indexed::query_within_distance by `geodesy`, with the state's coverage grid when it
// has one) without the GIL; allocate; place them, without the GIL; the (2, m) array,
// and the metres when asked for.
template <StatefulClass Kind, indexed::Geodesy G>
PyObject* tree_query_within_distance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{
        Kind::NAME, query_name(G, "query_within_distance", "query_within_distance_wgs84"), QUERY_WITHIN_PARAMETERS,
        0, 2, 1};
    const auto body = [](const typename Kind::State& state, auto& slots) -> PyObject* {
        std::size_t workers = 1;
        std::optional<QueryPoints> queries;
        std::optional<std::vector<double>> radii;
        std::optional<bool> given;
        if (!(queries = parse_batch(slots[0], slots[3], workers)) ||
            !(radii = parse_radii(slots[1], queries->size())) || !(given = parse_return_distance(slots[2]))) {
            return nullptr;
        }
        const bool return_distance = *given;
        const indexed::WithinOptions options{.return_distance = return_distance, .geodesy = G};
        indexed::WithinHits found(return_distance);
        const bool gathered = run_interruptibly([&] {
            if constexpr (requires { state.coverage; }) {
                const auto coverage = [&state]() -> const auto& { return coverage_of(state); };
                using Polygon = indexed::IndexedLeaf<geodetic::GeodeticPolygon>;
                if constexpr (std::same_as<typename std::remove_cvref_t<decltype(state.tree)>::LeafType, Polygon>) {
                    indexed::query_within_distance(state.tree, queries->elements(), *radii, options, found,
                                                   batch_run(workers), coverage,
                                                   [&state](bool make) { return location_of(state, make); });
                } else {
                    indexed::query_within_distance(state.tree, queries->elements(), *radii, options, found,
                                                   batch_run(workers), coverage);
                }
            } else {
                indexed::query_within_distance(state.tree, queries->elements(), *radii, options, found,
                                               batch_run(workers));
            }
        });
        if (!gathered) {
            return nullptr;
        }
        return pairs_result(found, return_distance, workers);
    };
    return run_method<Kind, 4>(self, description, args, nargs, kwnames, body);
}

// _query_nearest_ties (linestring and polygon trees; sferix.geopandas joins with it):
// bind; convert workers; parse queries; convert max_distance; gather each query's nearest
// and the items tied with it (indexed::query_nearest_and_ties) without the GIL; the
// (2, m) array of (query index, position) pairs and the m metres.
template <StatefulClass Kind>
PyObject* tree_query_nearest_ties(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{
        Kind::NAME, "_query_nearest_ties", QUERY_NEAREST_TIES_PARAMETERS, 0, 1, 2};
    const auto body = [](const typename Kind::State& state, auto& slots) -> PyObject* {
        std::size_t workers = 1;
        std::optional<QueryPoints> queries;
        std::optional<double> max_metres;
        if (!(queries = parse_batch(slots[0], slots[2], workers)) || !(max_metres = parse_max_distance(slots[1]))) {
            return nullptr;
        }
        indexed::WithinHits found;
        if (!run_interruptibly([&] {
                indexed::query_nearest_and_ties(state.tree, queries->elements(), *max_metres, found,
                                                batch_run(workers));
            })) {
            return nullptr;
        }
        return pairs_result(found, true, workers);
    };
    return run_method<Kind, 3>(self, description, args, nargs, kwnames, body);
}

}  // namespace sferix::python
