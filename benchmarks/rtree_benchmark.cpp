// R-tree benchmarks: bulk loading 10^6 random points of the unit sphere, and
// nearest and within-distance queries on that tree. The leaves are the point
// tree's own (a unit vector with its input position).
//
// Run with `make bench` (builds into build/bench, Release, and runs
// build/bench/benchmarks/rtree_benchmark). Results and the machine they were
// measured on are in benchmarks/README.md.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "geodetic/distance.hpp"
#include "geodetic/point.hpp"
#include "geodetic/unit_vec.hpp"
#include "index/point_leaf.hpp"
#include "rtree/rtree.hpp"

namespace {

using sferix::geodetic::GeodeticPoint;
using sferix::geodetic::UnitVec;
using Leaf = sferix::indexed::PointLeaf;
using Tree = sferix::rtree::RTree<Leaf>;

constexpr std::size_t TREE_SIZE = 1'000'000;
constexpr std::size_t QUERY_COUNT = 4096;

// Uniform on the sphere: uniform longitude, latitude from a uniform sine.
std::vector<GeodeticPoint> random_points(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> lon(-180.0, 180.0);
    std::uniform_real_distribution<double> sine(-1.0, 1.0);
    std::vector<GeodeticPoint> points;
    points.reserve(count);
    while (points.size() < count) {
        const double lat = std::asin(sine(rng)) * 57.29577951308232;
        auto point = GeodeticPoint::try_new(lon(rng), lat);
        if (point.has_value()) {
            points.push_back(point.value());
        }
    }
    return points;
}

std::vector<Leaf> leaves_of(const std::vector<GeodeticPoint>& points) {
    std::vector<Leaf> leaves;
    leaves.reserve(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        leaves.emplace_back(points[i].vector(), static_cast<std::uint32_t>(i));
    }
    return leaves;
}

const std::vector<GeodeticPoint>& tree_points() {
    static const std::vector<GeodeticPoint> points = random_points(TREE_SIZE, 1);
    return points;
}

const Tree& shared_tree() {
    static const Tree tree = Tree::new_from_bulk_loading(leaves_of(tree_points()));
    return tree;
}

const std::vector<UnitVec>& query_vectors() {
    static const std::vector<UnitVec> queries = [] {
        std::vector<UnitVec> out;
        for (const GeodeticPoint& p : random_points(QUERY_COUNT, 2)) {
            out.push_back(p.vector());
        }
        return out;
    }();
    return queries;
}

void BM_BulkLoad(benchmark::State& state) {
    const std::vector<Leaf> leaves = leaves_of(random_points(static_cast<std::size_t>(state.range(0)), 3));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<Leaf> input = leaves;
        state.ResumeTiming();
        Tree tree = Tree::new_from_bulk_loading(std::move(input));
        benchmark::DoNotOptimize(tree.root().envelope);
        state.counters["bytes_per_point"] = benchmark::Counter(static_cast<double>(tree.heap_bytes()) /
                                                               static_cast<double>(state.range(0)));
        state.counters["nodes_per_point"] = benchmark::Counter(static_cast<double>(tree.view().nodes.size()) /
                                                               static_cast<double>(state.range(0)));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BulkLoad)->Arg(1'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// The first `range(0)` nearest leaves of each query.
void BM_Nearest(benchmark::State& state) {
    const Tree& tree = shared_tree();
    const std::vector<UnitVec>& queries = query_vectors();
    const auto wanted = static_cast<std::size_t>(state.range(0));
    std::size_t next_query = 0;
    for (auto _ : state) {
        auto it = tree.nearest_neighbor_iter_with_distance_2(queries[next_query]);
        for (std::size_t i = 0; i < wanted; ++i) {
            benchmark::DoNotOptimize(it.next());
        }
        next_query = (next_query + 1) % queries.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Nearest)->Arg(1)->Arg(10);

// Every leaf within `range(0)` metres of each query (about 2.5 points per
// 100 km radius, 250 per 1000 km, on this tree).
void BM_WithinDistance(benchmark::State& state) {
    const Tree& tree = shared_tree();
    const std::vector<UnitVec>& queries = query_vectors();
    const double max_distance_2 = sferix::geodetic::metres_to_squared_chord(static_cast<double>(state.range(0)));
    std::size_t next_query = 0;
    std::size_t found = 0;
    for (auto _ : state) {
        auto it = tree.locate_within_distance(queries[next_query], max_distance_2);
        while (const Leaf* leaf = it.next()) {
            benchmark::DoNotOptimize(leaf);
            ++found;
        }
        next_query = (next_query + 1) % queries.size();
    }
    state.counters["results_per_query"] =
        benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_WithinDistance)->Arg(10'000)->Arg(100'000)->Arg(1'000'000);

}  // namespace

BENCHMARK_MAIN();
