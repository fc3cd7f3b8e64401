#include "index/nearest_position.hpp"

#include "geodetic/distance.hpp"
#include "geodetic/spheroid.hpp"

namespace sferix::indexed {

using geodetic::PointLeaf;

std::optional<PositionWithMetres> nearest_position(const geodetic::PointTree& tree,
                                                   const geodetic::GeodeticPoint& query) {
    auto sequence = tree.nearest_neighbor_iter_with_distance(query);
    const auto first = sequence.next();
    if (!first) {
        return std::nullopt;
    }
    const double m0 = first->metres;
    std::uint64_t best_position = first->leaf->data();
    while (const auto tied = sequence.next()) {
        // Written so that a NaN distance counts as a tie rather than ending the run.
        if (tied->metres > m0) {
            break;
        }
        if (tied->leaf->data() < best_position) {
            best_position = tied->leaf->data();
        }
    }
    return PositionWithMetres{best_position, m0};
}

std::optional<PositionWithMetres> nearest_position_wgs84(const geodetic::PointTree& tree,
                                                         const geodetic::GeodeticPoint& query, GeodesicSearchStats* stats) {
    const GeographicLib::Geodesic& geod = GeographicLib::Geodesic::WGS84();
    auto sequence = tree.rtree().nearest_neighbor_iter_with_distance_2(query.vector());

    const PointLeaf* best = nullptr;
    double best_d = 0.0;
    std::uint64_t inverses = 0;
    while (const auto candidate = sequence.next()) {
        if (best != nullptr) {
            // Every later leaf is at least this far on the sphere, hence at least this
            // lower bound on the ellipsoid: none of them can beat best_d any more.
            const double sphere_metres = geodetic::squared_chord_to_metres(candidate->distance_2);
            if (sphere_metres * WGS84_SPHERE_LOWER_BOUND > best_d) {
                break;
            }
        }
        const geodetic::GeodeticPoint& point = candidate->leaf->geom();
        const double d = geodetic::geodesic_metres(geod, query.lon(), query.lat(), point.lon(), point.lat());
        ++inverses;
        if (best == nullptr || d < best_d) {
            best = candidate->leaf;
            best_d = d;
        }
    }
    if (stats != nullptr) {
        stats->geodesic_inverses = inverses;
    }
    if (best == nullptr) {
        return std::nullopt;
    }

    // Duplicates of the winner compete on input position.
    std::uint64_t best_position = best->data();
    for (const PointLeaf& same : tree.rtree().locate_all_at_point(best->geom().vector())) {
        if (same.data() < best_position) {
            best_position = same.data();
        }
    }
    return PositionWithMetres{best_position, best_d};
}

}  // namespace sferix::indexed
