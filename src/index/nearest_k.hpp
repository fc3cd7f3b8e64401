#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "index/nearest_position.hpp"
#include "index/position_with_metres.hpp"
#include "index/tree.hpp"

// The k nearest input positions of a tree to one query, nearest first:
//
//   std::vector<PositionWithMetres> hits;                 // reused between queries
//   nearest_k(tree, query, 10, NO_MAX_DISTANCE, hits);    // up to 10, by great-circle metres
//   nearest_k(tree, query, 10, 50'000.0, hits);           // only those within 50 km (inclusive)
//   nearest_k_wgs84(points, query, 10, NO_MAX_DISTANCE, hits);
//
// Every search clears `hits` first and leaves at most k answers in it, sorted by
// metres, ties by the smaller input position, so the answer is the same whatever order
// the tree's walk meets equally near leaves in. A geometry appears at most once. Only
// answers with metres ≤ max_metres count; a negative or NaN max_metres, k = 0 or an
// empty tree give nothing. Lazy: the walk stops once no leaf left can enter the answer
// (it reads the leaves tied with the k-th and one more). Neither search reports an
// error or changes the tree; any number may run on one tree at once.

namespace sferix::indexed {

// max_metres meaning "no limit".
inline constexpr double NO_MAX_DISTANCE = std::numeric_limits<double>::infinity();

// By great-circle metres on the sphere of EARTH_RADIUS_METRES (squared_chord_to_metres
// of the squared chord), as nearest_neighbor_iter_with_distance measures them: 0 for a
// polygon containing the query or a linestring through it.
template <indexed::GeodeticLeaf Leaf>
void nearest_k(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query, std::size_t k,
               double max_metres, std::vector<PositionWithMetres>& hits);

// The nearest item and every item tied with it in metres (nearest_k's metres, so the
// items a join to the nearest reports), by position; nothing beyond max_metres. The walk
// nearest_k with k = 1 makes: it reads the tied items anyway to break the tie.
template <indexed::GeodeticLeaf Leaf>
void nearest_and_ties(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query,
                      double max_metres, std::vector<PositionWithMetres>& hits);

// The same on a point tree; with k = 1 it is nearest_position (and runs it), so the
// single and the k-nearest queries agree by construction. For k > 1 the walk holds the
// k best so far and never enters a node that cannot beat or tie the k-th (or that only
// ties it with larger positions, by the node minima of positions), so it reads about
// the leaves it needs rather than every leaf tied with the k-th: many points at one
// place cost about as much as k. With a hint (see NearestHint), starts from its bound
// and leaves the answer's leaves in it.
void nearest_k(const indexed::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
               double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint = nullptr);

// By geodesic metres on WGS84 (query first). Best-first on the sphere; the geodesic
// inverse runs only while the great-circle metres × WGS84_SPHERE_LOWER_BOUND of the
// next leaf do not exceed max_metres or, once k answers are held, the k-th's metres.
// Nodes and leaves whose bound exceeds the geodesic metres that k points already met
// are known to be within (from their great-circle metres) never enter the queue. A
// NaN geodesic distance is dropped (valid coordinates give none). Between points at
// equal geodesic metres the smaller position wins, also when their vectors differ;
// with k = 1 this can differ from nearest_position_wgs84, which keeps the first of
// such points it meets. With a hint, starts bounded by its leaves and leaves in it the
// k points met nearest on the sphere (no geodesic inverse is spent on the hint).
void nearest_k_wgs84(const indexed::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                     double max_metres, std::vector<PositionWithMetres>& hits, NearestHint* hint = nullptr);

// By geodesic metres on WGS84 to the nearest point of each linestring or polygon (0
// inside a polygon; see edge_wgs84.hpp, within 1 mm). Best-first on the sphere: an item
// is measured only while its great-circle metres × WGS84_SPHERE_LOWER_BOUND do not
// exceed max_metres or, once k answers are held, the k-th's metres, and its edges are
// searched only up to that bound. A multipart item counts at its nearest part. Ties as
// nearest_k: the smaller position.
template <indexed::GeodeticLeaf Leaf>
void nearest_k_wgs84(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                     double max_metres, std::vector<PositionWithMetres>& hits);

// These searches are compiled once, in nearest_k.cpp, for each leaf type:
// SFERIX_NEAREST_K_INSTANCE(search, Leaf) names one such instantiation.
#define SFERIX_NEAREST_K_INSTANCE(search, Leaf)                                                              \
    template void search<Leaf>(const indexed::GeodeticRTree<Leaf>&, const geodetic::GeodeticPoint&, std::size_t, \
                               double, std::vector<PositionWithMetres>&)

extern SFERIX_NEAREST_K_INSTANCE(nearest_k_wgs84, indexed::LineStringLeaf);
extern SFERIX_NEAREST_K_INSTANCE(nearest_k_wgs84, indexed::PolygonLeaf);
extern SFERIX_NEAREST_K_INSTANCE(nearest_k, indexed::PointLeaf);
extern SFERIX_NEAREST_K_INSTANCE(nearest_k, indexed::LineStringLeaf);
extern SFERIX_NEAREST_K_INSTANCE(nearest_k, indexed::PolygonLeaf);
extern template void nearest_and_ties<indexed::LineStringLeaf>(const indexed::GeodeticRTree<indexed::LineStringLeaf>&,
                                                               const geodetic::GeodeticPoint&, double,
                                                               std::vector<PositionWithMetres>&);
extern template void nearest_and_ties<indexed::PolygonLeaf>(const indexed::GeodeticRTree<indexed::PolygonLeaf>&,
                                                            const geodetic::GeodeticPoint&, double,
                                                            std::vector<PositionWithMetres>&);

}  // namespace sferix::indexed
