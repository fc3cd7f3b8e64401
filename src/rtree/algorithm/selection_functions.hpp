#pragma once

#include <concepts>

#include "rtree/aabb.hpp"
#include "rtree/object.hpp"
#include "rtree/point.hpp"

namespace sferix::rtree {

// What a depth-first selection asks at each step, for leaf objects of type T:
//  - should_descend(envelope): may a node with this envelope hold accepted
//    objects (then its children are visited);
//  - should_yield(object): is this leaf a result.
// Semantic requirement: should_descend must hold for every envelope that contains
// the envelope of an accepted object, or results are lost.
template <typename F, typename T>
concept SelectionFunction = RTreeObject<T> && requires(const F& function, const AABB<typename T::PointType>& envelope,
                                                       const T& object) {
    { function.should_descend(envelope) } -> std::same_as<bool>;
    { function.should_yield(object) } -> std::same_as<bool>;
};

// Objects within a squared distance of a point, inclusive: a node is entered
// when its box is at squared distance ≤ max_distance_2 from origin, an object is
// reported when its distance_2_if_less_or_equal(origin, max_distance_2) has a
// value. A negative or NaN bound reports nothing.
template <Point3 P>
struct SelectWithinDistanceFunction {
    P origin;
    double max_distance_2;

    [[nodiscard]] bool should_descend(const AABB<P>& envelope) const { return envelope.distance_2(origin) <= max_distance_2; }

    template <PointDistance T>
        requires std::same_as<typename T::PointType, P>
    [[nodiscard]] bool should_yield(const T& object) const {
        return object.distance_2_if_less_or_equal(origin, max_distance_2).has_value();
    }
};

// Objects whose envelope intersects a query box; boxes that only touch intersect.
template <Point3 P>
struct SelectInEnvelopeFuncIntersecting {
    AABB<P> envelope;

    [[nodiscard]] bool should_descend(const AABB<P>& node_envelope) const { return envelope.intersects(node_envelope); }

    template <RTreeObject T>
        requires std::same_as<typename T::PointType, P>
    [[nodiscard]] bool should_yield(const T& object) const {
        const AABB<P> object_envelope = object.envelope();
        return object_envelope.intersects(envelope);
    }
};

// Objects that contain a point; a point on a node box's face is inside the box.
// For point objects that are the points with exactly this vector.
template <Point3 P>
struct SelectAtPointFunction {
    P point;

    [[nodiscard]] bool should_descend(const AABB<P>& envelope) const { return envelope.contains_point(point); }

    template <PointDistance T>
        requires std::same_as<typename T::PointType, P>
    [[nodiscard]] bool should_yield(const T& object) const {
        return object.contains_point(point);
    }
};

}  // namespace sferix::rtree
