// The point-in-polygon join of benchmarks/python/compare.py, without the interpreter:
// 10^4 counterclockwise hexagons of circumradius 5 km at uniform random centres, and
// 10^5 points, half within 10 km of a random hexagon's centre, half uniform on the
// sphere. Each point runs locate_within_distance(point, 0) and every hit is consumed,
// as query_within_distance(points, 0.0) does. The "Sorted" runs take the same points in
// the order of a Morton key of their unit vectors, which is what a batch in locality
// order would see; the per-candidate rows time one polygon's radius-0 test alone.
//
// Build with -DSFERIX_BUILD_BENCHMARKS=ON and run build/bench/benchmarks/polygon_join_benchmark.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "geodetic/embedding.hpp"
#include "geodetic/point.hpp"
#include "geodetic/polygon.hpp"
#include "index/batch_queries.hpp"
#include "index/leaf_coverage.hpp"
#include "index/tree.hpp"

namespace {

namespace geodetic = sferix::geodetic;
namespace indexed = sferix::indexed;
using geodetic::LonLat;

constexpr double DEG = std::numbers::pi / 180.0;
constexpr double EARTH_RADIUS_M = 6371008.8;
constexpr std::size_t POLYGON_COUNT = 10'000;
constexpr std::size_t QUERY_COUNT = 100'000;
constexpr double HEXAGON_RADIUS_M = 5000.0;
constexpr double NEAR_RADIUS_M = 10'000.0;

LonLat destination(LonLat from, double bearing_deg, double metres) {
    const double phi0 = from.lat * DEG;
    const double delta = metres / EARTH_RADIUS_M;
    const double theta = bearing_deg * DEG;
    const double phi = std::asin(std::sin(phi0) * std::cos(delta) + std::cos(phi0) * std::sin(delta) * std::cos(theta));
    const double lambda = from.lon * DEG + std::atan2(std::sin(theta) * std::sin(delta) * std::cos(phi0),
                                                      std::cos(delta) - std::sin(phi0) * std::sin(phi));
    return {std::remainder(lambda / DEG, 360.0), phi / DEG};
}

LonLat uniform_on_sphere(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    std::uniform_real_distribution<double> sine(-1.0, 1.0);
    return {lon(rng), std::asin(sine(rng)) / DEG};
}

struct Join {
    std::vector<LonLat> centres;
    indexed::PolygonTree tree = indexed::PolygonTree::bulk_load({});
    std::vector<geodetic::GeodeticPoint> points;
    std::vector<geodetic::GeodeticPoint> sorted_points;
};

// Interleaves the bits of three 21-bit integers.
std::uint64_t spread(std::uint64_t v) {
    v &= 0x1fffff;
    v = (v | v << 32) & 0x1f00000000ffff;
    v = (v | v << 16) & 0x1f0000ff0000ff;
    v = (v | v << 8) & 0x100f00f00f00f00f;
    v = (v | v << 4) & 0x10c30c30c30c30c3;
    v = (v | v << 2) & 0x1249249249249249;
    return v;
}

std::uint64_t morton(const geodetic::UnitVec& v) {
    const auto cell = [](double c) { return static_cast<std::uint64_t>((c + 1.0) * 0.5 * 2097151.0); };
    return spread(cell(v.x)) | spread(cell(v.y)) << 1 | spread(cell(v.z)) << 2;
}

const Join& join() {
    static const Join data = [] {
        Join j;
        std::mt19937_64 rng(3);
        std::vector<indexed::PolygonLeaf> leaves;
        for (std::size_t i = 0; i < POLYGON_COUNT; ++i) {
            const LonLat centre = uniform_on_sphere(rng);
            std::vector<LonLat> ring;
            for (int k = 0; k < 6; ++k) {
                ring.push_back(destination(centre, -60.0 * k, HEXAGON_RADIUS_M));
            }
            ring.push_back(ring.front());
            auto polygon = geodetic::GeodeticPolygon::try_new(geodetic::GeodeticRing::try_from_lonlat(ring).value(), {});
            leaves.emplace_back(std::make_shared<const geodetic::GeodeticPolygon>(std::move(polygon).value()), i);
            j.centres.push_back(centre);
        }
        j.tree = indexed::PolygonTree::bulk_load(std::move(leaves));
        std::mt19937_64 query_rng(5);
        std::uniform_int_distribution<std::size_t> pick(0, POLYGON_COUNT - 1);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (std::size_t i = 0; i < QUERY_COUNT; ++i) {
            const LonLat p = i < QUERY_COUNT / 2 ? destination(j.centres[pick(query_rng)], 360.0 * unit(query_rng),
                                                               NEAR_RADIUS_M * std::sqrt(unit(query_rng)))
                                                 : uniform_on_sphere(query_rng);
            j.points.push_back(geodetic::GeodeticPoint::try_new(p.lon, p.lat).value());
        }
        j.sorted_points = j.points;
        std::sort(j.sorted_points.begin(), j.sorted_points.end(),
                  [](const auto& a, const auto& b) { return morton(a.vector()) < morton(b.vector()); });
        return j;
    }();
    return data;
}

void run_join(benchmark::State& state, const std::vector<geodetic::GeodeticPoint>& points) {
    const indexed::PolygonTree& tree = join().tree;
    std::size_t hits = 0;
    for (auto _ : state) {
        for (const geodetic::GeodeticPoint& p : points) {
            for (const auto& hit : tree.locate_within_distance(p, 0.0)) {
                hits += hit.leaf->data() & 1U;
            }
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points.size()));
}

void BM_PolygonJoin(benchmark::State& state) { run_join(state, join().points); }
BENCHMARK(BM_PolygonJoin)->Unit(benchmark::kMillisecond);

// The join as query_within_distance(points, 0.0) runs it, every decision included (the
// coverage grid, made once outside the timing, and the order the points are answered in).
void BM_PolygonJoinBatch(benchmark::State& state) {
    const indexed::PolygonTree& tree = join().tree;
    static const sferix::indexed::LeafCoverage<indexed::PolygonLeaf> grid(tree);
    const std::vector<double> radii{0.0};
    sferix::indexed::WithinHits found(false);
    for (auto _ : state) {
        sferix::indexed::query_within_distance(tree, join().points, radii, {}, found, {},
                                               [&]() -> const auto& { return grid; });
        benchmark::DoNotOptimize(found.size());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * join().points.size()));
}
BENCHMARK(BM_PolygonJoinBatch)->Unit(benchmark::kMillisecond);

