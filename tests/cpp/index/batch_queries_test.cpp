#include "index/batch_queries.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "index/nearest_k.hpp"
#include "indexed_testing.hpp"

namespace sferix::indexed {
namespace {

using geodetic::GeodeticPoint;
using geodetic::LonLat;
using geodetic::testing::point;
using geodetic::testing::point_tree;
using geodetic::testing::random_point_coords;
using geodetic::testing::random_queries;

const auto always = [] { return true; };

struct Pairs {
    std::vector<std::int64_t> queries;
    std::vector<std::int64_t> positions;
    std::vector<double> metres;
};

// Every number of workers, in both answering orders.
class BatchWorkers : public ::testing::TestWithParam<std::tuple<std::size_t, QueryOrder>> {
protected:
    [[nodiscard]] std::size_t workers() const { return std::get<0>(GetParam()); }
    [[nodiscard]] QueryOrder order() const { return std::get<1>(GetParam()); }
    void SetUp() override {
        std::mt19937_64 rng(21);
        coords_ = random_point_coords(rng, 3000);
        for (const LonLat& q : random_queries(rng, coords_, 500)) {
            queries_.push_back(point(q.lon, q.lat));
        }
    }
    std::vector<LonLat> coords_;
    std::vector<GeodeticPoint> queries_;
};

// Row by row what the single query gives, padded, for every number of workers.
TEST_P(BatchWorkers, NearestRowsAreTheSingleQueriesPadded) {
    const auto tree = point_tree(coords_);
    constexpr std::size_t k = 4;
    const double max_metres = 150'000.0;  // leaves some rows short
    std::vector<std::int64_t> positions(queries_.size() * k);
    std::vector<double> metres(queries_.size() * k);
    const auto search = [&](const GeodeticPoint& q, std::vector<PositionWithMetres>& hits) {
        nearest_k(tree, q, k, max_metres, hits);
    };
    const auto outcome =
        nearest_rows(queries_, k, {.workers = workers(), .chunk_size = 7}, always, positions, metres, search, order());
    ASSERT_EQ(outcome, support::RunOutcome::Finished);
    std::vector<PositionWithMetres> hits;
    std::size_t padded = 0;
    for (std::size_t row = 0; row < queries_.size(); ++row) {
        nearest_k(tree, queries_[row], k, max_metres, hits);
        for (std::size_t j = 0; j < k; ++j) {
            if (j < hits.size()) {
                ASSERT_EQ(positions[row * k + j], static_cast<std::int64_t>(hits[j].position));
                ASSERT_EQ(metres[row * k + j], hits[j].metres);
            } else {
                ++padded;
                ASSERT_EQ(positions[row * k + j], MISSING_POSITION);
                ASSERT_EQ(metres[row * k + j], MISSING_METRES);
            }
        }
    }
    EXPECT_GT(padded, 0U);
}

// The chunks, concatenated, are the single queries one after the other, each with its
// own radius (a negative and a NaN one find nothing).
TEST_P(BatchWorkers, WithinRowsAreTheSingleQueriesInQueryOrder) {
    const auto tree = point_tree(coords_);
    std::vector<double> radii;
    for (std::size_t i = 0; i < queries_.size(); ++i) {
        radii.push_back(i % 11 == 3 ? -1.0 : i % 11 == 5 ? std::nan("") : 1000.0 * static_cast<double>(i % 400));
    }
    const auto search = [&](const GeodeticPoint& q, double radius, std::vector<PositionWithMetres>& hits) {
        hits.clear();
        for (const auto& [leaf, distance_2] : tree.locate_within_distance(q, radius)) {
            hits.push_back({leaf->data(), geodetic::squared_chord_to_metres(distance_2)});
        }
    };
    WithinHits found;
    ASSERT_EQ(within_rows(queries_, radii, {.workers = workers(), .chunk_size = 5}, always, found, search, order()),
              support::RunOutcome::Finished);
    Pairs expected;
    std::vector<PositionWithMetres> hits;
    for (std::size_t row = 0; row < queries_.size(); ++row) {
        search(queries_[row], radii[row], hits);
        for (const PositionWithMetres& hit : hits) {
            expected.queries.push_back(static_cast<std::int64_t>(row));
            expected.positions.push_back(static_cast<std::int64_t>(hit.position));
            expected.metres.push_back(hit.metres);
        }
    }
    Pairs got;
    got.queries.resize(found.size());
    got.positions.resize(found.size());
    got.metres.resize(found.size());
    found.write(got.queries, got.positions, got.metres);
    EXPECT_GT(expected.queries.size(), queries_.size());
    EXPECT_EQ(got.queries, expected.queries);
    EXPECT_EQ(got.positions, expected.positions);
    EXPECT_EQ(got.metres, expected.metres);

    WithinHits bare(false);
    ASSERT_EQ(within_rows(queries_, radii, {.workers = workers(), .chunk_size = 5}, always, bare, search, order()),
              support::RunOutcome::Finished);
    Pairs without;
    without.queries.resize(bare.size());
    without.positions.resize(bare.size());
    bare.write(without.queries, without.positions, {});
    EXPECT_EQ(without.queries, expected.queries);
    EXPECT_EQ(without.positions, expected.positions);
}

INSTANTIATE_TEST_SUITE_P(BatchQueries, BatchWorkers,
                         ::testing::Combine(::testing::Values(1U, 2U, 3U),
                                            ::testing::Values(QueryOrder::Input, QueryOrder::Locality)));

}  // namespace
}  // namespace sferix::indexed
