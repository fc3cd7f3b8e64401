// Geodetic tree benchmarks: the queries the Python tree classes make, in degrees and
// metres, on a tree of 10^6 random points of the sphere (nearest position on the
// sphere and on WGS84, radius on the sphere and on WGS84, lon/lat rectangle), and the
// nearest query on trees of 10^5 short linestrings and 10^5 small polygons.
//
// Build with -DSFERIX_BUILD_BENCHMARKS=ON and run
// build/bench/benchmarks/geodetic_benchmark. Results and the machine they were
// measured on are in benchmarks/README.md.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "geodetic/coord.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/linestring.hpp"
#include "geodetic/point.hpp"
#include "geodetic/polygon.hpp"
#include "geodetic/wgs84.hpp"
#include "index/tree.hpp"
#include "index/nearest_position.hpp"

namespace {

namespace geodetic = sferix::geodetic;
namespace indexed = sferix::indexed;
using geodetic::GeodeticPoint;
using geodetic::LonLat;

constexpr std::size_t POINT_COUNT = 1'000'000;
constexpr std::size_t SHAPE_COUNT = 100'000;
constexpr std::size_t QUERY_COUNT = 4096;

// Uniform on the sphere: uniform longitude, latitude from a uniform sine.
LonLat random_position(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    std::uniform_real_distribution<double> sine(-1.0, 1.0);
    return {lon(rng), std::asin(sine(rng)) / geodetic::RADIANS_PER_DEGREE};
}

double wrap_lon(double lon) { return lon > 180.0 ? lon - 360.0 : (lon < -180.0 ? lon + 360.0 : lon); }

// Validated once, as the Python layer does when it parses a query.
const std::vector<geodetic::GeodeticPoint>& queries() {
    static const std::vector<geodetic::GeodeticPoint> out = [] {
        std::mt19937_64 rng(2);
        std::vector<geodetic::GeodeticPoint> q;
        for (std::size_t i = 0; i < QUERY_COUNT; ++i) {
            const LonLat p = random_position(rng);
            q.push_back(geodetic::GeodeticPoint::try_new(p.lon, p.lat).value());
        }
        return q;
    }();
    return out;
}

const indexed::PointTree& point_tree() {
    static const indexed::PointTree tree = [] {
        std::mt19937_64 rng(1);
        std::vector<geodetic::GeodeticCoord> coords;
        coords.reserve(POINT_COUNT);
        for (std::uint64_t i = 0; i < POINT_COUNT; ++i) {
            const LonLat p = random_position(rng);
            coords.push_back(geodetic::GeodeticCoord::try_new(p.lon, p.lat).value());
        }
        return indexed::PointTree::from_coords(std::move(coords));
    }();
    return tree;
}

// 2 to 4 vertices within 0.05° (about 5 km) of a random centre.
const indexed::LineStringTree& linestring_tree() {
    static const indexed::LineStringTree tree = [] {
        std::mt19937_64 rng(3);
        std::uniform_real_distribution<double> offset(-0.05, 0.05);
        std::uniform_int_distribution<int> vertices(2, 4);
        std::vector<indexed::LineStringLeaf> leaves;
        while (leaves.size() < SHAPE_COUNT) {
            const LonLat c = random_position(rng);
            if (std::fabs(c.lat) > 89.0) {
                continue;
            }
            std::vector<LonLat> pairs;
            for (int k = vertices(rng); k > 0; --k) {
                pairs.push_back({wrap_lon(c.lon + offset(rng)), c.lat + offset(rng)});
            }
            auto line = geodetic::GeodeticLineString::try_from_lonlat(std::move(pairs));
            leaves.emplace_back(std::make_shared<const geodetic::GeodeticLineString>(std::move(line).value()),
                                leaves.size());
        }
        return indexed::LineStringTree::bulk_load(std::move(leaves));
    }();
    return tree;
}

// Counterclockwise hexagons of radius 0.05° around random centres.
const indexed::PolygonTree& polygon_tree() {
    static const indexed::PolygonTree tree = [] {
        std::mt19937_64 rng(4);
        std::vector<indexed::PolygonLeaf> leaves;
        while (leaves.size() < SHAPE_COUNT) {
            const LonLat c = random_position(rng);
            if (std::fabs(c.lat) > 85.0) {
                continue;
            }
            std::vector<LonLat> pairs;
            for (int k = 0; k < 6; ++k) {
                const double t = k * std::numbers::pi / 3.0;
                pairs.push_back({wrap_lon(c.lon + 0.05 * std::cos(t) / std::cos(c.lat * geodetic::RADIANS_PER_DEGREE)),
                                 c.lat + 0.05 * std::sin(t)});
            }
            pairs.push_back(pairs.front());
            auto ring = geodetic::GeodeticRing::try_from_lonlat(std::move(pairs));
            auto polygon = geodetic::GeodeticPolygon::try_new(std::move(ring).value(), {});
            leaves.emplace_back(std::make_shared<const geodetic::GeodeticPolygon>(std::move(polygon).value()),
                                leaves.size());
        }
        return indexed::PolygonTree::bulk_load(std::move(leaves));
    }();
    return tree;
}

template <typename Query>
void run_queries(benchmark::State& state, Query&& query) {
    const auto& q = queries();
    std::size_t next = 0;
    for (auto _ : state) {
        query(q[next]);
        next = (next + 1) % q.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_NearestPosition(benchmark::State& state) {
    const indexed::PointTree& tree = point_tree();
    run_queries(state, [&](const GeodeticPoint& q) { benchmark::DoNotOptimize(indexed::nearest_position(tree, q)); });
}
BENCHMARK(BM_NearestPosition);

// nearest_position_wgs84 on `tree`, with the mean number of geodesic inverses a query.
void nearest_position_wgs84_on(benchmark::State& state, const indexed::PointTree& tree) {
    std::uint64_t inverses = 0;
    run_queries(state, [&](const GeodeticPoint& q) {
        indexed::GeodesicSearchStats stats;
        benchmark::DoNotOptimize(indexed::nearest_position_wgs84(tree, q, &stats));
        inverses += stats.geodesic_inverses;
    });
    state.counters["inverses_per_query"] =
        benchmark::Counter(static_cast<double>(inverses) / static_cast<double>(state.iterations()));
}

void BM_NearestPositionWgs84(benchmark::State& state) { nearest_position_wgs84_on(state, point_tree()); }
BENCHMARK(BM_NearestPositionWgs84);

// Trees of 10^6 points with repeated positions: range(0) = 1 gives 10^6 copies of
// one random position, 1000 gives 1000 random places repeated 1000 times each
// (shuffled, as geocoded data arrives).
const indexed::PointTree& duplicate_tree(std::int64_t places) {
    static std::map<std::int64_t, std::unique_ptr<const indexed::PointTree>> trees;
    std::unique_ptr<const indexed::PointTree>& tree = trees[places];
    if (!tree) {
        std::mt19937_64 rng(4);
        std::vector<geodetic::GeodeticCoord> distinct;
        for (std::int64_t i = 0; i < places; ++i) {
            const LonLat p = random_position(rng);
            distinct.push_back(geodetic::GeodeticCoord::try_new(p.lon, p.lat).value());
        }
        std::vector<geodetic::GeodeticCoord> coords;
        coords.reserve(POINT_COUNT);
        for (std::size_t i = 0; i < POINT_COUNT; ++i) {
            coords.push_back(distinct[i % distinct.size()]);
        }
        std::shuffle(coords.begin(), coords.end(), rng);
        tree = std::make_unique<const indexed::PointTree>(indexed::PointTree::from_coords(std::move(coords)));
    }
    return *tree;
}

void BM_NearestPositionDuplicates(benchmark::State& state) {
    const indexed::PointTree& tree = duplicate_tree(state.range(0));
    run_queries(state, [&](const GeodeticPoint& q) { benchmark::DoNotOptimize(indexed::nearest_position(tree, q)); });
}
BENCHMARK(BM_NearestPositionDuplicates)->Arg(1)->Arg(1000);

void BM_NearestPositionWgs84Duplicates(benchmark::State& state) {
    nearest_position_wgs84_on(state, duplicate_tree(state.range(0)));
}
BENCHMARK(BM_NearestPositionWgs84Duplicates)->Arg(1)->Arg(1000);

// Drains the sequence `locate(query)` for each query position, as the Python layer
// does, and reports the mean number of results.
template <typename Locate>
void run_draining_queries(benchmark::State& state, Locate&& locate) {
    std::size_t found = 0;
    run_queries(state, [&](const GeodeticPoint& q) {
        for (const auto& hit : locate(q)) {
            benchmark::DoNotOptimize(hit);
            ++found;
        }
    });
    state.counters["results_per_query"] =
        benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}

// Every point within range(0) metres.
void BM_WithinDistance(benchmark::State& state) {
    const indexed::PointTree& tree = point_tree();
    const auto radius = static_cast<double>(state.range(0));
    run_draining_queries(state, [&](const GeodeticPoint& q) { return tree.locate_within_distance(q, radius); });
}
BENCHMARK(BM_WithinDistance)->Arg(10'000)->Arg(100'000);

void BM_WithinDistanceWgs84(benchmark::State& state) {
    const indexed::PointTree& tree = point_tree();
    const auto radius = static_cast<double>(state.range(0));
    run_draining_queries(state, [&](const GeodeticPoint& q) {
        return tree.locate_within_distance_wgs84(q, radius);
    });
}
BENCHMARK(BM_WithinDistanceWgs84)->Arg(10'000)->Arg(100'000);

// The same points without their distances: only the band between the two sphere
// bounds is solved.
void BM_WithinDistanceWgs84Unmeasured(benchmark::State& state) {
    const indexed::PointTree& tree = point_tree();
    const auto radius = static_cast<double>(state.range(0));
    std::size_t found = 0;
    std::uint64_t inverses = 0;
    run_queries(state, [&](const GeodeticPoint& q) {
        auto sequence =
            tree.locate_within_distance_wgs84_unmeasured(q, radius);
        for (const indexed::PointLeaf& leaf : sequence) {
            benchmark::DoNotOptimize(&leaf);
            ++found;
        }
        inverses += sequence.geodesic_inverses();
    });
    const auto per_query = [&](double total) {
        return benchmark::Counter(total / static_cast<double>(state.iterations()));
    };
    state.counters["results_per_query"] = per_query(static_cast<double>(found));
    state.counters["inverses_per_query"] = per_query(static_cast<double>(inverses));
}
BENCHMARK(BM_WithinDistanceWgs84Unmeasured)->Arg(10'000)->Arg(100'000);

// A rectangle of range(0) degrees of longitude and latitude from each query position
// (eastward, crossing the antimeridian where it must; clipped at the north pole).
void BM_InRectangle(benchmark::State& state) {
    const indexed::PointTree& tree = point_tree();
    const auto size = static_cast<double>(state.range(0));
    run_draining_queries(state, [&](const GeodeticPoint& q) {
        const double n = q.lat() + size > 90.0 ? 90.0 : q.lat() + size;
        const geodetic::GeodeticCoord upper = geodetic::GeodeticCoord::try_new(wrap_lon(q.lon() + size), n).value();
        return tree.locate_in_rectangle(geodetic::LonLatRectangle(q.coord(), upper));
    });
}
BENCHMARK(BM_InRectangle)->Arg(1)->Arg(10);

void BM_LineStringNearest(benchmark::State& state) {
    const indexed::LineStringTree& tree = linestring_tree();
    run_queries(state,
                [&](const GeodeticPoint& q) { benchmark::DoNotOptimize(tree.nearest_neighbor_with_distance(q)); });
}
BENCHMARK(BM_LineStringNearest);

void BM_PolygonNearest(benchmark::State& state) {
    const indexed::PolygonTree& tree = polygon_tree();
    run_queries(state,
                [&](const GeodeticPoint& q) { benchmark::DoNotOptimize(tree.nearest_neighbor_with_distance(q)); });
}
BENCHMARK(BM_PolygonNearest);

}  // namespace

BENCHMARK_MAIN();
