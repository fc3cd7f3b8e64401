#include "index/batch_queries.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "index/nearest_k.hpp"
#include "indexed_testing.hpp"

namespace sferix::indexed {
namespace {

using namespace testing;

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
        within_distance(tree, q, radius, true, hits);
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

// The engine's batches, with every decision it takes (hint, order, coverage grid), give
// row by row and pair by pair what the single queries give.
TEST(BatchEngine, NearestIsTheSingleQueriesOnEveryGeodesy) {
    const auto [coords, tree, asked] = random_points_case(22, 2000, 300);
    std::vector<GeodeticPoint> queries;
    for (const LonLat& q : asked) {
        queries.push_back(point(q.lon, q.lat));
    }
    for (const Geodesy geodesy : {Geodesy::Sphere, Geodesy::Wgs84}) {
        for (const std::size_t workers : {1U, 3U}) {
            const NearestOptions options{.k = 3, .max_metres = 400'000.0, .geodesy = geodesy};
            std::vector<std::int64_t> positions(queries.size() * 3);
            std::vector<double> metres(queries.size() * 3);
            ASSERT_EQ(query_nearest(tree, queries, options, positions, metres, {.workers = workers}),
                      support::RunOutcome::Finished);
            std::vector<PositionWithMetres> hits;
            for (std::size_t row = 0; row < queries.size(); ++row) {
                nearest_k_on(geodesy, tree, queries[row], 3, 400'000.0, hits);
                for (std::size_t j = 0; j < 3; ++j) {
                    ASSERT_EQ(positions[row * 3 + j], j < hits.size() ? static_cast<std::int64_t>(hits[j].position)
                                                                      : MISSING_POSITION);
                    ASSERT_EQ(metres[row * 3 + j], j < hits.size() ? hits[j].metres : MISSING_METRES);
                }
            }
        }
    }
}

TEST(BatchEngine, WithinIsTheSingleQueriesWithAndWithoutTheCoverageGrid) {
    std::mt19937_64 rng(23);
    const auto polygons = random_polygons(rng, COVERAGE_MIN_ITEMS + 200);
    const auto tree = shared_tree(polygons);
    const LeafCoverage<typename decltype(tree)::LeafType> grid(tree);
    std::vector<GeodeticPoint> queries;
    for (int i = 0; i < 400; ++i) {
        const LonLat q = geodetic::testing::random_position(rng);
        queries.push_back(point(q.lon, q.lat));
    }
    const std::vector<double> radii{0.0};
    ASSERT_TRUE(coverage_pays(tree, radii));
    std::size_t asked = 0;
    const auto coverage = [&]() -> const auto& {
        ++asked;
        return grid;
    };
    for (const bool return_distance : {false, true}) {
        WithinHits walked;
        WithinHits covered;
        const WithinOptions options{.return_distance = return_distance};
        ASSERT_EQ(query_within_distance(tree, queries, radii, options, walked, {.workers = 2}),
                  support::RunOutcome::Finished);
        ASSERT_EQ(query_within_distance(tree, queries, radii, options, covered, {.workers = 2}, coverage),
                  support::RunOutcome::Finished);
        Pairs expected;
        std::vector<PositionWithMetres> hits;
        for (std::size_t row = 0; row < queries.size(); ++row) {
            within_distance(tree, queries[row], 0.0, return_distance, hits);
            for (const PositionWithMetres& hit : hits) {
                expected.queries.push_back(static_cast<std::int64_t>(row));
                expected.positions.push_back(static_cast<std::int64_t>(hit.position));
                expected.metres.push_back(hit.metres);
            }
        }
        EXPECT_GT(expected.queries.size(), 10U);
        for (const WithinHits* found : {&walked, &covered}) {
            Pairs got;
            got.queries.resize(found->size());
            got.positions.resize(found->size());
            got.metres.resize(return_distance ? found->size() : 0);
            ASSERT_EQ(write_pairs(*found, {.workers = 2}, got.queries, got.positions, got.metres),
                      support::RunOutcome::Finished);
            EXPECT_EQ(got.queries, expected.queries);
            EXPECT_EQ(got.positions, expected.positions);
            if (return_distance) {
                EXPECT_EQ(got.metres, expected.metres);
            }
        }
    }
    EXPECT_EQ(asked, 2U);
}

INSTANTIATE_TEST_SUITE_P(BatchQueries, BatchWorkers,
                         ::testing::Combine(::testing::Values(1U, 2U, 3U),
                                            ::testing::Values(QueryOrder::Input, QueryOrder::Locality)));

}  // namespace
}  // namespace sferix::indexed
