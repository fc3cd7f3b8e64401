#pragma once

#include <concepts>
#include <cstdint>

#include "geodetic/linestring.hpp"
#include "geodetic/polygon.hpp"
#include "geodetic/unit_vec.hpp"
#include "index/indexed_leaf.hpp"
#include "index/point_leaf.hpp"
#include "rtree/algorithm/nearest_neighbor.hpp"
#include "rtree/object.hpp"

namespace sferix::indexed {

using geodetic::GeodeticLineString;
using geodetic::GeodeticPolygon;
using geodetic::UnitVec;

// The leaves of the three trees; data() is the input position in every case.
// A point leaf holds its unit vector (see point_leaf.hpp); the others share their
// geometry. A multipart item (see MultiPart) has one leaf per part, each with the
// item's position, so that each part is pruned by its own box.
using LineStringLeaf = indexed::IndexedLeaf<GeodeticLineString>;
using PolygonLeaf = indexed::IndexedLeaf<GeodeticPolygon>;

// What a geodetic tree needs of its leaves: squared-chord distances in the space of
// unit vectors, and an input position.
template <typename Leaf>
concept GeodeticLeaf = rtree::PointDistance<Leaf> && std::same_as<typename Leaf::PointType, UnitVec> &&
                       requires(const Leaf& leaf) {
                           { leaf.data() } -> std::convertible_to<std::uint64_t>;
                       };


// A reported leaf and its squared chord to the query (distance_2), bit-identical to
// leaf->distance_2(query.vector()).
using rtree::LeafWithDistance2;

// A reported leaf and its distance to the query in metres (great-circle or
// geodesic, as the query says).
template <typename Leaf>
struct LeafWithMetres {
    const Leaf* leaf;
    double metres;
};

}  // namespace sferix::indexed