void BM_PolygonJoinSorted(benchmark::State& state) { run_join(state, join().sorted_points); }
BENCHMARK(BM_PolygonJoinSorted)->Unit(benchmark::kMillisecond);

// One hexagon, points in its box: inside, and outside near a corner.
const geodetic::GeodeticPolygon& one_hexagon() {
    static const geodetic::GeodeticPolygon polygon = [] {
        std::vector<LonLat> ring;
        for (int k = 0; k < 6; ++k) {
            ring.push_back(destination({20.0, 40.0}, -60.0 * k, HEXAGON_RADIUS_M));
        }
        ring.push_back(ring.front());
        return geodetic::GeodeticPolygon::try_new(geodetic::GeodeticRing::try_from_lonlat(ring).value(), {}).value();
    }();
    return polygon;
}

void run_candidate(benchmark::State& state, double metres_from_centre) {
    const geodetic::GeodeticPolygon& polygon = one_hexagon();
    std::vector<geodetic::UnitVec> points;
    for (int k = 0; k < 64; ++k) {
        // Bearings 30° off the vertices point at edge midpoints; 0° at vertices.
        const LonLat p = destination({20.0, 40.0}, -60.0 * (k % 6) + (k % 2 == 0 ? 3.0 : -3.0), metres_from_centre);
        points.push_back(geodetic::embed(p.lon, p.lat));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(polygon.distance_2_if_less_or_equal(points[next], 0.0));
        next = (next + 1) % points.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_HexagonRadiusZeroInside(benchmark::State& state) { run_candidate(state, 2000.0); }
BENCHMARK(BM_HexagonRadiusZeroInside);

void BM_HexagonRadiusZeroOutsideInBox(benchmark::State& state) { run_candidate(state, 4990.0); }
BENCHMARK(BM_HexagonRadiusZeroOutsideInBox);

}  // namespace

BENCHMARK_MAIN();
