#pragma once

// The geodetic face of the index: queries in degrees and metres over an R-tree of
// unit-vector boxes.
//
//   std::vector<GeodeticCoord> coords = ...;              // input order = input positions
//   const PointTree tree = PointTree::from_coords(std::move(coords));
//   const GeodeticPoint query = *GeodeticPoint::try_new(lon, lat);   // checked once
//
//   // Within a radius (metres, inclusive, judged on the metres reported; radius 0
//   // keeps only exact hits):
//   for (const auto& [leaf, distance_2] : tree.locate_within_distance(query, 10'000.0)) {
//       report(leaf->data(), squared_chord_to_metres(distance_2));
//   }
//   // The same on WGS84 (geodesic metres, inclusive), and without the metres, which
//   // spares most geodesic inverses:
//   for (const auto& [leaf, metres] : tree.locate_within_distance_wgs84(query, 10'000.0)) { ... }
//   for (const PointLeaf& leaf : tree.locate_within_distance_wgs84_unmeasured(query, 10'000.0)) { ... }
//   // Inside a lon/lat rectangle (bounds inclusive; w > e crosses the antimeridian):
//   for (const PointLeaf& leaf : tree.locate_in_rectangle(LonLatRectangle(lower, upper))) { ... }
//   // The point at an input position, built on demand from the coordinate array:
//   const GeodeticPoint p = tree.point(leaf.data());
//   // Nearest first, with great-circle metres:
//   auto nearest = tree.nearest_neighbor_iter_with_distance(query).next();
//   // Linestring and polygon trees: the one nearest leaf with its metres:
//   std::optional<LeafWithMetres<PolygonLeaf>> hit = polygons.nearest_neighbor_with_distance(query);
//
// There are no options and no defaults: every query takes exactly its arguments. A
// query position is a validated GeodeticPoint, checked and embedded once when it is
// built; a rectangle is a LonLatRectangle of two validated corners. Distances are
// metres at this interface (great-circle on the sphere of EARTH_RADIUS_METRES unless
// the query says WGS84) and squared chords inside. Every comparison is inclusive.
//
// Queries never sort, never allocate result arrays and never report errors: a
// negative or NaN radius gives the empty sequence. Each lazy sequence has one type
// whether empty or not, walks the tree only as it is advanced, and borrows the tree,
// which must outlive it. Selection queries (radius, WGS84 radius, rectangle)
// report in the depth-first order of rtree::SelectionIterator (the reverse of the

#include "index/geodetic_rtree.hpp"
#include "index/leaf.hpp"
#include "index/point_tree.hpp"

namespace sferix::indexed {

using LineStringTree = GeodeticRTree<LineStringLeaf>;
using PolygonTree = GeodeticRTree<PolygonLeaf>;

}  // namespace sferix::indexed
