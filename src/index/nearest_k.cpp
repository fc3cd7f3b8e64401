#include "index/nearest_k.hpp"

#include <algorithm>

#include "geodetic/distance.hpp"
#include "geodetic/spheroid.hpp"
#include "index/nearest_position.hpp"

namespace sferix::indexed {

namespace {

// The sphere bound is exact for exact distances, but the chord and the geodesic inverse
// each round, by about 1e-9 m near zero; the bound only ends the walk beyond this margin,
// so points at (almost) the query's place still compete on position.
constexpr double ROUNDING_SLACK_METRES = 1e-6;

// Nearer first, then the smaller position: the order of every k-nearest answer.
bool precedes(const PositionWithMetres& a, const PositionWithMetres& b) noexcept {
    return a.metres < b.metres || (a.metres == b.metres && a.position < b.position);
}

}  // namespace

template <geodetic::GeodeticLeaf Leaf>
void nearest_k(const geodetic::GeodeticRTree<Leaf>& tree, const geodetic::GeodeticPoint& query, std::size_t k,
               double max_metres, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    auto sequence = tree.nearest_neighbor_iter_with_distance(query);
    while (const auto hit = sequence.next()) {
        // Metres come out nondecreasing, so the first leaf past either bound ends the
        // walk; leaves tied with the k-th are kept so the position can break the tie.
        if (!(hit->metres <= max_metres)) {
            break;
        }
        if (hits.size() >= k && hit->metres > hits.back().metres) {
            break;
        }
        hits.push_back({hit->leaf->data(), hit->metres});
    }
    std::sort(hits.begin(), hits.end(), precedes);
    if (hits.size() > k) {
        hits.resize(k);
    }
}

void nearest_k(const geodetic::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
               double max_metres, std::vector<PositionWithMetres>& hits) {
    if (k != 1) {
        nearest_k<geodetic::PointLeaf>(tree, query, k, max_metres, hits);
        return;
    }
    hits.clear();
    const std::optional<PositionWithMetres> nearest = nearest_position(tree, query);
    if (nearest && nearest->metres <= max_metres) {
        hits.push_back(*nearest);
    }
}

void nearest_k_wgs84(const geodetic::PointTree& tree, const geodetic::GeodeticPoint& query, std::size_t k,
                     double max_metres, std::vector<PositionWithMetres>& hits) {
    hits.clear();
    if (k == 0 || !(max_metres >= 0.0)) {
        return;
    }
    const GeographicLib::Geodesic& geod = GeographicLib::Geodesic::WGS84();
    auto sequence = tree.nearest_neighbor_iter_with_distance(query);
    // hits is a max-heap under precedes: once it holds k answers, front() is the k-th,
    // the one a nearer point replaces.
    while (const auto candidate = sequence.next()) {
        // A lower bound of this and every later point's geodesic metres.
        const double bound = candidate->metres * WGS84_SPHERE_LOWER_BOUND - ROUNDING_SLACK_METRES;
        if (bound > max_metres) {
            break;
        }
        if (hits.size() == k && bound > hits.front().metres) {
            break;
        }
        const geodetic::GeodeticCoord& point = tree.coord(candidate->leaf->data());
        const double d = geodetic::geodesic_metres(geod, query.lon(), query.lat(), point.lon(), point.lat());
        if (!(d <= max_metres)) {
            continue;
        }
        const PositionWithMetres found{candidate->leaf->data(), d};
        if (hits.size() < k) {
            hits.push_back(found);
            std::push_heap(hits.begin(), hits.end(), precedes);
        } else if (precedes(found, hits.front())) {
            std::pop_heap(hits.begin(), hits.end(), precedes);
            hits.back() = found;
            std::push_heap(hits.begin(), hits.end(), precedes);
        }
    }
    std::sort_heap(hits.begin(), hits.end(), precedes);
}

template void nearest_k<geodetic::PointLeaf>(const geodetic::GeodeticRTree<geodetic::PointLeaf>&,
                                              const geodetic::GeodeticPoint&, std::size_t, double,
                                              std::vector<PositionWithMetres>&);
template void nearest_k<geodetic::LineStringLeaf>(const geodetic::GeodeticRTree<geodetic::LineStringLeaf>&,
                                              const geodetic::GeodeticPoint&, std::size_t, double,
                                              std::vector<PositionWithMetres>&);
template void nearest_k<geodetic::PolygonLeaf>(const geodetic::GeodeticRTree<geodetic::PolygonLeaf>&,
                                              const geodetic::GeodeticPoint&, std::size_t, double,
                                              std::vector<PositionWithMetres>&);

}  // namespace sferix::indexed
