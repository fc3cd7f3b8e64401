#include "index/query_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "indexed_testing.hpp"

namespace sferix::indexed {
namespace {

using namespace testing;

// Past the comparison-sort size, with repeated queries, the poles and both sides of ±180.
std::vector<GeodeticPoint> batch(std::size_t count) {
    std::mt19937_64 rng(5);
    const std::vector<LonLat> stored = random_point_coords(rng, 500);
    std::vector<GeodeticPoint> queries;
    for (const LonLat& q : random_queries(rng, stored, count)) {
        queries.push_back(point(q.lon, q.lat));
    }
    return queries;
}

// One total order for every batch: a sub-batch (sorted by comparison) comes out as the
// whole batch's order (sorted by digits) restricted to it, and equal vectors keep
// their input order.
TEST(LocalityOrder, IsOneOrderForTheBatchAndItsPrefixes) {
    const std::vector<GeodeticPoint> queries = batch(3000);
    const std::vector<std::size_t> order = locality_order(queries);
    std::vector<std::size_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        ASSERT_EQ(sorted[i], i);
    }
    constexpr std::size_t prefix = 700;
    std::vector<std::size_t> restricted;
    std::copy_if(order.begin(), order.end(), std::back_inserter(restricted), [](std::size_t i) { return i < prefix; });
    EXPECT_EQ(locality_order(std::span(queries).first(prefix)), restricted);
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (std::size_t j = i + 1; j < order.size(); ++j) {
            if (queries[order[i]].vector() == queries[order[j]].vector()) {
                ASSERT_LT(order[i], order[j]);
            }
        }
    }
}

// Neighbours in the order are neighbours on the sphere: the path through the queries in
// this order is far shorter than in input (random) order.
TEST(LocalityOrder, KeepsConsecutiveQueriesClose) {
    const std::vector<GeodeticPoint> queries = batch(5000);
    const std::vector<std::size_t> order = locality_order(queries);
    double input_path = 0.0;
    double ordered_path = 0.0;
    for (std::size_t i = 1; i < queries.size(); ++i) {
        input_path += std::sqrt(geodetic::chord_2(queries[i - 1].vector(), queries[i].vector()));
        ordered_path += std::sqrt(geodetic::chord_2(queries[order[i - 1]].vector(), queries[order[i]].vector()));
    }
    EXPECT_LT(ordered_path, 0.1 * input_path);
}

// Keys made on several threads (batches of several chunks) sort the same.
TEST(LocalityOrder, IsTheSameForEveryNumberOfWorkers) {
    const std::vector<GeodeticPoint> queries = batch(20000);
    const std::vector<std::size_t> order = locality_order(queries, 1);
    EXPECT_EQ(locality_order(queries, 2), order);
    EXPECT_EQ(locality_order(queries, 3), order);
}

TEST(LocalityOrder, EmptyAndSingleBatches) {
    EXPECT_TRUE(locality_order({}).empty());
    const std::vector<GeodeticPoint> one = {point(10, 20)};
    EXPECT_EQ(locality_order(one), std::vector<std::size_t>{0});
}

}  // namespace
}  // namespace sferix::indexed
