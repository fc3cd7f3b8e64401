#pragma once

// The k-nearest and array query methods of the three tree classes, written once over
// the tree kind (see trees.hpp) and the single-query search each one generalises:
//
//   nearest_k(query, k, *, max_distance=None)                 -> [(position, metres), ...]
//   query_nearest(queries, k=1, *, max_distance=None, workers=1)
//       -> (positions, metres): int64 and float64 arrays of shape (n,) for k = 1,
//          (n, k) otherwise, rows padded with -1 and inf
//   query_within_distance(queries, radius_metres, return_distance=False, *, workers=1)
//       -> int64 array (2, m) of (query index, position) pairs [, float64 metres (m,)]
//
// Arguments are bound and read in order (queries, then the numbers) before any search
// runs, so a bad argument fails the call before any work. The searches run with the
// GIL released, on `workers` threads; the calling thread takes the GIL back about every
// POLL_INTERVAL, also in the middle of a long search, to run signal handlers, and when
// one raises (Ctrl-C) every thread stops at its next check and the call returns that
// exception, dropping every partial result. Results do not depend on `workers`.

#include <algorithm>
#include <array>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "array_arguments.hpp"
#include "array_results.hpp"
#include "interruptible.hpp"
#include "trees.hpp"
#include "toolkit/gil.hpp"

#include "index/batch_queries.hpp"
#include "index/nearest_k.hpp"
#include "support/chunked_run.hpp"

