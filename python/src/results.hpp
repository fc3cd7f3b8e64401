#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "toolkit/python_api.hpp"

#include "index/position_with_metres.hpp"

namespace sferix::python {

// Queries collect their results into one array while they walk the tree and turn the
// array into Python values in one pass.
using indexed::PositionWithMetres;

// Each function returns a new reference, or nullptr with the allocation's exception
// pending. REQUIRES: the GIL is held.

// A list of the positions as ints, in order.
PyObject* position_list(std::span<const std::uint64_t> positions);

// The result of a radius query, in the order given: a list of (int, float) tuples when
// `return_distance`, else a list of the positions as ints.
PyObject* within_result(std::span<const PositionWithMetres> hits, bool return_distance);

// The result of a nearest query: None when there is no hit (an empty tree), else the
// position as an int, or the (int, float) tuple when `with_distance`.
PyObject* nearest_result(const std::optional<PositionWithMetres>& hit, bool with_distance);

}  // namespace sferix::python
