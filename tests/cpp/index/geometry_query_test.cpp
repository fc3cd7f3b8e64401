#include "index/geometry_query.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "geodetic/embedding.hpp"
#include "indexed_testing.hpp"

namespace sferix::indexed {
namespace {

using namespace testing;

// Query geometries of every kind, one of them across the antimeridian and one indexed.
std::vector<Shape> query_shapes() {
    std::vector<Shape> out;
    const auto polygon = [](std::vector<LonLat> ring) {
        return GeodeticPolygon::try_new(geodetic::GeodeticRing::try_from_lonlat(std::move(ring)).value(), {}).value();
    };
    const auto line = [](std::vector<LonLat> pairs) {
        return GeodeticLineString::try_from_lonlat(std::move(pairs)).value();
    };
    std::vector<GeodeticPolygon> big;
    big.push_back(polygon(ring_around({175.0, 10.0}, 15.0, 300)));
    out.emplace_back(std::vector<UnitVec>{}, std::vector<GeodeticLineString>{}, std::move(big));
    std::vector<GeodeticLineString> lines;
    lines.push_back(line({{150.0, -40.0}, {-150.0, 30.0}, {-120.0, 60.0}}));
    out.emplace_back(std::vector<UnitVec>{}, std::move(lines), std::vector<GeodeticPolygon>{});
    out.emplace_back(std::vector<UnitVec>{geodetic::embed(10.0, 45.0), geodetic::embed(-60.0, -10.0)},
                     std::vector<GeodeticLineString>{}, std::vector<GeodeticPolygon>{});
    std::vector<GeodeticPolygon> small;
    small.push_back(polygon(ring_around({20.0, 50.0}, 8.0, 5)));
    small.push_back(polygon(ring_around({-70.0, -20.0}, 6.0, 7)));
    out.emplace_back(std::vector<UnitVec>{}, std::vector<GeodeticLineString>{}, std::move(small));
    return out;
}

// Every item decided by the relations directly, in position order.
template <typename Tree, typename ItemPart>
std::vector<PositionWithMetres> brute_force(std::size_t count, const ItemPart& item_part, const Shape& shape,
                                            GeometryPredicate predicate, double metres) {
    std::vector<PositionWithMetres> out;
    const geodetic::SphereRadius radius(metres);
    for (std::size_t i = 0; i < count; ++i) {
        const Part item = item_part(i);
        bool any = false;
        bool all = true;
        std::optional<double> best;
        for (const Part& p : shape.parts()) {
            any = any || (predicate == GeometryPredicate::Intersects ? geodetic::intersects(item, p)
                                                                      : geodetic::covers(p, item));
            all = all && geodetic::covers(item, p);
            if (const auto d = geodetic::distance_2_within(item, p, 4.0)) {
                best = best ? std::min(*best, *d) : *d;
            }
        }
        const bool kept = predicate == GeometryPredicate::Covers    ? all
                          : predicate == GeometryPredicate::DWithin ? best && radius.admits(*best)
                                                                    : any;
        if (kept) {
            out.push_back({i, predicate == GeometryPredicate::DWithin ? geodetic::squared_chord_to_metres(*best) : 0.0});
        }
    }
    return out;
}

void expect_same(const std::vector<PositionWithMetres>& got, const std::vector<PositionWithMetres>& expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].position, expected[i].position);
        EXPECT_DOUBLE_EQ(got[i].metres, expected[i].metres);
    }
}

constexpr GeometryPredicate ALL_PREDICATES[] = {GeometryPredicate::Intersects, GeometryPredicate::CoveredBy,
                                                GeometryPredicate::Covers, GeometryPredicate::DWithin};

