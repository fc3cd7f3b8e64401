#pragma once

// An order of a batch's queries that keeps consecutive queries close on the sphere, so
// that each search finds in cache the tree nodes its predecessor has just read:
//
//   const std::vector<std::size_t> order = locality_order(queries);
//   for (const std::size_t i : order) { answer(queries[i]); }
//
// The order is a permutation of [0, n): the queries sorted by the Morton (Z-order) key
// of their unit vector quantised to a grid of 1024 cells per axis on [−1, 1]³ (a cell is
// about 12 km wide at the surface), queries with equal keys in input order. It depends
// on the query vectors only, so it is the same for every number of threads, and it only
// changes which query is answered first, never an answer; nor does `workers`, the
// threads that compute the keys. Cost: a key per query, then four passes over the keys
// (a comparison sort below a thousand queries). Past 2^32 queries the order is the
// input order.

#include <cstddef>
#include <span>
#include <vector>

#include "geodetic/point.hpp"

namespace sferix::indexed {

[[nodiscard]] std::vector<std::size_t> locality_order(std::span<const geodetic::GeodeticPoint> queries,
                                                     std::size_t workers = 1);

}  // namespace sferix::indexed