namespace sferix::python {

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

inline constexpr const char* const NEAREST_K_PARAMETERS[] = {"query", "k", "max_distance"};
inline constexpr const char* const QUERY_NEAREST_PARAMETERS[] = {"queries", "k", "max_distance", "workers"};
inline constexpr const char* const QUERY_WITHIN_PARAMETERS[] = {"queries", "radius_metres", "return_distance",
                                                                "workers"};

// Runs `batch(options, keep_going)` (an indexed:: batch function) with the GIL released,
// in chunks of `chunk_size`, as an interruptible run (its keep_going is then unused).
// Cancelled means a signal handler raised, with its exception pending.
template <typename Batch>
support::RunOutcome run_without_gil(std::size_t workers, std::size_t chunk_size, Batch&& batch) {
    const support::ChunkedRunOptions options{
        .workers = workers, .chunk_size = chunk_size, .poll_interval = POLL_INTERVAL};
    const std::function<bool()> keep_going = [] { return true; };
    support::RunOutcome outcome = support::RunOutcome::Finished;
    if (!run_interruptibly([&] { outcome = batch(options, keep_going); })) {
        return support::RunOutcome::Cancelled;
    }
    return outcome;
}

// The results of `rows` rows of `width` answers each, or of `width` pairs when `rows`
// is 0: `arrays` arrays of int64 or float64 elements, 8 bytes each. nullopt with
// MemoryError "cannot allocate the results: 10 queries × k 2147483648, 2 arrays of
// 21474836480 elements, 343597383680 bytes (320.0 GiB)" when they cannot be had,
// whether the size passes what an array may hold or the allocation fails.
// Results larger than the machine's memory and swap are refused without asking: every
// element is written, so the allocation could only succeed (overcommitted) to have the
// process killed while filling it.
template <typename Element>
std::optional<ResultArray<Element>> allocate_results(std::size_t count, const std::string& what,
                                                     std::size_t arrays, double elements) {
    const double bytes = elements * 8.0 * static_cast<double>(arrays);
    const auto refuse = [&](const std::string& why) {
        set_error_text(PyExc_MemoryError, "cannot allocate the results: " + what + ", " + std::to_string(arrays) +
                                              " arrays of " + count_text(elements) + " elements, " +
                                              byte_count_text(bytes) + why);
        return std::nullopt;
    };
    const double memory = machine_memory_bytes();
    if (memory > 0.0 && bytes > memory) {
        return refuse(", more than the machine's memory and swap");
    }
    std::optional<ResultArray<Element>> result = ResultArray<Element>::allocate(count);
    if (!result && PyErr_ExceptionMatches(PyExc_MemoryError) != 0) {
        PyErr_Clear();
        return refuse("");
    }
    return result;
}

// nearest_k: bind; parse query; convert k; convert max_distance; run
// `search(tree, query, k, max_metres, hits)`; the list of (position, metres) tuples.
template <TreeKind Kind, typename Search>
PyObject* run_nearest_k(PyObject* self, const FunctionDescription& description, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, const Search& search) {
    const auto body = [&](const StateOf<Kind>& state, auto& slots) -> PyObject* {
        const std::optional<geodetic::GeodeticPoint> query = parse_point(slots[0]);
        if (!query) {
            return nullptr;
        }
        const std::optional<std::size_t> k = parse_k(slots[1]);
        if (!k) {
            return nullptr;
        }
        const std::optional<double> max_metres = parse_max_distance(slots[2]);
        if (!max_metres) {
            return nullptr;
        }
        std::vector<PositionWithMetres> hits;
        search(state.tree, *query, *k, *max_metres, hits);
        return within_result(hits, true);
    };
    return run_method<Kind, 3>(self, description, args, nargs, kwnames, body);
}

// query_nearest: bind; convert workers; parse queries; convert k, max_distance; fill the rows
// with `search` (as for run_nearest_k) without the GIL; the two arrays.
template <TreeKind Kind, typename Search>
PyObject* run_query_nearest(PyObject* self, const FunctionDescription& description, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames, const Search& search) {
    const auto body = [&](const StateOf<Kind>& state, auto& slots) -> PyObject* {
        const std::optional<std::size_t> workers = parse_workers(slots[3]);
        if (!workers) {
            return nullptr;
        }
        if (!refuse_projected(slots[0], "queries")) {
            return nullptr;
        }
        const std::optional<QueryPoints> queries = parse_queries(slots[0], *workers);
        if (!queries) {
            return nullptr;
        }
        const std::optional<std::size_t> k = slots[1] == nullptr ? std::optional<std::size_t>(1) : parse_k(slots[1]);
        if (!k) {
            return nullptr;
        }
        const std::optional<double> max_metres = parse_max_distance(slots[2]);
        if (!max_metres) {
            return nullptr;
        }
        const std::size_t n = queries->size();
        const std::size_t width = *k;
        // k ≤ 2^31 and n < 2^61 (the queries are in memory), so n × k < 2^92 fits a double;
        // past SIZE_MAX it is no count at all, and allocate refuses it by that.
        const double wanted = static_cast<double>(n) * static_cast<double>(width);
        const std::size_t count = wanted >= 0x1p64 ? SIZE_MAX : n * width;
        const std::string what = std::to_string(n) + " queries × k " + std::to_string(width);
        std::optional<ResultArray<std::int64_t>> positions = allocate_results<std::int64_t>(count, what, 2, wanted);
        if (!positions) {
            return nullptr;
        }
        std::optional<ResultArray<double>> metres = allocate_results<double>(count, what, 2, wanted);
        if (!metres) {
            return nullptr;
        }
        const typename Kind::Tree& tree = state.tree;
        constexpr bool HINTED =
            std::invocable<const Search&, const typename Kind::Tree&, const geodetic::GeodeticPoint&, std::size_t,
                           double, std::vector<PositionWithMetres>&, indexed::NearestHint*>;
        const auto row_search = [&](const geodetic::GeodeticPoint& query, std::vector<PositionWithMetres>& hits,
                                    indexed::NearestHint& hint) {
            if constexpr (HINTED) {
                search(tree, query, width, *max_metres, hits, &hint);
            } else {
                search(tree, query, width, *max_metres, hits);
            }
        };
        const auto rows = [&](const auto& options, const auto& keep_going) {
            return indexed::nearest_rows(queries->elements(), width, options, keep_going, positions->elements(),
                                         metres->elements(), row_search, indexed::query_order_for(tree, HINTED));
        };
        const support::RunOutcome outcome = run_without_gil(*workers, NEAREST_QUERIES_PER_CHUNK, rows);
        if (outcome == support::RunOutcome::Cancelled) {
            return nullptr;
        }
        const std::array<std::size_t, 2> shape{n, width};
        const std::span<const std::size_t> dimensions(shape.data(), width == 1 ? 1 : 2);
        const PyRef position_array = PyRef::steal(positions->to_numpy(dimensions));
        if (!position_array) {
            return nullptr;
        }
        const PyRef metre_array = PyRef::steal(metres->to_numpy(dimensions));
        if (!metre_array) {
            return nullptr;
        }
        return PyTuple_Pack(2, position_array.get(), metre_array.get());
    };
    return run_method<Kind, 4>(self, description, args, nargs, kwnames, body);
}

// query_within_distance: bind; convert workers; parse queries; convert radius_metres
// (one, or one per query), return_distance (strictly, when given); gather each query's
// `collect(tree, query, radius, return_distance, hits)` (the single query's own search,
// or the same answer from the tree's coverage) without the GIL; the (2, m) array, and
// the metres when asked for.
template <TreeKind Kind, typename Collect>
PyObject* run_query_within(PyObject* self, const FunctionDescription& description, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, const Collect& collect) {
    const auto body = [&](const StateOf<Kind>& state, auto& slots) -> PyObject* {
        const std::optional<std::size_t> workers = parse_workers(slots[3]);
        if (!workers) {
            return nullptr;
        }
        if (!refuse_projected(slots[0], "queries")) {
            return nullptr;
        }
        const std::optional<QueryPoints> queries = parse_queries(slots[0], *workers);
        if (!queries) {
            return nullptr;
        }
        const std::optional<std::vector<double>> radii = parse_radii(slots[1], queries->size());
        if (!radii) {
            return nullptr;
        }
        bool return_distance = false;
        if (slots[2] != nullptr) {
            const std::optional<bool> given = convert_bool(slots[2], "return_distance");
            if (!given) {
                return nullptr;
            }
            return_distance = *given;
        }
        const typename Kind::Tree& tree = state.tree;
        // Small radii on large trees: the leaves near the query are looked up in a grid
        // rather than walked to (most points of a join against small polygons spread
        // over the globe lie near none; see LeafCoverage).
        const indexed::LeafCoverage<typename Kind::Tree::LeafType>* coverage = nullptr;
        if constexpr (requires { coverage_of(state); }) {
            if (tree.size() >= COVERAGE_MIN_ITEMS &&
                std::any_of(radii->begin(), radii->end(), indexed::CoverageGrid::applies_to)) {
                coverage = &coverage_of(state);
            }
        }
        indexed::WithinHits found(return_distance);
        const auto row_search = [&](const geodetic::GeodeticPoint& query, double radius,
                                    std::vector<PositionWithMetres>& hits) {
            if constexpr (requires { coverage_of(state); }) {
                if (coverage != nullptr &&
                    covered_within_distance_hits(tree, *coverage, query, radius, return_distance, hits)) {
                    return;
                }
            }
            collect(tree, query, radius, return_distance, hits);
        };
        const auto rows = [&](const auto& options, const auto& keep_going) {
            return indexed::within_rows(queries->elements(), *radii, options, keep_going, found, row_search,
                                        indexed::query_order_for(tree));
        };
        const support::RunOutcome outcome = run_without_gil(*workers, WITHIN_QUERIES_PER_CHUNK, rows);
        if (outcome == support::RunOutcome::Cancelled) {
            return nullptr;
        }
        const std::size_t m = found.size();
        const std::string what = std::to_string(m) + " pairs";
        const std::size_t arrays = return_distance ? 3 : 2;
        const auto elements = static_cast<double>(m);
        std::optional<ResultArray<std::int64_t>> pairs =
            allocate_results<std::int64_t>(2 * m, what, arrays, elements);
        if (!pairs) {
            return nullptr;
        }
        std::optional<ResultArray<double>> metres =
            allocate_results<double>(return_distance ? m : 0, what, arrays, elements);
        if (!metres) {
            return nullptr;
        }
        // Placing the pairs by query is a copy as large as the result: on the workers too.
        const std::span<std::int64_t> out = pairs->elements();
        const auto place = [&](const auto& options, const auto& keep_going) {
            return support::run_chunked(
                found.chunk_count(), options,
                [&](std::size_t first, std::size_t last) {
                    found.write_chunks(first, last, out.first(m), out.subspan(m), metres->elements());
                },
                keep_going);
        };
        const support::RunOutcome written = run_without_gil(*workers, WITHIN_QUERIES_PER_CHUNK, place);
        if (written == support::RunOutcome::Cancelled) {
            return nullptr;
        }
        const std::array<std::size_t, 2> shape{2, m};
        PyRef pair_array = PyRef::steal(pairs->to_numpy(shape));
        if (!pair_array || !return_distance) {
            return pair_array.release();
        }
        const std::array<std::size_t, 1> metre_shape{m};
        const PyRef metre_array = PyRef::steal(metres->to_numpy(metre_shape));
        if (!metre_array) {
            return nullptr;
        }
        return PyTuple_Pack(2, pair_array.get(), metre_array.get());
    };
    return run_method<Kind, 4>(self, description, args, nargs, kwnames, body);
}

// The descriptions and entry points the three classes share; the point tree adds the
// WGS84 forms with its own searches.

template <TreeKind Kind>
inline constexpr FunctionDescription NEAREST_K_DESCRIPTION{Kind::NAME, "nearest_k", NEAREST_K_PARAMETERS, 0, 2, 1};
template <TreeKind Kind>
inline constexpr FunctionDescription QUERY_NEAREST_DESCRIPTION{Kind::NAME, "query_nearest", QUERY_NEAREST_PARAMETERS,
                                                               0, 1, 2};
template <TreeKind Kind>
inline constexpr FunctionDescription QUERY_WITHIN_DESCRIPTION{Kind::NAME, "query_within_distance",
                                                              QUERY_WITHIN_PARAMETERS, 0, 2, 1};

// The k nearest by great-circle metres, as nearest_k and query_nearest search; on a
// point tree, query_nearest passes a hint from each query to the next.
template <typename Tree>
void sphere_nearest_k(const Tree& tree, const geodetic::GeodeticPoint& query, std::size_t k, double max_metres,
                      std::vector<PositionWithMetres>& hits) {
    indexed::nearest_k(tree, query, k, max_metres, hits);
}

inline void sphere_nearest_k_hinted(const geodetic::PointTree& tree, const geodetic::GeodeticPoint& query,
                                    std::size_t k, double max_metres, std::vector<PositionWithMetres>& hits,
                                    indexed::NearestHint* hint) {
    indexed::nearest_k(tree, query, k, max_metres, hits, hint);
}

template <TreeKind Kind>
PyObject* tree_nearest_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_nearest_k<Kind>(self, NEAREST_K_DESCRIPTION<Kind>, args, nargs, kwnames,
                               sphere_nearest_k<typename Kind::Tree>);
}

template <TreeKind Kind>
PyObject* tree_query_nearest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if constexpr (std::is_same_v<typename Kind::Tree, geodetic::PointTree>) {
        return run_query_nearest<Kind>(self, QUERY_NEAREST_DESCRIPTION<Kind>, args, nargs, kwnames,
                                       sphere_nearest_k_hinted);
    } else {
        return run_query_nearest<Kind>(self, QUERY_NEAREST_DESCRIPTION<Kind>, args, nargs, kwnames,
                                       sphere_nearest_k<typename Kind::Tree>);
    }
}

template <TreeKind Kind>
PyObject* tree_query_within_distance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_query_within<Kind>(self, QUERY_WITHIN_DESCRIPTION<Kind>, args, nargs, kwnames,
                                  within_distance_hits<typename Kind::Tree>);
}

}  // namespace sferix::python
