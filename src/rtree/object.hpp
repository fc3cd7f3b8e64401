#pragma once

#include <concepts>
#include <optional>

#include "rtree/aabb.hpp"

namespace sferix::rtree {

// What the tree needs of a leaf object: its point type and its envelope.
// Semantic requirement: envelope() is cheap (it is called by every loader
// comparison and every query visit) and always returns the same box.
template <typename T>
concept RTreeObject = requires(const T& object) {
    typename T::PointType;
    requires Point3<typename T::PointType>;
    { object.envelope() } -> std::convertible_to<AABB<typename T::PointType>>;
};

// Distances from a leaf object to a query point, in squared units.
// Semantic requirements:
//  - distance_2(p) ≥ envelope().distance_2(p) (the nearest search relies on this bound),
//    and 0 when p is on or in the object;
//  - contains_point(p) holds when the object contains p (by default distance_2(p) ≤ 0);
//  - distance_2_if_less_or_equal(p, bound) is distance_2(p) when that is ≤ bound
//    (inclusive), otherwise empty; a negative or NaN bound gives empty.
template <typename T>
concept PointDistance = RTreeObject<T> && requires(const T& object, const typename T::PointType& p, double bound) {
    { object.distance_2(p) } -> std::same_as<double>;
    { object.contains_point(p) } -> std::same_as<bool>;
    { object.distance_2_if_less_or_equal(p, bound) } -> std::same_as<std::optional<double>>;
};

}  // namespace sferix::rtree
