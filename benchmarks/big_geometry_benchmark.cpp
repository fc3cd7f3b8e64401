// One big ring, as in the big-ring table of benchmarks/python/compare.py: a
// counterclockwise 5° circle around (20, 40) of range(0) vertices, queried at 300 points
// 0.5 to 1.5 radii from its centre. Each indexed query runs next to the full scan it
// replaces (contains_point_by_full_count, chain_distance_2), so ratios come from one run.
//
// Build with -DSFERIX_BUILD_BENCHMARKS=ON and run build/bench/benchmarks/big_geometry_benchmark.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "geodetic/chain.hpp"
#include "geodetic/embedding.hpp"
#include "geodetic/linestring.hpp"
#include "geodetic/polygon.hpp"

namespace {

namespace geodetic = sferix::geodetic;
using geodetic::LonLat;
using geodetic::UnitVec;

constexpr double DEG = std::numbers::pi / 180.0;
constexpr double CENTRE_LON = 20.0;
constexpr double CENTRE_LAT = 40.0;
constexpr double RADIUS_DEG = 5.0;
constexpr std::size_t QUERY_COUNT = 300;

LonLat destination(double bearing_deg, double distance_deg) {
    const double phi0 = CENTRE_LAT * DEG;
    const double delta = distance_deg * DEG;
    const double theta = bearing_deg * DEG;
    const double phi = std::asin(std::sin(phi0) * std::cos(delta) + std::cos(phi0) * std::sin(delta) * std::cos(theta));
    const double lambda = CENTRE_LON * DEG + std::atan2(std::sin(theta) * std::sin(delta) * std::cos(phi0),
                                                        std::cos(delta) - std::sin(phi0) * std::sin(phi));
    return {std::remainder(lambda / DEG, 360.0), phi / DEG};
}

std::vector<LonLat> circle(std::size_t n) {
    std::vector<LonLat> ring;
    for (std::size_t k = 0; k < n; ++k) {
        ring.push_back(destination(90.0 - 360.0 * static_cast<double>(k) / static_cast<double>(n), RADIUS_DEG));
    }
    ring.push_back(ring.front());
    return ring;
}

const std::vector<UnitVec>& queries() {
    static const std::vector<UnitVec> out = [] {
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<double> radii(0.5, 1.5);
        std::uniform_real_distribution<double> bearing(0.0, 360.0);
        std::vector<UnitVec> q;
        for (std::size_t i = 0; i < QUERY_COUNT; ++i) {
            const LonLat p = destination(bearing(rng), RADIUS_DEG * radii(rng));
            q.push_back(geodetic::embed(p.lon, p.lat));
        }
        return q;
    }();
    return out;
}

// The ring of n vertices as a polygon and as a linestring, each made once.
const geodetic::GeodeticPolygon& polygon(std::size_t n) {
    static std::map<std::size_t, geodetic::GeodeticPolygon> cache;
    auto found = cache.find(n);
    if (found == cache.end()) {
        found = cache.emplace(n, geodetic::GeodeticPolygon::from_rings(
                                     geodetic::GeodeticRing::try_from_lonlat(circle(n)).value(), {}))
                    .first;
    }
    return found->second;
}

const geodetic::GeodeticLineString& line(std::size_t n) {
    static std::map<std::size_t, geodetic::GeodeticLineString> cache;
    auto found = cache.find(n);
    if (found == cache.end()) {
        found = cache.emplace(n, geodetic::GeodeticLineString::try_from_lonlat(circle(n)).value()).first;
    }
    return found->second;
}

void sizes(benchmark::internal::Benchmark* b) { b->Arg(64)->Arg(100)->Arg(10'000)->Arg(100'000); }

// Registers `name`: `ask(geometry, q)` for each query, the geometry of each size made by
// `of_size`, so that each indexed query and the full scan it replaces differ only in
// the question.
template <typename Geometry, typename Ask>
void register_asks(const char* name, const Geometry& (*of_size)(std::size_t), Ask ask) {
    benchmark::RegisterBenchmark(name, [of_size, ask](benchmark::State& state) {
        const Geometry& geometry = of_size(static_cast<std::size_t>(state.range(0)));
        const std::vector<UnitVec>& q = queries();
        std::size_t next = 0;
        for (auto _ : state) {
            benchmark::DoNotOptimize(ask(geometry, q[next]));
            next = (next + 1) % q.size();
        }
        state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    })->Apply(sizes);
}

using Polygon = geodetic::GeodeticPolygon;
using Line = geodetic::GeodeticLineString;

const bool registered = [] {
    register_asks("BM_PolygonContains", polygon, [](const Polygon& p, const UnitVec& q) { return p.contains_point(q); });
    register_asks("BM_PolygonContainsFullCount", polygon,
                  [](const Polygon& p, const UnitVec& q) { return p.contains_point_by_full_count(q); });
    register_asks("BM_PolygonDistance", polygon, [](const Polygon& p, const UnitVec& q) { return p.distance_2(q); });
    register_asks("BM_PolygonDistanceFullScan", polygon, [](const Polygon& p, const UnitVec& q) {
        return p.contains_point_by_full_count(q) ? 0.0 : geodetic::chain_distance_2(p.exterior().vectors(), q);
    });
    register_asks("BM_LineStringDistance", line, [](const Line& l, const UnitVec& q) { return l.distance_2(q); });
    register_asks("BM_LineStringDistanceFullScan", line,
                  [](const Line& l, const UnitVec& q) { return geodetic::chain_distance_2(l.vectors(), q); });
    return true;
}();

void BM_PolygonBuild(benchmark::State& state) {
    const auto pairs = circle(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto ring = geodetic::GeodeticRing::try_from_lonlat(pairs);
        benchmark::DoNotOptimize(geodetic::GeodeticPolygon::from_rings(std::move(ring).value(), {}));
    }
}
BENCHMARK(BM_PolygonBuild)->Apply(sizes)->Unit(benchmark::kMillisecond);

void BM_LineStringBuild(benchmark::State& state) {
    const auto pairs = circle(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(geodetic::GeodeticLineString::try_from_lonlat(pairs));
    }
}
BENCHMARK(BM_LineStringBuild)->Apply(sizes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
