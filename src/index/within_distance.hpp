#pragma once

// The radius queries as the query methods report them: each leaf within the radius as
// (input position, metres), a multipart item once. Filled, not returned, so that a
// batch reuses one vector for all its queries.
//
//   std::vector<PositionWithMetres> hits;
//   within_distance(tree, query, 10'000.0, /*with_distance=*/true, hits);
//   within_distance_wgs84(points, query, 10'000.0, false, hits);   // metres left at 0
//   if (!covered_within_distance(tree, coverage, query, 0.0, false, hits)) { ... walk ... }

#include <cstddef>
#include <concepts>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "geodetic/distance.hpp"
#include "geodetic/edge_wgs84.hpp"
#include "geodetic/wgs84.hpp"
#include "geodetic/point.hpp"
#include "index/leaf_coverage.hpp"
#include "index/position_with_metres.hpp"
#include "index/tree.hpp"

namespace sferix::indexed {

namespace within_detail {

// A leaf within a radius: its metres only when asked for (an arcsine), else 0.
template <typename Leaf>
PositionWithMetres hit(const Leaf& leaf, double distance_2, bool with_distance) {
    return {leaf.data(), with_distance ? geodetic::squared_chord_to_metres(distance_2) : 0.0};
}

// Each position of `hits` once, where it came first, with the least metres it came
// with: the parts of a multipart item report one hit each.
inline void merge_repeated_positions(std::vector<PositionWithMetres>& hits) {
    if (hits.size() < 2) {
        return;
    }
    std::unordered_map<std::uint64_t, std::size_t> kept;
    kept.reserve(hits.size());
    std::size_t count = 0;
    for (const PositionWithMetres& hit : hits) {
        const auto [at, fresh] = kept.try_emplace(hit.position, count);
        if (fresh) {
            hits[count++] = hit;
        } else if (hit.metres < hits[at->second].metres) {
            hits[at->second].metres = hit.metres;
        }
    }
    hits.resize(count);
}

}  // namespace within_detail

// hits becomes the leaves within `radius_metres` great-circle metres of `query`, in
// the tree's depth-first order, with their metres when asked for (converted from the
// squared chord the query already measured); a multipart item once, where its first
// part came, at its nearest part's metres.
template <typename Tree>
void within_distance(const Tree& tree, const geodetic::GeodeticPoint& query, double radius_metres,
                     bool with_distance, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    for (const auto& [leaf, distance_2] : tree.locate_within_distance(query, radius_metres)) {
        hits.push_back(within_detail::hit(*leaf, distance_2, with_distance));
    }
    if (tree.repeats_positions()) {
        within_detail::merge_repeated_positions(hits);
    }
}

// The same hits from the tree's coverage, when it can answer (see LeafCoverage); false,
// hits left empty, when not.
template <typename Tree>
bool covered_within_distance(const Tree& tree, const LeafCoverage<typename Tree::LeafType>& coverage,
                             const geodetic::GeodeticPoint& query, double radius_metres, bool with_distance,
                             std::vector<PositionWithMetres>& hits) {
    hits.clear();
    const bool answered = coverage.within_distance(tree, query, radius_metres, [&](const auto& leaf, double distance_2) {
        hits.push_back(within_detail::hit(leaf, distance_2, with_distance));
    });
    if (tree.repeats_positions()) {
        within_detail::merge_repeated_positions(hits);
    }
    return answered;
}

// The points within `radius_metres` geodesic metres on WGS84. Without distances, only
// the candidates the sphere bounds leave undecided get a geodesic inverse; their metres
// are then left at 0, which nobody reads.
inline void within_distance_wgs84(const indexed::PointTree& tree, const geodetic::GeodeticPoint& query,
                                  double radius_metres, bool with_distance, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (!with_distance) {
        for (const indexed::PointLeaf& leaf : tree.locate_within_distance_wgs84_unmeasured(query, radius_metres)) {
            hits.push_back({leaf.data(), 0.0});
        }
        return;
    }
    for (const auto& [leaf, metres] : tree.locate_within_distance_wgs84(query, radius_metres)) {
        hits.push_back({leaf->data(), metres});
    }
}

// The linestrings or polygons within `radius_metres` geodesic metres on WGS84 (see
// edge_wgs84.hpp; 0 inside a polygon), in the order of the sphere's radius walk at the
// pre-filter radius (or of the coverage grid, when given and it can answer), a
// multipart item once at its nearest part. Membership is decided on the metres
// reported: with distances every candidate is measured, up to the radius; without, a
// candidate within wgs84_accept_radius_metres on the sphere is certainly in (its
// geodesic minimum is then at least 0.5 mm inside, beyond the search's tolerance) and
// one beyond wgs84_reject_radius_metres is never met, and the metres are left at 0.
template <indexed::GeodeticLeaf Leaf>
    requires(!std::same_as<Leaf, indexed::PointLeaf>)
void within_distance_wgs84(const indexed::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query,
                           double radius_metres, bool with_distance, std::vector<PositionWithMetres>& hits,
                           const LeafCoverage<Leaf>* coverage = nullptr) {
    hits.clear();
    if (!(radius_metres >= 0.0)) {
        return;
    }
    const double sphere_radius = with_distance ? geodetic::wgs84_prefilter_radius_metres(radius_metres)
                                               : geodetic::wgs84_reject_radius_metres(radius_metres);
    const double accept_2 = with_distance ? -1.0
                                          : geodetic::metres_to_squared_chord(
                                                geodetic::wgs84_accept_radius_metres(radius_metres));
    const auto offer = [&](const Leaf& leaf, double distance_2) {
        if (distance_2 <= accept_2) {
            hits.push_back({leaf.data(), 0.0});
            return;
        }
        const double d = geodetic::distance_wgs84(leaf.geom(), query, radius_metres);
        if (d <= radius_metres) {
            hits.push_back({leaf.data(), with_distance ? d : 0.0});
        }
    };
    if (coverage == nullptr || !coverage->within_distance(tree, query, sphere_radius, offer)) {
        for (const auto& [leaf, distance_2] : tree.locate_within_distance(query, sphere_radius)) {
            offer(*leaf, distance_2);
        }
    }
    if (tree.repeats_positions()) {
        within_detail::merge_repeated_positions(hits);
    }
}

}  // namespace sferix::indexed