TEST(GeometryQuery, TreesAnswerAsEveryItemDecidedAlone) {
    std::mt19937_64 rng(26);
    const auto polygons = random_polygons(rng, 3000);
    const auto polygon_tree = shared_tree(polygons);
    const auto coords = random_point_coords(rng, 5000);
    const indexed::PointTree points = geodetic::testing::point_tree(coords);
    const std::vector<Shape> shapes = query_shapes();
    std::vector<PositionWithMetres> hits;
    for (const Shape& shape : shapes) {
        for (const GeometryPredicate predicate : ALL_PREDICATES) {
            const GeometryQueryOptions options{.predicate = predicate, .distance_metres = 300'000.0,
                                               .return_distance = true};
            query_geometry(polygon_tree, shape, options, OnePart{}, hits);
            expect_same(hits, brute_force<decltype(polygon_tree)>(
                                  polygons.size(), [&](std::size_t i) { return Part::of(*polygons[i]); }, shape,
                                  predicate, options.distance_metres));
            query_geometry(points, shape, options, OnePart{}, hits);
            expect_same(hits, brute_force<indexed::PointTree>(
                                  coords.size(), [&](std::size_t i) { return Part::of(points.point(i).vector()); },
                                  shape, predicate, options.distance_metres));
        }
    }
}

// Two parts at one position: one answer, covered only when both parts are.
TEST(GeometryQuery, MultipartItemsAnswerOnceOverAllTheirParts) {
    const auto inside = geodetic::testing::polygon(ring_around({0.0, 0.0}, 1.0, 6));
    const auto outside = geodetic::testing::polygon(ring_around({40.0, 0.0}, 1.0, 6));
    std::vector<IndexedLeaf<GeodeticPolygon>> leaves{{inside, 0}, {outside, 0}, {inside, 1}};
    const auto tree = indexed::PolygonTree::bulk_load(std::move(leaves), true);
    const auto part_count = [](std::uint64_t position) { return position == 0 ? 2u : 1u; };
    std::vector<Shape> shapes;
    std::vector<GeodeticPolygon> region;
    region.push_back(*geodetic::testing::polygon(ring_around({0.0, 0.0}, 10.0, 8)));
    shapes.emplace_back(std::vector<UnitVec>{}, std::vector<GeodeticLineString>{}, std::move(region));
    std::vector<PositionWithMetres> hits;
    query_geometry(tree, shapes[0], {.predicate = GeometryPredicate::Intersects}, part_count, hits);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].position, 0u);
    EXPECT_EQ(hits[1].position, 1u);
    query_geometry(tree, shapes[0], {.predicate = GeometryPredicate::CoveredBy}, part_count, hits);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].position, 1u);
}

TEST(GeometryQuery, BatchesAreTheSingleQueriesForEveryNumberOfWorkers) {
    std::mt19937_64 rng(5);
    const auto polygons = random_polygons(rng, 2000);
    const auto tree = shared_tree(polygons);
    std::vector<Shape> shapes;
    for (int copy = 0; copy < 10; ++copy) {
        for (Shape& shape : query_shapes()) {
            shapes.push_back(std::move(shape));
        }
    }
    const std::vector<double> distances(shapes.size(), 100'000.0);
    const GeometryQueryOptions options{.predicate = GeometryPredicate::DWithin, .return_distance = true};
    std::vector<PositionWithMetres> hits;
    GeometryPairs expected;
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        query_geometry(tree, shapes[i], {.predicate = options.predicate, .distance_metres = distances[i],
                                         .return_distance = true}, OnePart{}, hits);
        for (const PositionWithMetres& hit : hits) {
            expected.queries.push_back(static_cast<std::int64_t>(i));
            expected.positions.push_back(static_cast<std::int64_t>(hit.position));
            expected.metres.push_back(hit.metres);
        }
    }
    for (const std::size_t workers : {1, 2, 3}) {
        GeometryPairs got;
        ASSERT_EQ(query_geometries(tree, std::span<const Shape>(shapes), distances, options, OnePart{},
                                   {.workers = workers}, got),
                  support::RunOutcome::Finished);
        EXPECT_EQ(got.queries, expected.queries);
        EXPECT_EQ(got.positions, expected.positions);
        EXPECT_EQ(got.metres, expected.metres);
    }
}

}  // namespace
}  // namespace sferix::indexed
