// Trees mixing geometries with and without an edge index, against brute force by the full
// scans: the tree asks indexed geometries for a bounded distance, which must agree.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "geodetic/chain.hpp"
#include "index/indexed_testing.hpp"

namespace sferix::geodetic::testing {
namespace {

const std::vector<double> RADII = {0.0, 1'000.0, 50'000.0, 300'000.0, 3'000'000.0};

// Rings of 20 to 3000 corners around random centres: about half of them indexed.
std::vector<std::vector<LonLat>> random_rings(std::mt19937_64& rng, std::size_t count) {
    std::uniform_real_distribution<double> radius(0.5, 6.0);
    std::uniform_int_distribution<int> corners(20, 3000);
    std::vector<std::vector<LonLat>> out;
    while (out.size() < count) {
        const LonLat centre = random_position(rng);
        if (std::fabs(centre.lat) < 80.0) {
            out.push_back(ring_around(centre, radius(rng), corners(rng), out.size() % 4 == 0));
        }
    }
    return out;
}

double full_scan_2(const GeodeticPolygon& polygon, const UnitVec& p) {
    if (polygon.contains_point_by_full_count(p)) {
        return 0.0;
    }
    double best_2 = chain_distance_2(polygon.exterior().vectors(), p);
    for (const GeodeticRing& hole : polygon.interiors()) {
        best_2 = std::min(best_2, chain_distance_2(hole.vectors(), p));
    }
    return best_2;
}

TEST(BigGeometryTrees, WithinDistanceAndNearestMatchFullScans) {
    std::mt19937_64 rng(41);
    const auto rings = random_rings(rng, 60);
    std::vector<std::shared_ptr<const GeodeticPolygon>> polygons;
    std::vector<std::shared_ptr<const GeodeticLineString>> lines;
    for (std::size_t i = 0; i < rings.size(); ++i) {
        polygons.push_back(i % 5 == 1 ? polygon(rings[i], {ring_around(rings[i][0], 0.1, 100, true)}) : polygon(rings[i]));
        lines.push_back(linestring(rings[i]));
    }
    const PolygonTree polygon_tree = shared_tree(polygons);
    const LineStringTree line_tree = shared_tree(lines);
    std::vector<LonLat> near;
    for (const auto& r : rings) {
        near.push_back(r[r.size() / 3]);
    }
    for (const LonLat& q : random_queries(rng, near, 80)) {
        const UnitVec p = embed(q.lon, q.lat);
        const auto polygon_2 = [&](std::size_t i) { return full_scan_2(*polygons[i], p); };
        const auto line_2 = [&](std::size_t i) { return chain_distance_2(lines[i]->vectors(), p); };
        for (const double radius : RADII) {
            Measured found;
            for (const auto& [leaf, distance_2] : polygon_tree.locate_within_distance(point(q.lon, q.lat), radius)) {
                found.emplace_back(leaf->data(), distance_2);
            }
            ASSERT_EQ(sorted(found), brute_within(polygons.size(), polygon_2, radius)) << q.lon << ", " << q.lat;
            found.clear();
            for (const auto& [leaf, distance_2] : line_tree.locate_within_distance(point(q.lon, q.lat), radius)) {
                found.emplace_back(leaf->data(), distance_2);
            }
            ASSERT_EQ(sorted(found), brute_within(lines.size(), line_2, radius)) << q.lon << ", " << q.lat;
        }
        double best_polygon_2 = std::numeric_limits<double>::infinity();
        double best_line_2 = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < rings.size(); ++i) {
            best_polygon_2 = std::min(best_polygon_2, polygon_2(i));
            best_line_2 = std::min(best_line_2, line_2(i));
        }
        const auto polygon_hit = polygon_tree.nearest_neighbor_with_distance(point(q.lon, q.lat));
        ASSERT_TRUE(polygon_hit.has_value());
        EXPECT_EQ(polygon_2(polygon_hit->leaf->data()), best_polygon_2);
        const auto line_hit = line_tree.nearest_neighbor_with_distance(point(q.lon, q.lat));
        ASSERT_TRUE(line_hit.has_value());
        EXPECT_EQ(line_2(line_hit->leaf->data()), best_line_2);
    }
}

}  // namespace
}  // namespace sferix::geodetic::testing
