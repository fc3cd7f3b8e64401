#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "geodetic/coord.hpp"
#include "geodetic/error.hpp"
#include "geodetic/unit_vec.hpp"

// The steps that linestrings and rings share: a chain is a sequence of vertices whose
// edge k is the shorter great-circle arc from vertex k to vertex k + 1.

namespace sferix::geodetic {

// Validates every pair in input order with GeodeticCoord::try_new; the first failing
// pair decides the error (NonFinite, LongitudeOutOfRange, LatitudeOutOfRange) and later
// pairs are not looked at. Otherwise the coordinates, in input order, kept as given.
[[nodiscard]] Result<std::vector<GeodeticCoord>> try_coords_from_lonlat(const std::vector<LonLat>& pairs);

// embed() of every coordinate, same order.
[[nodiscard]] std::vector<UnitVec> embed_all(const std::vector<GeodeticCoord>& coords);

// The 0-based index k of the first edge (vertex k, vertex k + 1) that is not
// admissible (is_admissible_edge), or nothing when every edge is. Fewer than two
// vertices: nothing.
[[nodiscard]] std::optional<std::size_t> first_inadmissible_edge(std::span<const UnitVec> chain) noexcept;

// Merges into `box`, edge by edge in order, the arc_bounding_box of every edge of the
// chain. Starting from Envelope::new_empty() gives the union of the edge boxes alone:
// merging a finite box into it yields that box bit for bit. A chain of fewer than two
// vertices leaves `box` unchanged.
void merge_arc_boxes(std::span<const UnitVec> chain, Envelope& box) noexcept;

// The smallest arc_distance_2 from p over the chain's edges, +infinity for a chain of
// fewer than two vertices. Linear in the number of edges, allocation-free.
[[nodiscard]] double chain_distance_2(std::span<const UnitVec> chain, const UnitVec& p) noexcept;

}  // namespace sferix::geodetic
